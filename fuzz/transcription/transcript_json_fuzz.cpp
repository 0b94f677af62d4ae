// libFuzzer entry for the worker's request and transcript decoders.
//
// The input is read as the JSON text of a process request and of a transcript result. Each
// decoder either refuses it with CodingError (NSCocoaErrorDomain 4864) or gives a record that
// encodes again (or is refused with 4866, for a number too large to be finite) and decodes
// back equal to itself. The same entry replays the kept inputs in the normal test run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transcription/transcript_records.hpp"
#include "transcription/transcription_error.hpp"

namespace {

template <class R, class Decode>
void roundTrip(std::string_view text, Decode decode) {
  R record;
  try {
    record = decode(text);
  } catch (const velmoria::CodingError& e) {
    if (e.errorCase() != velmoria::CodingError::Case::dataCorrupted) std::abort();
    return;
  }
  std::string encoded;
  try {
    encoded = velmoria::encodeText(record);
  } catch (const velmoria::CodingError& e) {
    if (e.errorCase() != velmoria::CodingError::Case::invalidValue) std::abort();
    return;
  }
  if (!(decode(encoded) == record)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  roundTrip<velmoria::XPCProcessRequest>(text, [](std::string_view t) { return velmoria::decodeProcessRequestText(t); });
  roundTrip<velmoria::TranscriptResult>(text,
                                        [](std::string_view t) { return velmoria::decodeTranscriptResultText(t); });
  return 0;
}

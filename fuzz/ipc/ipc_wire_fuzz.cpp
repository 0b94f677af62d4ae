// libFuzzer entry for the connection's frame reader and message decoder.
//
// The first input byte picks the chunk size in which the rest is fed to a FrameReader with a
// small limit, as a socket would deliver it; every complete body goes through decodeMessage,
// and a decoded message is written back out and decoded again, which must give the same kind
// and id. The same entry replays the kept inputs in the normal test run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <cstdlib>

#include "platform/ipc/wire.hpp"

namespace {

void checkRoundTrip(const platform::ipc::Message& m) {
  using platform::ipc::MessageKind;
  platform::json::Json again;
  switch (m.kind) {
    case MessageKind::hello:
      again = platform::ipc::helloMessage(m.exports);
      break;
    case MessageKind::call:
      again = platform::ipc::callMessage(*m.id, m.method, m.args);
      break;
    case MessageKind::reply:
      again = platform::ipc::replyMessage(*m.id, m.result.value_or(nullptr));
      break;
    case MessageKind::error:
      again = platform::ipc::errorMessage(m.id, m.error);
      break;
    case MessageKind::oneway:
      again = platform::ipc::onewayMessage(m.method, m.args);
      break;
  }
  std::string frame;
  try {
    frame = platform::ipc::encodeMessage(again);
  } catch (const platform::ipc::IpcError&) {
    return;  // e.g. a string the writer refuses; never a crash
  }
  auto decoded = platform::ipc::decodeMessage(std::string_view(frame).substr(4));
  const auto* back = std::get_if<platform::ipc::Message>(&decoded);
  // A message we wrote must decode to the same kind and id (clang 14 has no source_location,
  // so the harness stops with abort() rather than the project's check).
  if (back == nullptr || back->kind != m.kind || back->id != m.id) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  platform::ipc::FrameReader reader(1 << 16);
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    reader.append(input.substr(at, chunk));
    while (true) {
      auto next = reader.next();
      if (auto* body = std::get_if<std::string>(&next)) {
        auto decoded = platform::ipc::decodeMessage(*body);
        if (auto* m = std::get_if<platform::ipc::Message>(&decoded)) checkRoundTrip(*m);
        continue;
      }
      break;
    }
  }
  // The whole input as one body, too.
  auto decoded = platform::ipc::decodeMessage(input);
  if (auto* m = std::get_if<platform::ipc::Message>(&decoded)) checkRoundTrip(*m);
  return 0;
}

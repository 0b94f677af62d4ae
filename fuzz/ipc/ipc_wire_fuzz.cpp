// libFuzzer entry for the connection's frame reader and message decoder, and for the encoder
// of the answers a connection sends back.
//
// The first input byte picks the chunk size in which the rest is fed to a FrameReader with a
// small limit, as a socket would deliver it; every complete body goes through decodeMessage.
// A decoded message is written back out and decoded again, which must give the same kind and
// id. Every body is then answered as a connection answers it: a decoding failure with its
// error record, a call with its arguments as the reply (or the error saying why the reply
// cannot be written) and with the unknown-method error that names it, a peer's error with its
// own record. Each such answer must be written as it stands and decode to the same record. The
// same entry replays the kept inputs in the normal test run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ipc/wire.hpp"

namespace {

using platform::ipc::ErrorRecord;
using platform::ipc::IpcError;
using platform::ipc::IpcErrorCase;
using platform::ipc::Message;
using platform::ipc::MessageKind;

// A broken promise stops the harness with abort() (clang 14 has no source_location, which the
// project's check needs).
void require(bool promise) {
  if (!promise) std::abort();
}

void checkRoundTrip(const Message& m) {
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
  } catch (const IpcError&) {
    return;  // e.g. a number the writer refuses; never a crash
  }
  auto decoded = platform::ipc::decodeMessage(std::string_view(frame).substr(4));
  const auto* back = std::get_if<Message>(&decoded);
  require(back != nullptr && back->kind == m.kind && back->id == m.id);
}

// The `error` answer with `record`, as the connection writes it: it must go out as it stands
// and decode to the same id and record.
void checkErrorAnswer(std::optional<std::uint64_t> id, const ErrorRecord& record) {
  const auto answer = platform::ipc::encodeErrorAnswer(id, record);
  require(answer.frame.has_value() && answer.problem.empty());
  auto decoded = platform::ipc::decodeMessage(std::string_view(*answer.frame).substr(4));
  const auto* back = std::get_if<Message>(&decoded);
  require(back != nullptr && back->kind == MessageKind::error && back->id == id && back->error == record);
}

// A record whose text is any bytes (a handler quoting a file name from the disk) still gives an
// answer with its domain and code.
void checkAnswerOfAnyText(std::string_view bytes) {
  const ErrorRecord record{"fuzz", 7, std::string(bytes)};
  const auto answer = platform::ipc::encodeErrorAnswer(std::nullopt, record);
  require(answer.frame.has_value());
  auto decoded = platform::ipc::decodeMessage(std::string_view(*answer.frame).substr(4));
  const auto* back = std::get_if<Message>(&decoded);
  require(back != nullptr && back->kind == MessageKind::error && back->error.domain == "fuzz" &&
          back->error.code == 7);
}

void answer(std::string_view body) {
  auto decoded = platform::ipc::decodeMessage(body);
  if (const auto* fault = std::get_if<platform::ipc::MessageFault>(&decoded)) {
    checkErrorAnswer(fault->id, ErrorRecord::from(IpcError(fault->code, fault->reason)));
    return;
  }
  const auto& m = std::get<Message>(decoded);
  checkRoundTrip(m);
  if (m.kind == MessageKind::call) {
    try {
      (void)platform::ipc::encodeMessage(platform::ipc::replyMessage(*m.id, m.args));
    } catch (const IpcError& e) {
      checkErrorAnswer(m.id, ErrorRecord::from(e));
    }
    checkErrorAnswer(m.id, ErrorRecord::from(IpcError(IpcErrorCase::unknownMethod, m.method)));
  } else if (m.kind == MessageKind::error) {
    checkErrorAnswer(m.id, m.error);
  }
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
        answer(*body);
        continue;
      }
      break;
    }
  }
  // The whole input as one body, too.
  answer(input);
  checkAnswerOfAnyText(input);
  return 0;
}

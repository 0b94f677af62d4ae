#include <gtest/gtest.h>

#include <string>

#include "platform/ipc/ipc_error.hpp"
#include "platform/ipc/wire.hpp"

namespace {

using platform::ipc::Decoded;
using platform::ipc::FrameReader;
using platform::ipc::IpcError;
using platform::ipc::IpcErrorCase;
using platform::ipc::Message;
using platform::ipc::MessageFault;
using platform::ipc::MessageKind;
using platform::json::Json;

TEST(Frame, HeaderIsBigEndianBodyLengthAndReaderCutsAStreamFedByteByByte) {
  const std::string body(300, 'x');
  const std::string frame = platform::ipc::encodeFrame(body);
  ASSERT_EQ(frame.size(), 304u);
  EXPECT_EQ(static_cast<unsigned char>(frame[0]), 0u);
  EXPECT_EQ(static_cast<unsigned char>(frame[1]), 0u);
  EXPECT_EQ(static_cast<unsigned char>(frame[2]), 1u);
  EXPECT_EQ(static_cast<unsigned char>(frame[3]), 44u);

  const std::string stream = frame + platform::ipc::encodeFrame("{}") + frame;
  FrameReader reader;
  std::vector<std::string> bodies;
  for (char c : stream) {
    reader.append(std::string_view(&c, 1));
    while (true) {
      auto next = reader.next();
      if (auto* b = std::get_if<std::string>(&next)) {
        bodies.push_back(*b);
        continue;
      }
      ASSERT_TRUE(std::holds_alternative<FrameReader::NeedMore>(next));
      break;
    }
  }
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_EQ(bodies[0], body);
  EXPECT_EQ(bodies[1], "{}");
  EXPECT_EQ(bodies[2], body);
  EXPECT_FALSE(reader.insideFrame());
}

TEST(Frame, ZeroAndOverLimitLengthsBreakTheReaderForGood) {
  FrameReader zero;
  zero.append(std::string("\0\0\0\0", 4) + platform::ipc::encodeFrame("{}"));
  auto first = zero.next();
  ASSERT_TRUE(std::holds_alternative<FrameReader::BadHeader>(first));
  EXPECT_EQ(std::get<FrameReader::BadHeader>(first).code, IpcErrorCase::malformedMessage);
  EXPECT_TRUE(std::holds_alternative<FrameReader::BadHeader>(zero.next()));

  FrameReader limited(10);
  limited.append(platform::ipc::encodeFrame("0123456789"));
  EXPECT_EQ(std::get<std::string>(limited.next()), "0123456789");
  limited.append(platform::ipc::encodeFrame("0123456789A"));
  auto over = limited.next();
  ASSERT_TRUE(std::holds_alternative<FrameReader::BadHeader>(over));
  EXPECT_EQ(std::get<FrameReader::BadHeader>(over).code, IpcErrorCase::overLimit);
  EXPECT_EQ(std::get<FrameReader::BadHeader>(over).length, 11u);

  // The default limit is 64 MiB: exactly that is acceptable, one more byte is not.
  FrameReader standard;
  standard.append(std::string("\x04\x00\x00\x00", 4));
  EXPECT_TRUE(std::holds_alternative<FrameReader::NeedMore>(standard.next()));
  EXPECT_TRUE(standard.insideFrame());
  FrameReader standardOver;
  standardOver.append(std::string("\x04\x00\x00\x01", 4));
  EXPECT_TRUE(std::holds_alternative<FrameReader::BadHeader>(standardOver.next()));
}

TEST(Frame, AnOutgoingBodyOverTheLimitIsRefused) {
  try {
    platform::ipc::encodeFrame(std::string(11, 'x'), 10);
    FAIL() << "no error";
  } catch (const IpcError& e) {
    EXPECT_EQ(e.errorCase(), IpcErrorCase::overLimit);
    EXPECT_EQ(e.code(), 4);
    EXPECT_EQ(e.domain(), "platform.ipc");
  }
  EXPECT_EQ(platform::ipc::encodeFrame(std::string(10, 'x'), 10).size(), 14u);
  // A value that JSON cannot carry is a malformed message, not a crash.
  try {
    platform::ipc::encodeMessage(platform::ipc::callMessage(1, "m", Json{{"s", std::string("\xff\xfe")}}));
    FAIL() << "no error";
  } catch (const IpcError& e) {
    EXPECT_EQ(e.errorCase(), IpcErrorCase::malformedMessage);
  }
}

MessageFault fault(const Decoded& d) {
  if (auto* f = std::get_if<MessageFault>(&d)) return *f;
  ADD_FAILURE() << "decoded as a message";
  return {};
}

Message message(const Decoded& d) {
  if (auto* m = std::get_if<Message>(&d)) return *m;
  ADD_FAILURE() << "fault: " << std::get<MessageFault>(d).reason;
  return {};
}

TEST(Decode, EachKindReadsItsFields) {
  const auto hello = message(platform::ipc::decodeMessage(R"({"kind":"hello","version":1,"exports":"X"})"));
  EXPECT_EQ(hello.kind, MessageKind::hello);
  EXPECT_EQ(hello.version, 1);
  EXPECT_EQ(hello.exports, "X");
  const auto anonymous = message(platform::ipc::decodeMessage(R"({"kind":"hello","version":"1","exports":null})"));
  EXPECT_FALSE(anonymous.version.has_value());
  EXPECT_FALSE(anonymous.exports.has_value());
  // A stray id on a hello is not kept: only calls, replies and errors carry one.
  EXPECT_FALSE(message(platform::ipc::decodeMessage(R"({"kind":"hello","version":1,"id":1})")).id.has_value());

  const auto call = message(platform::ipc::decodeMessage(R"({"kind":"call","id":7,"method":"m","args":{"a":1}})"));
  EXPECT_EQ(call.kind, MessageKind::call);
  EXPECT_EQ(call.id, 7u);
  EXPECT_EQ(call.method, "m");
  EXPECT_EQ(call.args, (Json{{"a", 1}}));

  const auto reply = message(platform::ipc::decodeMessage(R"({"kind":"reply","id":7})"));
  EXPECT_EQ(reply.kind, MessageKind::reply);
  EXPECT_FALSE(reply.result.has_value());

  const auto error = message(
      platform::ipc::decodeMessage(R"({"kind":"error","id":null,"error":{"domain":"d","code":-3,"description":"t"}})"));
  EXPECT_EQ(error.kind, MessageKind::error);
  EXPECT_FALSE(error.id.has_value());
  EXPECT_EQ(error.error, (platform::ipc::ErrorRecord{"d", -3, "t"}));

  const auto oneway = message(platform::ipc::decodeMessage(R"({"kind":"oneway","id":4,"method":"n","args":{}})"));
  EXPECT_EQ(oneway.kind, MessageKind::oneway);
  EXPECT_FALSE(oneway.id.has_value());
}

TEST(Decode, FaultsKeepTheIdWhenReadableAndNameTheirCode) {
  EXPECT_FALSE(fault(platform::ipc::decodeMessage("{")).id.has_value());
  EXPECT_FALSE(fault(platform::ipc::decodeMessage("\"call\"")).id.has_value());
  EXPECT_EQ(fault(platform::ipc::decodeMessage(R"({"kind":"nope","id":3})")).id, 3u);
  EXPECT_EQ(fault(platform::ipc::decodeMessage(R"({"id":3})")).code, IpcErrorCase::malformedMessage);
  EXPECT_EQ(fault(platform::ipc::decodeMessage(R"({"kind":"call","id":3,"args":{}})")).code,
            IpcErrorCase::malformedMessage);
  const auto badArgs = fault(platform::ipc::decodeMessage(R"({"kind":"call","id":3,"method":"m","args":"x"})"));
  EXPECT_EQ(badArgs.code, IpcErrorCase::invalidArguments);
  EXPECT_EQ(badArgs.id, 3u);
  for (const char* id : {"0", "-1", "9007199254740992", "1.5", "\"1\"", "true"}) {
    const std::string body = std::string(R"({"kind":"call","method":"m","args":{},"id":)") + id + "}";
    EXPECT_FALSE(fault(platform::ipc::decodeMessage(body)).id.has_value()) << id;
  }
  EXPECT_EQ(message(platform::ipc::decodeMessage(R"({"kind":"call","method":"m","args":{},"id":9007199254740991})")).id,
            9007199254740991u);
  EXPECT_TRUE(fault(platform::ipc::decodeMessage(R"({"kind":"error","id":2,"error":{"code":1}})")).kindIsError);
  EXPECT_FALSE(fault(platform::ipc::decodeMessage(R"({"kind":"reply"})")).kindIsError);
  // Nesting deeper than the JSON reader takes is a malformed message, not a stack overflow.
  EXPECT_EQ(fault(platform::ipc::decodeMessage(std::string(100000, '['))).code, IpcErrorCase::malformedMessage);
}

// The parser's message quotes what it read; a fault's reason is valid UTF-8 all the same.
TEST(Decode, AFaultOnBytesThatAreNotUtf8HasAReasonThatCanBeWritten) {
  for (const std::string body : {"\xff\xfe not json at all", "{\"kind\":\"call\",\"id\":1,\"args\":{\"a\":\"\xff\"}}"}) {
    const MessageFault f = fault(platform::ipc::decodeMessage(body));
    EXPECT_EQ(f.code, IpcErrorCase::malformedMessage);
    EXPECT_FALSE(f.id.has_value());
    EXPECT_NO_THROW(platform::json::dump(Json(f.reason))) << f.reason;
  }
}

// The answering paths of a connection cannot let an encoding failure escape their thread.
TEST(ErrorRecords, AnAnswerThatCannotBeWrittenAsItStandsKeepsItsDomainAndCode) {
  using platform::ipc::ErrorRecord;
  const ErrorRecord fine{"Echo", 7, "all UTF-8 \u00e9"};
  auto answer = platform::ipc::encodeErrorAnswer(3, fine);
  ASSERT_TRUE(answer.frame);
  EXPECT_TRUE(answer.problem.empty());
  EXPECT_EQ(message(platform::ipc::decodeMessage(answer.frame->substr(4))).error, fine);

  const auto check = [](const platform::ipc::ErrorAnswer& a, const std::string& domain) {
    ASSERT_TRUE(a.frame);
    EXPECT_FALSE(a.problem.empty());
    const Message m = message(platform::ipc::decodeMessage(a.frame->substr(4)));
    EXPECT_EQ(m.kind, MessageKind::error);
    EXPECT_EQ(m.id, 3u);
    EXPECT_EQ(m.error, (ErrorRecord{domain, 7, platform::ipc::kUnwritableDescription}));
  };
  check(platform::ipc::encodeErrorAnswer(3, ErrorRecord{"Echo\xff", 7, "a file \xfe"}), "Echo\uFFFD");
  check(platform::ipc::encodeErrorAnswer(3, ErrorRecord{"Echo", 7, std::string(500, 'x')}, 200), "Echo");
  // Not even the replacement fits: no frame, and the caller ends the connection.
  answer = platform::ipc::encodeErrorAnswer(3, fine, 20);
  EXPECT_FALSE(answer.frame);
  EXPECT_FALSE(answer.problem.empty());
}

TEST(ErrorRecords, TravelAsDomainCodeDescription) {
  const IpcError error(IpcErrorCase::tooManyCalls, "65 calls");
  const auto record = platform::ipc::ErrorRecord::from(error);
  EXPECT_EQ(record.domain, "platform.ipc");
  EXPECT_EQ(record.code, 5);
  EXPECT_EQ(record.description, error.description());
  EXPECT_EQ(platform::ipc::ErrorRecord::fromJson(record.toJson()), record);
  EXPECT_FALSE(platform::ipc::ErrorRecord::fromJson(Json{{"domain", "d"}, {"code", 1.5}, {"description", ""}}));
  EXPECT_FALSE(platform::ipc::ErrorRecord::fromJson(Json{{"domain", "d"}, {"code", 1}}));
  EXPECT_FALSE(platform::ipc::ErrorRecord::fromJson(
      Json{{"domain", "d"}, {"code", 18446744073709551615ull}, {"description", ""}}));

  const auto foreign = platform::ipc::ErrorRecord::fromException(std::make_exception_ptr(std::runtime_error("boom")));
  EXPECT_EQ(foreign, (platform::ipc::ErrorRecord{"platform.ipc", 0, "boom"}));

  // Text from outside (a peer's bytes, a file name) becomes valid UTF-8 in a record.
  EXPECT_EQ(platform::ipc::ErrorRecord::from(IpcError(IpcErrorCase::malformedMessage, "a\xff\xfe b")).description,
            "Malformed message: a\uFFFD\uFFFD b");
  EXPECT_EQ(platform::ipc::ErrorRecord::fromException(std::make_exception_ptr(std::runtime_error("\xc3(name"))),
            (platform::ipc::ErrorRecord{"platform.ipc", 0, "\uFFFD(name"}));
}

}  // namespace

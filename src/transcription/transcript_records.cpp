#include "transcription/transcript_records.hpp"

#include <chrono>
#include <cmath>

#include "platform/log/log.hpp"
#include "platform/text/text.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

using platform::json::Json;
using platform::json::JsonError;

const platform::log::Logger& logger() {
  static const platform::log::Logger instance("com.velmoria.transcription", "TranscriptRecords");
  return instance;
}

// JSON text is UTF-8: a string or key that is not (a path from a legacy file system, text
// that a model made) cannot be written, so the record fails here, like a non-finite number,
// rather than when the frame is sent. The message names the member, never quotes its bytes.
void requireUtf8Text(const Json& value, std::string_view key) {
  const auto refuse = [](std::string_view where) {
    throw CodingError::invalidValue("cannot encode text that is not UTF-8 " +
                                    (where.empty() ? std::string("in the record")
                                                   : "in \"" + platform::text::repairUtf8(where) + "\""));
  };
  switch (value.type()) {
    case Json::value_t::string:
      if (!platform::text::isValidUtf8(value.get_ref<const std::string&>())) refuse(key);
      break;
    case Json::value_t::object:
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!platform::text::isValidUtf8(it.key())) refuse(key);
        requireUtf8Text(it.value(), it.key());
      }
      break;
    case Json::value_t::array:
      for (const auto& element : value) requireUtf8Text(element, key);
      break;
    default:
      break;
  }
}

template <class R>
Json encodeRecord(const R& record) {
  Json json;
  try {
    json = platform::json::encode(record);
  } catch (const JsonError& e) {
    throw CodingError::invalidValue(e.what());
  }
  requireUtf8Text(json, "");
  return json;
}

template <class R>
std::string encodeRecordText(const R& record) {
  const Json json = encodeRecord(record);
  try {
    return platform::json::dump(json);
  } catch (const JsonError& e) {
    throw CodingError::invalidValue(e.what());
  }
}

template <class R>
R decodeRecord(const Json& value, std::string_view what) {
  try {
    return platform::json::decode<R>(value, what);
  } catch (const JsonError& e) {
    throw CodingError::dataCorrupted(e.what());
  }
}

Json parseText(std::string_view text) {
  try {
    return platform::json::parse(text);
  } catch (const JsonError& e) {
    throw CodingError::dataCorrupted(e.what());
  }
}

}  // namespace

Date Date::now() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return fromUnixSeconds(std::chrono::duration<double>(sinceEpoch).count());
}

Json UuidCoder::encode(const platform::sync::Uuid& id) const { return Json(id.toString()); }

platform::sync::Uuid UuidCoder::decode(const Json& json, std::string_view key) const {
  if (!json.is_string()) {
    throw JsonError("wrong type for key \"" + std::string(key) + "\": expected a UUID string, found " +
                    json.type_name());
  }
  const auto& text = json.get_ref<const std::string&>();
  const auto id = platform::sync::Uuid::parse(text);
  if (!id) throw JsonError("Attempted to decode UUID from invalid UUID string \"" + text + "\" for key \"" +
                           std::string(key) + "\"");
  return *id;
}

Json DateCoder::encode(const Date& date) const { return platform::json::fromDouble(date.secondsSinceReferenceDate); }

Date DateCoder::decode(const Json& json, std::string_view key) const {
  return Date{platform::json::detail::convertMember<double>(json, key)};
}

Json ScoreCoder::encode(float value) const {
  if (!std::isfinite(value)) {
    logger().error(std::string("non-finite ") + key + " (" + std::to_string(value) + ") written as 0");
    return platform::json::fromFloat(0.0f);
  }
  return platform::json::fromFloat(value);
}

float ScoreCoder::decode(const Json& json, std::string_view fieldKey) const {
  return platform::json::detail::convertMember<float>(json, fieldKey);
}

Json encodeJson(const XPCProcessRequest& request) { return encodeRecord(request); }
Json encodeJson(const TranscriptResult& result) { return encodeRecord(result); }
std::string encodeText(const XPCProcessRequest& request) { return encodeRecordText(request); }
std::string encodeText(const TranscriptResult& result) { return encodeRecordText(result); }

XPCProcessRequest decodeProcessRequest(const Json& value) {
  return decodeRecord<XPCProcessRequest>(value, "XPCProcessRequest");
}
XPCProcessRequest decodeProcessRequestText(std::string_view text) { return decodeProcessRequest(parseText(text)); }

TranscriptResult decodeTranscriptResult(const Json& value) {
  return decodeRecord<TranscriptResult>(value, "TranscriptResult");
}
TranscriptResult decodeTranscriptResultText(std::string_view text) { return decodeTranscriptResult(parseText(text)); }

}  // namespace velmoria

#include "platform/audio/ffmpeg_support.hpp"

#include <cstdarg>
#include <cstdio>

#include "platform/log/log.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace platform::audio::detail {

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) {
    std::snprintf(text, sizeof text, "error %d", code);
  }
  return text;
}

namespace {
void forwardFfmpegLog(void* object, int level, const char* format, va_list args) {
  if (level > av_log_get_level() || !platform::log::isEnabled(platform::log::Level::debug)) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
  std::string message(line);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (message.empty()) return;
  platform::log::write(platform::log::Level::debug, "platform.audio", "FFmpeg", message);
}
}  // namespace

void routeFfmpegLogging() {
  static const bool installed = [] {
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(forwardFfmpegLog);
    return true;
  }();
  (void)installed;
}

}  // namespace platform::audio::detail

#include "transcription/transcriber_status_receiver.hpp"

#include <utility>

#include "platform/log/log.hpp"

namespace velmoria {

const platform::log::Logger& transcriberLogger() {
  static const platform::log::Logger l("com.velmoria.app", "Transcriber");
  return l;
}

void TranscriberStatusReceiver::reportDownloadStatus(const std::string& status) {
  transcriberLogger().debug("client: received download status callback: " + status);
  Handler handler;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    handler = handler_;
  }
  if (handler) handler(status);
}

void TranscriberStatusReceiver::setHandler(Handler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = std::move(handler);
}

void InterruptedFlag::set() {
  std::lock_guard<std::mutex> guard(mutex_);
  value_ = true;
}

void InterruptedFlag::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  value_ = false;
}

bool InterruptedFlag::value() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return value_;
}

}  // namespace velmoria

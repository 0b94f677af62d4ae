// The app's side of the status-reporting protocol in the worker tests: keeps every download
// status string the worker sends, in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "transcription/transcriber_status_reporting.hpp"

namespace hosttest {

class StatusLog : public velmoria::TranscriberStatusReporting {
 public:
  void reportDownloadStatus(const std::string& status) override {
    std::lock_guard<std::mutex> guard(mutex_);
    statuses_.push_back(status);
  }
  std::vector<std::string> statuses() {
    std::lock_guard<std::mutex> guard(mutex_);
    return statuses_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> statuses_;
};

}  // namespace hosttest

// The app side's two small shared objects of the worker connection: the status receiver the
// app exports, so that the worker can report download steps, and the flag the connection's
// interruption handler raises when the worker went away.
//
// Both are thread-safe: each access holds the object's mutex for one read or one write, and
// the receiver calls its handler after releasing it.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "platform/log/log.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace velmoria {

// The logger of the app-side client objects (category "Transcriber").
const platform::log::Logger& transcriberLogger();

class TranscriberStatusReceiver : public TranscriberStatusReporting {
 public:
  using Handler = std::function<void(const std::string& status)>;

  // Called by the connection on a thread of its choosing: hands `status` to the handler
  // installed at that moment, or drops it (logged) when there is none.
  void reportDownloadStatus(const std::string& status) override;

  // Installs (or, with an empty function, clears) the one handler slot.
  void setHandler(Handler handler);

 private:
  std::mutex mutex_;
  Handler handler_;  // guarded by mutex_
};

// Raised by the interruption handler, consumed by the client facade.
class InterruptedFlag {
 public:
  void set();
  void clear();
  bool value() const;

 private:
  mutable std::mutex mutex_;
  bool value_ = false;  // guarded by mutex_
};

}  // namespace velmoria

// A small service for the connection tests: the exported object of the echo worker and of the
// in-process tests, its client-side counterpart, and their typed proxies.
//
// EchoService methods: "echo" (answers its args), "sleep" {ms} (slow: answers after ms),
// "fail" {message} (throws an EchoError), "callBack" {text} (asks the client's "ask" through
// the remote proxy and answers with its answer), "notifyBack" {text} (sends the client a
// one-way "notify", then answers), "hold" (keeps the answer), "release" (answers every held
// call, then itself with their count), "pid" (the process id), "quiet" (answers null; its
// empty answer, for a reply without a result slot, is {"quiet": true}), "big" {bytes} (answers a string of that many
// bytes), "failBytes" {text} (throws an EchoError whose message is text and the byte 0xFF),
// "failRecord" {text} (answers the record {"Echo.Raw", 7, text and 0xFF}). EchoClient methods: "ask" {text} (answers "re: " + text), "notify" {text} (one-way).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ipc/connection.hpp"
#include "platform/sync/mutex.hpp"
#include "platform/sys/error.hpp"

namespace echo {

enum class EchoErrorCase { refused = 0, unreachable = 1 };

class EchoError : public platform::sys::ErrorWithCase<EchoErrorCase> {
 public:
  EchoError(EchoErrorCase c, std::string message)
      : ErrorWithCase("Echo.EchoError", c, c == EchoErrorCase::refused ? "refused" : "unreachable", message,
                      "Echo refused: " + message) {}
};

const platform::ipc::Interface& serviceInterface();
const platform::ipc::Interface& clientInterface();

class EchoService : public platform::ipc::ExportedObject {
 public:
  explicit EchoService(std::weak_ptr<platform::ipc::Connection> connection) : connection_(std::move(connection)) {}
  void handleCall(const std::string& method, const platform::json::Json& args, platform::ipc::Reply& reply) override;

 private:
  std::weak_ptr<platform::ipc::Connection> connection_;
  platform::sync::Mutex mutex_;
  std::vector<platform::ipc::Reply> held_;  // guarded by mutex_
};

class EchoClient : public platform::ipc::ExportedObject {
 public:
  void handleCall(const std::string& method, const platform::json::Json& args, platform::ipc::Reply& reply) override;
  void handleOneway(const std::string& method, const platform::json::Json& args) override;

  std::vector<std::string> notifications() { return notes_.get(); }

 private:
  platform::sync::Locked<std::vector<std::string>> notes_;
};

class EchoServiceProxy : public platform::ipc::RemoteProxy {
 public:
  using RemoteProxy::RemoteProxy;
  static const platform::ipc::Interface& interface() { return serviceInterface(); }
  using RemoteProxy::call;
  using RemoteProxy::callAndWait;
};

class EchoClientProxy : public platform::ipc::RemoteProxy {
 public:
  using RemoteProxy::RemoteProxy;
  static const platform::ipc::Interface& interface() { return clientInterface(); }
  using RemoteProxy::call;
  using RemoteProxy::send;
};

// Sets up an accepted connection as the echo worker does: service exported, client remote.
void configureServiceSide(const std::shared_ptr<platform::ipc::Connection>& connection);
// The client side: client exported, service remote. Returns the exported client object.
std::shared_ptr<EchoClient> configureClientSide(const std::shared_ptr<platform::ipc::Connection>& connection);

}  // namespace echo

#include "echo_service.hpp"

#include <unistd.h>

#include <chrono>
#include <thread>

namespace echo {

using platform::ipc::CallOutcome;
using platform::ipc::Interface;
using platform::ipc::Reply;
using platform::json::Json;

const Interface& serviceInterface() {
  static const Interface i{"EchoService",
                           {{"echo"},
                            {"sleep"},
                            {"fail"},
                            {"callBack"},
                            {"notifyBack"},
                            {"hold"},
                            {"release"},
                            {"pid"},
                            {"quiet", false, Json{{"quiet", true}}},
                            {"big"},
                            {"failBytes"},
                            {"failRecord"}}};
  return i;
}

const Interface& clientInterface() {
  static const Interface i{"EchoClient", {{"ask"}, {"notify", true}}};
  return i;
}

void EchoService::handleCall(const std::string& method, const Json& args, Reply& reply) {
  if (method == "echo") return reply.succeed(args);
  if (method == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(args.value("ms", 0)));
    return reply.succeed(Json{{"slept", args.value("ms", 0)}});
  }
  if (method == "fail") throw EchoError(EchoErrorCase::refused, args.value("message", std::string()));
  // A byte that is not UTF-8, as a file name read from the disk may hold.
  if (method == "failBytes") throw EchoError(EchoErrorCase::refused, args.value("text", std::string()) + "\xff");
  if (method == "failRecord") {
    return reply.fail(platform::ipc::ErrorRecord{"Echo.Raw", 7, args.value("text", std::string()) + "\xff"});
  }
  if (method == "pid") return reply.succeed(Json(static_cast<std::int64_t>(::getpid())));
  if (method == "quiet") return reply.succeed(nullptr);
  if (method == "big") return reply.succeed(Json(std::string(args.value("bytes", std::size_t{0}), 'b')));
  if (method == "hold") {
    std::lock_guard<platform::sync::Mutex> guard(mutex_);
    held_.push_back(std::move(reply));
    return;
  }
  if (method == "release") {
    std::vector<Reply> held;
    {
      std::lock_guard<platform::sync::Mutex> guard(mutex_);
      held.swap(held_);
    }
    // Answered newest first, so that answers arrive out of call order.
    for (auto it = held.rbegin(); it != held.rend(); ++it) it->succeed(Json{{"released", true}});
    return reply.succeed(Json(static_cast<std::int64_t>(held.size())));
  }
  auto connection = connection_.lock();
  auto proxy = connection ? connection->remoteObjectProxy<EchoClientProxy>() : nullptr;
  if (method == "callBack" || method == "notifyBack") {
    if (!proxy) throw EchoError(EchoErrorCase::unreachable, "no client proxy");
    if (method == "notifyBack") {
      proxy->send("notify", Json{{"text", args.value("text", std::string())}});
      return reply.succeed(Json{{"sent", true}});
    }
    // Answered from the completion: the handler never blocks its own delivery thread.
    auto shared = std::make_shared<Reply>(std::move(reply));
    proxy->call("ask", Json{{"text", args.value("text", std::string())}}, [shared](CallOutcome outcome) {
      if (outcome.error) return shared->fail(*outcome.error);
      shared->succeed(Json{{"answer", outcome.result}});
    });
    return;
  }
  throw EchoError(EchoErrorCase::refused, "unhandled method " + method);
}

void EchoClient::handleCall(const std::string& method, const Json& args, Reply& reply) {
  if (method == "ask") return reply.succeed(Json("re: " + args.value("text", std::string())));
  throw EchoError(EchoErrorCase::refused, "unhandled method " + method);
}

void EchoClient::handleOneway(const std::string& method, const Json& args) {
  if (method == "notify") notes_.withLock([&](auto& v) { v.push_back(args.value("text", std::string())); });
}

void configureServiceSide(const std::shared_ptr<platform::ipc::Connection>& connection) {
  connection->setExportedInterface(serviceInterface());
  connection->setRemoteObjectInterface(clientInterface());
  connection->setExportedObject(std::make_shared<EchoService>(connection));
}

std::shared_ptr<EchoClient> configureClientSide(const std::shared_ptr<platform::ipc::Connection>& connection) {
  auto client = std::make_shared<EchoClient>();
  connection->setExportedInterface(clientInterface());
  connection->setRemoteObjectInterface(serviceInterface());
  connection->setExportedObject(client);
  return client;
}

}  // namespace echo

#include "platform/net/path_monitor.hpp"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/fs/unique_fd.hpp"
#include "platform/log/log.hpp"

namespace platform::net {
namespace {

const log::Logger& logger() {
  static const log::Logger instance("net", "PathMonitor");
  return instance;
}

struct IfaddrsDeleter {
  void operator()(ifaddrs* p) const { freeifaddrs(p); }
};

bool usableAddress(const sockaddr* addr) {
  if (!addr) return false;
  if (addr->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    uint32_t a = ntohl(in->sin_addr.s_addr);
    return (a >> 16) != 0xA9FE && (a >> 24) != 127 && a != 0;
  }
  if (addr->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    const unsigned char* b = in6->sin6_addr.s6_addr;
    bool linkLocal = b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
    return !linkLocal && !IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) && !IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr);
  }
  return false;
}

class SystemPathSource final : public PathSource {
 public:
  ~SystemPathSource() override { stop(); }

  void start(PathHandler handler) override {
    stop();
    fs::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
      logger().error("Could not create the path monitor's wake-up descriptor: " + std::string(std::strerror(errno)));
      handler(evaluateSystemPath());
      return;
    }
    const int wakeFd = wake.get();
    wakeFd_ = std::move(wake);
    thread_ = std::thread([handler = std::move(handler), wakeFd] { run(handler, wakeFd); });
  }

  void stop() override {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_.get(), &one, sizeof one);
    thread_.join();
    wakeFd_.reset();
  }

 private:
  // The netlink socket that reports link, address and route changes; nothing held when it
  // cannot be opened or bound (logged).
  static fs::UniqueFd openRouteSocket() {
    fs::UniqueFd sock(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!sock) {
      logger().error("Could not open a netlink socket: " + std::string(std::strerror(errno)));
      return sock;
    }
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      logger().error("Could not bind the netlink socket: " + std::string(std::strerror(errno)));
      sock.reset();
    }
    return sock;
  }

  // `wakeFd` stays owned by the source, which closes it only after joining this thread.
  static void run(const PathHandler& handler, int wakeFd) {
    const fs::UniqueFd sock = openRouteSocket();
    NetworkPath last = evaluateSystemPath();
    handler(last);
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {sock.get(), POLLIN, 0}};
    nfds_t count = sock ? 2 : 1;
    char buffer[16384];
    for (;;) {
      int ready = ::poll(fds, count, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      if (count == 2 && fds[1].revents != 0) {
        // Drain every pending message; the content does not matter, only that something changed.
        while (::recv(sock.get(), buffer, sizeof buffer, 0) > 0) {
        }
        NetworkPath now = evaluateSystemPath();
        if (!(now == last)) {
          last = now;
          handler(now);
        }
      }
    }
  }

  std::thread thread_;
  fs::UniqueFd wakeFd_;  // the eventfd that ends the thread; closed after joining it
};

}  // namespace

NetworkPath evaluateSystemPath() {
  ifaddrs* raw = nullptr;
  NetworkPath path;
  if (::getifaddrs(&raw) != 0) return path;
  std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);
  for (ifaddrs* it = raw; it; it = it->ifa_next) {
    unsigned flags = it->ifa_flags;
    if ((flags & IFF_LOOPBACK) || !(flags & IFF_UP) || !(flags & IFF_RUNNING)) continue;
    if (usableAddress(it->ifa_addr)) {
      path.satisfied = true;
      break;
    }
  }
  return path;
}

std::unique_ptr<PathSource> makeSystemPathSource() { return std::make_unique<SystemPathSource>(); }

void ManualPathSource::start(PathHandler handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = std::move(handler);
}

void ManualPathSource::stop() {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = nullptr;
}

void ManualPathSource::report(const NetworkPath& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (handler_) handler_(path);
}

}  // namespace platform::net

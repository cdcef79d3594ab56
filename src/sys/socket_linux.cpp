// Sockets on Linux: accept4 and SOCK_CLOEXEC, MSG_NOSIGNAL, TCP_DEFER_ACCEPT, and a
// listener's receive timeout that bounds accept are Linux's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sys/sockets.h"

namespace chair::sys {

namespace {
std::string os_error(int err) { return std::strerror(err); }
}  // namespace

void init_sockets() {
  // A client that resets its connection, or a parent that closed our standard output,
  // is an ordinary write failure, never a reason for the process to die.
  signal(SIGPIPE, SIG_IGN);
}

void raise_descriptor_limit(size_t wanted) {
  rlimit lim{};
  const auto want = static_cast<rlim_t>(wanted);
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= want) return;
  lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(lim.rlim_max, want);
  (void)setrlimit(RLIMIT_NOFILE, &lim);
}

void Socket::close() {
  if (s_ != kNoSocket) {
    ::close(static_cast<int>(s_));
    s_ = kNoSocket;
  }
}

bool Socket::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(static_cast<int>(s_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

Result<size_t> Socket::read_some(char* buf, size_t n, std::chrono::steady_clock::time_point deadline) {
  const int fd = static_cast<int>(s_);
  for (;;) {
    // Bytes that are already here need no wait: a small request usually is by the time its
    // connection is accepted, and then it costs this one call.
    ssize_t got = ::recv(fd, buf, n, MSG_DONTWAIT);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(os_error(errno));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return fail("timed out");
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60'000)));
    if (r < 0 && errno != EINTR) return fail(os_error(errno));
  }
}

void Socket::set_send_timeout(std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(static_cast<int>(s_), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Result<Socket> connect_loopback(uint16_t port, std::chrono::milliseconds timeout) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(os_error(errno));
  Socket s(fd);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return fail(os_error(errno));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return fail("timed out");
      pollfd p{fd, POLLOUT, 0};
      int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(os_error(errno));
      if (r > 0) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail(os_error(errno));
    if (err != 0) return fail(os_error(err));
  }
  // Blocking again: write_all counts on it, and read_some waits by itself.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return s;
}

Result<Listener> Listener::bind_loopback(uint16_t port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(os_error(errno));
  Listener l;
  l.s_ = Socket(fd);
  // Connections we closed first wait out TIME_WAIT on our port for a minute; without this a
  // restarted service could not listen there again until they are gone. A socket that still
  // listens on the port keeps it: a second instance fails as before.
  int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(os_error(errno));
  if (::listen(fd, backlog) != 0) return fail(os_error(errno));
  // A connection is handed to accept once its first bytes are here (or, for a client that
  // sends nothing, about a second later): the accepting thread wakes once, not once for the
  // connection and again for its request.
  int defer = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);
  l.port_ = l.local_port();
  return l;
}

uint16_t Listener::local_port() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(static_cast<int>(s_.native()), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

void Listener::set_accept_timeout(std::chrono::milliseconds timeout) {
  accept_timeout_ = timeout;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  // Linux applies a listener's receive timeout to accept.
  (void)::setsockopt(static_cast<int>(s_.native()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

Result<Socket> Listener::accept() {
  if (shut_->load()) return fail("listener shut");
  int fd = ::accept4(static_cast<int>(s_.native()), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) return Socket(fd);
  const int err = errno;
  if (shut_->load()) return fail("listener shut");
  // Nothing came in time, a signal, or a client that gave up while queued: nothing to report.
  if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) return Socket();
  return fail(os_error(err));
}

void Listener::shut() {
  shut_->store(true);
  // On a listening socket this refuses new connections at once and wakes every thread
  // blocked in accept.
  (void)::shutdown(static_cast<int>(s_.native()), SHUT_RDWR);
}

}  // namespace chair::sys

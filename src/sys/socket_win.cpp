// The socket seam on Windows: Winsock 2.
//
// Every socket is created overlapped (the send timeout only works on such sockets) and
// not inheritable, so a child process such as the PowerShell listing never holds one of
// our connections open.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <string>

#include "sys/sockets.h"
#include "sys/win_text.h"

namespace chair::sys {

namespace {

SOCKET as_socket(NativeSocket s) { return static_cast<SOCKET>(s); }

// The system's own text for a Winsock or Win32 error, as UTF-8: the caller puts it into
// lines that the parent reads as UTF-8 ("监听失败: {}"), whatever the system's code page.
std::string os_error(int err) {
  std::string out = system_message(static_cast<unsigned long>(err));
  return out.empty() ? "socket error " + std::to_string(err) : out;
}

std::string last_error() { return os_error(WSAGetLastError()); }

constexpr DWORD kSocketFlags = WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT;

// Connects to 127.0.0.1:port and drops the connection at once, waiting at most a second for
// it to be set up: a connection arriving is what wakes the threads waiting in select().
void poke_loopback(uint16_t port) {
  // Closed before the handshake ends, the connection would never reach the accept queue.
  (void)connect_loopback(port, std::chrono::seconds(1));
}

}  // namespace

void init_sockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    // A failure here shows up as the listener's own error ("监听失败: {}").
    (void)WSAStartup(MAKEWORD(2, 2), &data);
  });
}

void raise_descriptor_limit(size_t) {}

void Socket::close() {
  if (s_ != kNoSocket) {
    ::closesocket(as_socket(s_));
    s_ = kNoSocket;
  }
}

bool Socket::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    int chunk = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
    int n = ::send(as_socket(s_), bytes.data(), chunk, 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

Result<size_t> Socket::read_some(char* buf, size_t n, std::chrono::steady_clock::time_point deadline) {
  int want = static_cast<int>(std::min<size_t>(n, INT_MAX));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return fail("timed out");
    WSAPOLLFD p{};
    p.fd = as_socket(s_);
    p.events = POLLRDNORM;
    int r = ::WSAPoll(&p, 1, static_cast<INT>(std::min<long long>(left.count(), 60'000)));
    if (r == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      return fail(last_error());
    }
    if (r == 0) continue;
    // Readable, closed or failed: recv tells which.
    int got = ::recv(as_socket(s_), buf, want, 0);
    if (got == SOCKET_ERROR) {
      int err = WSAGetLastError();
      if (err == WSAEINTR || err == WSAEWOULDBLOCK) continue;
      return fail(os_error(err));
    }
    return static_cast<size_t>(got);
  }
}

void Socket::set_send_timeout(std::chrono::milliseconds timeout) {
  DWORD ms = static_cast<DWORD>(std::clamp<long long>(timeout.count(), 1, MAXDWORD));
  ::setsockopt(as_socket(s_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

Result<Socket> connect_loopback(uint16_t port, std::chrono::milliseconds timeout) {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kSocketFlags);
  if (s == INVALID_SOCKET) return fail(last_error());
  Socket owned(static_cast<NativeSocket>(s));
  u_long nonblocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonblocking);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return fail(last_error());
    // select rather than WSAPoll: only select reports a refused connection at once.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const long long ms = std::max<long long>(timeout.count(), 0);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    const int r = ::select(0, nullptr, &writable, &failed, &wait);
    if (r == SOCKET_ERROR) return fail(last_error());
    if (r == 0) return fail("timed out");
    if (FD_ISSET(s, &failed)) {
      int err = 0;
      int len = sizeof err;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
      return fail(os_error(err != 0 ? err : WSAECONNREFUSED));
    }
  }
  u_long blocking = 0;
  ::ioctlsocket(s, FIONBIO, &blocking);
  return owned;
}

Result<Listener> Listener::bind_loopback(uint16_t port, int backlog) {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kSocketFlags);
  if (s == INVALID_SOCKET) return fail(last_error());
  Listener l;
  l.s_ = Socket(static_cast<NativeSocket>(s));
  // No other program may take over our port while we hold it (with SO_REUSEADDR, Windows
  // would let it bind the same address and receive some of the UI's connections).
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(last_error());
  if (::listen(s, backlog) != 0) return fail(last_error());
  // Several threads wait in select() and then accept: the one that loses the race must not
  // block in accept.
  u_long nonblocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonblocking);
  l.port_ = l.local_port();
  return l;
}

uint16_t Listener::local_port() const {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (::getsockname(as_socket(s_.native()), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

void Listener::set_accept_timeout(std::chrono::milliseconds timeout) { accept_timeout_ = timeout; }

Result<Socket> Listener::accept() {
  if (shut_->load()) return fail("listener shut");
  const SOCKET listener = as_socket(s_.native());
  // Winsock's accept knows no timeout and is not woken by a shutdown; select is, by the
  // connection that shut() makes.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(listener, &readable);
  timeval wait{};
  wait.tv_sec = static_cast<long>(accept_timeout_.count() / 1000);
  wait.tv_usec = static_cast<long>((accept_timeout_.count() % 1000) * 1000);
  int ready = ::select(0, &readable, nullptr, nullptr, accept_timeout_.count() > 0 ? &wait : nullptr);
  if (shut_->load()) return fail("listener shut");
  if (ready == SOCKET_ERROR) return fail(last_error());
  if (ready == 0) return Socket();
  SOCKET s = ::accept(listener, nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR || err == WSAECONNRESET) return Socket();
    return fail(os_error(err));
  }
  // An accepted socket takes the listener's attributes: it must block like any other, and
  // it must not be inherited by a child process.
  u_long blocking = 0;
  ::ioctlsocket(s, FIONBIO, &blocking);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return Socket(static_cast<NativeSocket>(s));
}

void Listener::shut() {
  if (shut_->exchange(true)) return;
  if (port_ != 0) poke_loopback(port_);
}

}  // namespace chair::sys

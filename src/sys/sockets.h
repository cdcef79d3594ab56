// The socket seam: TCP on the loopback interface, POSIX here and Winsock on Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/result.h"

namespace chair::sys {

using NativeSocket = intptr_t;
inline constexpr NativeSocket kNoSocket = -1;

// Process-wide preparation (Winsock start-up; no SIGPIPE death on POSIX).
void init_sockets();

// Raises the soft limit on open descriptors to `wanted` where the hard limit allows (POSIX;
// Windows has no such limit on sockets). Never lowers it.
void raise_descriptor_limit(size_t wanted);

// Connects to 127.0.0.1:port and drops the connection at once, waiting at most a second for it
// to be set up: this wakes a thread blocked accepting on that port. Errors are ignored; when the
// listener's backlog is full, its accept returns soon anyway.
void poke_loopback(uint16_t port);

class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket s) : s_(s) {}
  Socket(Socket&& o) noexcept : s_(o.s_) { o.s_ = kNoSocket; }
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  bool valid() const { return s_ != kNoSocket; }
  NativeSocket native() const { return s_; }
  void close();

  // A second handle to the same socket, not inherited by child processes.
  Result<Socket> duplicate() const;

  // Sends everything, continuing after partial sends and retrying interrupted ones.
  // False when a send fails or accepts nothing.
  bool write_all(std::string_view bytes);

  // Waits until `deadline` for bytes; returns the count (0 at end of stream), or an
  // error on failure or when the deadline passes.
  Result<size_t> read_some(char* buf, size_t n, std::chrono::steady_clock::time_point deadline);

  // A send blocked longer than this fails.
  void set_send_timeout(std::chrono::milliseconds timeout);

 private:
  NativeSocket s_ = kNoSocket;
};

// A connection to 127.0.0.1:port, set up within `timeout`, for our own requests to a loopback
// service. The error is the operating system's text.
Result<Socket> connect_loopback(uint16_t port, std::chrono::milliseconds timeout);

class Listener {
 public:
  // TCP socket bound to 127.0.0.1:port, listening with the given backlog. The error is
  // the operating system's text.
  static Result<Listener> bind_loopback(uint16_t port, int backlog);
  // The bound port, or 0 when it cannot be read.
  uint16_t local_port() const;
  Result<Socket> accept();

 private:
  Socket s_;
};

}  // namespace chair::sys

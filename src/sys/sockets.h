// The socket seam: TCP on the loopback interface, POSIX here and Winsock on Windows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "common/result.h"

namespace chair::sys {

using NativeSocket = intptr_t;
inline constexpr NativeSocket kNoSocket = -1;

// Process-wide preparation (Winsock start-up; no SIGPIPE death on POSIX).
void init_sockets();

// Raises the soft limit on open descriptors to `wanted` where the hard limit allows (POSIX;
// Windows has no such limit on sockets). Never lowers it.
void raise_descriptor_limit(size_t wanted);

class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket s) : s_(s) {}
  Socket(Socket&& o) noexcept : s_(o.s_) { o.s_ = kNoSocket; }
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) {
      close();
      s_ = std::exchange(o.s_, kNoSocket);
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  bool valid() const { return s_ != kNoSocket; }
  NativeSocket native() const { return s_; }
  void close();

  // Sends everything, continuing after partial sends and retrying interrupted ones.
  // False when a send fails or accepts nothing.
  bool write_all(std::string_view bytes);

  // Waits until `deadline` for bytes; returns the count (0 at end of stream), or an
  // error on failure or when the deadline passes. Bytes already waiting cost one call.
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
  // the operating system's text. No other socket can take the port while it listens, and a
  // restart may bind it while connections of an earlier run wait out their closing state.
  static Result<Listener> bind_loopback(uint16_t port, int backlog);
  // The bound port, or 0 when it cannot be read.
  uint16_t local_port() const;

  // How long accept() waits for a connection; set before any thread accepts. Without it,
  // accept() waits until a connection comes or shut() is called.
  void set_accept_timeout(std::chrono::milliseconds timeout);
  // The next connection; an invalid Socket when none came in time (or another thread took
  // it); the system's error otherwise, and always after shut(). Safe from several threads.
  Result<Socket> accept();
  // Refuses new connections and makes every accept(), now and later, return an error. The
  // handle itself is closed with the Listener. Safe from any thread.
  void shut();

 private:
  Socket s_;
  std::chrono::milliseconds accept_timeout_{0};
  uint16_t port_ = 0;
  // Shared with the threads in accept(); on the heap so that a Listener can move.
  std::unique_ptr<std::atomic<bool>> shut_ = std::make_unique<std::atomic<bool>>(false);
};

}  // namespace chair::sys

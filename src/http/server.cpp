#include "http/server.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "sys/sockets.h"
#include "sys/thread.h"

namespace chair::http {

namespace {

constexpr int kBacklog = 128;
// The connection cap alone needs 512 descriptors besides the process's own, and the usual
// soft limit of 1024 leaves little room; short of descriptors, accept fails and clients
// hang in the backlog instead of being turned away.
constexpr size_t kWantedDescriptors = 4096;
// A persistent accept failure (no descriptor left) must not spin the processor.
constexpr std::chrono::milliseconds kAcceptRetryPause{1};
// A thread waiting this long for a connection ends, unless it is the last one waiting;
// after a burst the process returns to its idle threads within this time.
constexpr std::chrono::seconds kParkedIdle{10};
// A thread that finishes its connection while this many others wait ends at once. Above the
// usual number of busy clients, so that a steady load does not start and end threads.
constexpr int kMaxParked = 128;

constexpr std::string_view kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

class SocketSource final : public ByteSource {
 public:
  SocketSource(sys::Socket& socket, std::chrono::steady_clock::time_point deadline)
      : socket_(socket), deadline_(deadline) {}
  Result<size_t> read_some(char* buf, size_t n) override { return socket_.read_some(buf, n, deadline_); }

 private:
  sys::Socket& socket_;
  std::chrono::steady_clock::time_point deadline_;
};

class SocketSink final : public ByteSink {
 public:
  explicit SocketSink(sys::Socket& socket) : socket_(socket) {}
  bool write_all(std::string_view bytes) override { return socket_.write_all(bytes); }
  void set_write_timeout(std::chrono::milliseconds timeout) override { socket_.set_send_timeout(timeout); }

 private:
  sys::Socket& socket_;
};

// What the connection threads share with the server. They are detached and may outlive the
// Server object, so they hold this by reference count; the last one closes the listener.
struct Shared {
  Router router;
  PreRouting pre_routing;
  sys::Listener listener;  // in place before the first thread accepts
  std::atomic<bool> stopping{false};
  std::atomic<int> active{0};   // connections being served
  std::atomic<int> waiting{0};  // threads in accept(), or on their way back to it
};

Reply route(const Shared& shared, const Request& request) {
  if (shared.pre_routing) {
    if (std::optional<Reply> early = shared.pre_routing(request)) return std::move(*early);
  }
  const Handler* handler = shared.router.find(request.path);
  return handler ? (*handler)(request) : Reply::not_found();
}

// One request, one reply (or a stream), then the socket closes. Reads and writes share the
// one handle: a small request costs one read and its reply one write.
void serve_connection(const Shared& shared, sys::Socket socket) {
  try {
    SocketSource source(socket, std::chrono::steady_clock::now() + kRequestTimeout);
    std::optional<Request> request = read_request(source);
    if (!request) return;
    Reply reply = route(shared, *request);
    if (reply.streaming()) {
      SocketSink sink(socket);
      reply.writer()(sink);
    } else {
      // A failed write changes nothing: the connection closes either way.
      (void)socket.write_all(reply.bytes());
    }
  } catch (...) {
    // A handler's failure costs its own connection only.
  }
}

void accept_loop(const std::shared_ptr<Shared>& shared);

// Adds a thread to the ones waiting for connections; false when none could be started.
bool start_acceptor(const std::shared_ptr<Shared>& shared) {
  shared->waiting.fetch_add(1);
  if (sys::spawn_detached([shared] { accept_loop(shared); })) return true;
  shared->waiting.fetch_sub(1);
  return false;
}

// Leaves the waiting threads when at least one other stays.
bool leave_waiting(std::atomic<int>& waiting) {
  int n = waiting.load();
  while (n > 1) {
    if (waiting.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

// The life of a connection thread: every thread accepts for itself and serves what it
// accepted, so a connection is never handed from thread to thread. Whoever takes the last
// waiting place starts a new thread first, so someone always accepts, and over the cap that
// one closes the connection at once. An event stream keeps its thread until the client goes;
// afterwards the thread waits again, or ends when enough others wait.
void accept_loop(const std::shared_ptr<Shared>& shared) {
  for (;;) {
    auto accepted = shared->listener.accept();
    if (shared->stopping.load()) break;
    if (!accepted) {
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    if (!accepted->valid()) {
      if (leave_waiting(shared->waiting)) return;
      continue;
    }
    if (shared->active.fetch_add(1) >= kMaxConnections) {
      shared->active.fetch_sub(1);
      continue;  // closed here, without a reply
    }
    if (shared->waiting.fetch_sub(1) == 1 && !start_acceptor(shared)) {
      // Nobody would accept while this connection is served: it is dropped instead.
      shared->active.fetch_sub(1);
      shared->waiting.fetch_add(1);
      continue;
    }
    serve_connection(*shared, std::move(*accepted));
    shared->active.fetch_sub(1);
    if (shared->waiting.load() >= kMaxParked) return;
    shared->waiting.fetch_add(1);
  }
  shared->waiting.fetch_sub(1);
}

}  // namespace

Reply Reply::json(const nlohmann::json& value) {
  std::string body = json_text(value);
  Reply r;
  r.bytes_.reserve(body.size() + 160);
  r.bytes_ += "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ";
  r.bytes_ += std::to_string(body.size());
  r.bytes_ += "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  // Head and body leave in one send: a small second segment would wait on the client's
  // delayed acknowledgement.
  r.bytes_ += body;
  return r;
}

Reply Reply::raw(std::string bytes) {
  Reply r;
  r.bytes_ = std::move(bytes);
  return r;
}

Reply Reply::not_found() { return raw(std::string(kNotFound)); }

Reply Reply::stream(std::function<void(ByteSink&)> writer) {
  Reply r;
  r.writer_ = std::move(writer);
  return r;
}

void Router::add(std::string path, Handler handler) { routes_.emplace_back(std::move(path), std::move(handler)); }

const Handler* Router::find(std::string_view path) const {
  for (const auto& [p, handler] : routes_) {
    if (p == path) return handler ? &handler : nullptr;
  }
  return nullptr;
}

std::vector<std::string> Router::paths() const {
  std::vector<std::string> out;
  out.reserve(routes_.size());
  for (const auto& route : routes_) out.push_back(route.first);
  return out;
}

struct Server::Impl {
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  bool listening = false;  // touched by listen() and run() only
  std::mutex mutex;
  std::condition_variable changed;
  bool stop_asked = false;  // guarded by mutex
  bool running = false;     // guarded by mutex
};

Server::Server(Router router, PreRouting pre_routing) : impl_(std::make_unique<Impl>()) {
  impl_->shared->router = std::move(router);
  impl_->shared->pre_routing = std::move(pre_routing);
}

Server::~Server() {
  stop();
  {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [&] { return !impl_->running; });
  }
  // Handlers reach into their owners' objects, which may go right after the server: none may
  // still be running once it is gone. The threads themselves may outlive it; they hold what
  // they need.
  while (impl_->shared->active.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Result<uint16_t> Server::listen(uint16_t port) {
  if (impl_->listening) return fail("already listening");
  sys::init_sockets();
  sys::raise_descriptor_limit(kWantedDescriptors);
  auto listener = sys::Listener::bind_loopback(port, kBacklog);
  if (!listener) return listener.take_error();
  if (uint16_t bound = listener->local_port()) port = bound;
  listener->set_accept_timeout(kParkedIdle);
  impl_->shared->listener = std::move(*listener);
  impl_->listening = true;
  return port;
}

void Server::run() {
  std::unique_lock lock(impl_->mutex);
  if (impl_->running || impl_->stop_asked || !impl_->listening) return;
  impl_->running = true;
  lock.unlock();
  const std::shared_ptr<Shared>& shared = impl_->shared;
  if (!start_acceptor(shared)) {
    // Not even one thread: this one accepts and serves instead, until stop().
    shared->waiting.fetch_add(1);
    accept_loop(shared);
  }
  lock.lock();
  impl_->changed.wait(lock, [&] { return impl_->stop_asked; });
  impl_->running = false;
  lock.unlock();
  impl_->changed.notify_all();
}

void Server::stop() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stop_asked) return;
    impl_->stop_asked = true;
  }
  impl_->changed.notify_all();
  // Refuses new connections and wakes the waiting threads, which end; connections being
  // served finish on their threads, and the last of them closes the listener.
  impl_->shared->stopping.store(true);
  impl_->shared->listener.shut();
}

int Server::active_connections() const { return impl_->shared->active.load(); }

std::string json_text(const nlohmann::json& value) {
  try {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return {};
  }
}

bool is_loopback_host(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = name.substr(close + 1);
    name = name.substr(0, close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
  } else if (size_t colon = name.find(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  return name == "127.0.0.1" || equal_ignoring_ascii_case(name, "localhost") || name == "[::1]";
}

bool host_is_loopback(const Request& request) {
  return request.hosts.empty() || (request.hosts.size() == 1 && is_loopback_host(request.hosts.front()));
}

namespace {

// A header value that may go back into our own reply as it is: visible ASCII, spaces and
// tabs. Anything else (a bare carriage return above all) is not echoed.
bool plain_header_value(std::string_view value) {
  if (value.empty()) return false;
  for (char c : value) {
    if (c != ' ' && c != '\t' && (c < 0x21 || c > 0x7e)) return false;
  }
  return true;
}

}  // namespace

std::optional<Reply> preflight_reply(const Request& request) {
  if (request.method != "OPTIONS" || !request.header("access-control-request-method")) return std::nullopt;
  const std::string* asked = request.header("access-control-request-headers");
  std::string bytes =
      "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nAccess-Control-Allow-Headers: ";
  bytes += asked && plain_header_value(*asked) ? std::string_view(*asked) : std::string_view("Content-Type");
  // Browsers cap the time they keep an answer at their own maximum.
  bytes += "\r\nAccess-Control-Max-Age: 600\r\nConnection: close\r\n\r\n";
  return Reply::raw(std::move(bytes));
}

}  // namespace chair::http

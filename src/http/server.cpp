#include "http/server.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sys/sockets.h"
#include "sys/thread.h"

namespace chair::http {

namespace {

constexpr int kBacklog = 128;
// Every connection holds two descriptors (the socket and its read handle), so the connection
// cap alone needs more than the usual soft limit of 1024; short of descriptors, accept fails
// and clients hang in the backlog instead of being turned away.
constexpr size_t kWantedDescriptors = 4096;
// A persistent accept failure (no descriptor left) must not spin the processor.
constexpr std::chrono::milliseconds kAcceptRetryPause{1};

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

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// What the connection workers share with the server. Workers are detached and may outlive
// the Server object, so they hold this by reference count.
struct Shared {
  Router router;
  PreRouting pre_routing;
  std::atomic<int> active{0};
};

// A connection's place under the cap, given back however its worker ends.
class Slot {
 public:
  explicit Slot(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  ~Slot() { shared_->active.fetch_sub(1); }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

 private:
  std::shared_ptr<Shared> shared_;
};

Reply route(const Shared& shared, const Request& request) {
  if (shared.pre_routing) {
    if (std::optional<Reply> early = shared.pre_routing(request)) return std::move(*early);
  }
  const Handler* handler = shared.router.find(request.path);
  return handler ? (*handler)(request) : Reply::not_found();
}

// One request, one reply (or a stream), then both handles close: the read handle first.
void serve_connection(const Shared& shared, sys::Socket socket) {
  auto read_handle = socket.duplicate();
  if (!read_handle) return;
  SocketSource source(*read_handle, std::chrono::steady_clock::now() + kRequestTimeout);
  std::optional<Request> request = read_request(source);
  if (!request) return;
  try {
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
  std::optional<sys::Listener> listener;  // touched by listen() and run() only
  std::atomic<uint16_t> port{0};
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::condition_variable run_ended;
  bool running = false;  // guarded by mutex
};

Server::Server(Router router, PreRouting pre_routing) : impl_(std::make_unique<Impl>()) {
  impl_->shared->router = std::move(router);
  impl_->shared->pre_routing = std::move(pre_routing);
}

Server::~Server() {
  stop();
  std::unique_lock lock(impl_->mutex);
  impl_->run_ended.wait(lock, [&] { return !impl_->running; });
}

Result<uint16_t> Server::listen(uint16_t port) {
  if (impl_->listener) return fail("already listening");
  sys::init_sockets();
  sys::raise_descriptor_limit(kWantedDescriptors);
  auto listener = sys::Listener::bind_loopback(port, kBacklog);
  if (!listener) return listener.take_error();
  if (uint16_t bound = listener->local_port()) port = bound;
  impl_->listener.emplace(std::move(*listener));
  impl_->port = port;
  return port;
}

void Server::run() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->running || !impl_->listener) return;
    impl_->running = true;
  }
  const std::shared_ptr<Shared>& shared = impl_->shared;
  while (!impl_->stopping) {
    auto accepted = impl_->listener->accept();
    if (impl_->stopping) break;  // the accepted socket, most likely stop()'s own, closes here
    if (!accepted) {
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    if (shared->active.fetch_add(1) >= kMaxConnections) {
      shared->active.fetch_sub(1);
      continue;  // closed here, without a reply
    }
    // std::function needs a copyable body; the socket itself moves once, into the worker.
    auto socket = std::make_shared<sys::Socket>(std::move(*accepted));
    bool started = sys::spawn_detached([shared, socket] {
      Slot slot(shared);
      serve_connection(*shared, std::move(*socket));
    });
    if (!started) shared->active.fetch_sub(1);  // no thread: this connection is dropped
  }
  impl_->listener.reset();
  {
    std::lock_guard lock(impl_->mutex);
    impl_->running = false;
  }
  impl_->run_ended.notify_all();
}

void Server::stop() {
  if (impl_->stopping.exchange(true)) return;
  if (uint16_t port = impl_->port) sys::poke_loopback(port);
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
  return name == "127.0.0.1" || ieq(name, "localhost") || name == "[::1]";
}

}  // namespace chair::http

#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace chair::test {

int connect_loopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

namespace {

void split_response(HttpResponse& r) {
  r.replied = !r.raw.empty();
  size_t end = r.raw.find("\r\n\r\n");
  if (end == std::string::npos) {
    r.head = r.raw;
    return;
  }
  r.head = r.raw.substr(0, end + 4);
  r.body = r.raw.substr(end + 4);
  if (r.head.rfind("HTTP/1.1 ", 0) == 0) r.status = std::atoi(r.head.c_str() + 9);
}

}  // namespace

HttpResponse raw_request(uint16_t port, const std::string& raw, bool half_close, std::chrono::milliseconds timeout) {
  HttpResponse r;
  int fd = connect_loopback(port);
  if (fd < 0) return r;
  send_all(fd, raw);
  if (half_close) ::shutdown(fd, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    r.raw.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  split_response(r);
  return r;
}

HttpResponse get(uint16_t port, const std::string& target, const std::string& body) {
  std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!body.empty()) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  return raw_request(port, req);
}

nlohmann::json get_json(uint16_t port, const std::string& target, const std::string& body) {
  HttpResponse r = get(port, target, body);
  EXPECT_EQ(r.status, 200) << target << " replied: " << r.raw;
  try {
    return r.json();
  } catch (const std::exception& e) {
    ADD_FAILURE() << target << " body is not JSON: " << r.body;
    return nullptr;
  }
}

struct EventStream::Impl {
  int fd = -1;
  std::thread reader;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::string> records;
  std::string raw;
  bool closed = false;

  void run() {
    char buf[16384];
    std::string pending;
    bool head_done = false;
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      std::lock_guard lock(mutex);
      raw.append(buf, static_cast<size_t>(n));
      pending.append(buf, static_cast<size_t>(n));
      if (!head_done) {
        size_t e = pending.find("\r\n\r\n");
        if (e == std::string::npos) continue;
        pending.erase(0, e + 4);
        head_done = true;
      }
      size_t sep;
      while ((sep = pending.find("\n\n")) != std::string::npos) {
        std::string block = pending.substr(0, sep);
        pending.erase(0, sep + 2);
        if (block.rfind("data: ", 0) == 0) records.push_back(block.substr(6));
      }
      cv.notify_all();
    }
    std::lock_guard lock(mutex);
    closed = true;
    cv.notify_all();
  }
};

EventStream::EventStream(uint16_t port) : impl_(std::make_unique<Impl>()) {
  impl_->fd = connect_loopback(port);
  if (impl_->fd < 0) {
    impl_->closed = true;
    ADD_FAILURE() << "cannot connect to the event stream on port " << port;
    return;
  }
  send_all(impl_->fd, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  impl_->reader = std::thread([this] { impl_->run(); });
}

EventStream::~EventStream() { close(); }

void EventStream::close() {
  if (impl_->fd >= 0) ::shutdown(impl_->fd, SHUT_RDWR);
  if (impl_->reader.joinable()) impl_->reader.join();
  if (impl_->fd >= 0) {
    ::close(impl_->fd);
    impl_->fd = -1;
  }
}

std::optional<std::string> EventStream::next(std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->cv.wait_for(lock, timeout, [&] { return !impl_->records.empty() || impl_->closed; })) return std::nullopt;
  if (impl_->records.empty()) return std::nullopt;
  std::string r = std::move(impl_->records.front());
  impl_->records.pop_front();
  return r;
}

std::optional<nlohmann::json> EventStream::wait_for(const std::function<bool(const nlohmann::json&)>& pred,
                                                    std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto rec = next(left);
    if (!rec) return std::nullopt;
    auto j = nlohmann::json::parse(*rec, nullptr, false);
    if (!j.is_discarded() && pred(j)) return j;
  }
}

bool EventStream::wait_log(const std::string& text, std::chrono::milliseconds timeout) {
  return wait_for([&](const nlohmann::json& j) { return j.value("type", "") == "log" && j.value("log", "") == text; },
                  timeout)
      .has_value();
}

std::vector<std::string> EventStream::drain() {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> out(impl_->records.begin(), impl_->records.end());
  impl_->records.clear();
  return out;
}

std::string EventStream::raw() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->raw;
}

}  // namespace chair::test

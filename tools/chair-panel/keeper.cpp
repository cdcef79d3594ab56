#include "tools/chair-panel/keeper.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "common/text.h"
#include "http/server.h"
#include "sys/sockets.h"

namespace chair::panel {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::string_view kListenPrefix = "LISTEN_URL=";
constexpr auto kGiveUpCheck = 100ms;

// The reply's status code and body, from everything the service sent before it closed.
bool reply_confirms(std::string_view reply, std::string& why) {
  const size_t end_of_head = reply.find("\r\n\r\n");
  if (reply.rfind("HTTP/1.1 200 ", 0) != 0 || end_of_head == std::string_view::npos) {
    why = reply.empty() ? "no reply" : "unexpected reply: " + std::string(reply.substr(0, reply.find('\r')));
    return false;
  }
  const std::string_view body = reply.substr(end_of_head + 4);
  try {
    const auto json = nlohmann::json::parse(body);
    if (json.is_object() && json.value("ok", false) == true) return true;
    // A shutdown the chair did not take: the service says which functions may still run.
    if (json.is_object() && json.contains("error") && json["error"].is_string()) {
      why = "the service says: " + json["error"].get<std::string>();
      return false;
    }
  } catch (const nlohmann::json::exception&) {
  }
  why = "unexpected reply: " + std::string(body.substr(0, 200));
  return false;
}

}  // namespace

std::optional<ServiceUrl> parse_service_url(std::string_view announced) {
  constexpr std::string_view kScheme = "http://";
  if (announced.rfind(kScheme, 0) != 0) return std::nullopt;
  std::string_view host_port = announced.substr(kScheme.size());
  if (!host_port.empty() && host_port.back() == '/') host_port.remove_suffix(1);
  const size_t colon = host_port.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view host = host_port.substr(0, colon);
  // The service listens on IPv4 loopback only, and that is where call_shutdown goes.
  if (host != "127.0.0.1") return std::nullopt;
  const std::string_view digits = host_port.substr(colon + 1);
  uint64_t port = 0;
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos ||
      !parse_u64(digits, port) || port == 0 || port > 65535) {
    return std::nullopt;
  }
  return ServiceUrl{"http://127.0.0.1:" + std::to_string(port), static_cast<uint16_t>(port)};
}

Status call_shutdown(uint16_t port, std::chrono::milliseconds timeout, const std::function<bool()>& give_up) {
  const auto deadline = Clock::now() + timeout;
  auto socket = sys::connect_loopback(port, timeout);
  if (!socket) return fail("cannot reach the service: " + socket.error());
  const std::string request = "GET /api/shutdown HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  if (!socket->write_all(request)) return fail("cannot send the request to the service");
  // The service answers only once the chair has taken every frame, and closes the connection.
  std::string reply;
  char buf[4096];
  for (;;) {
    if (give_up && give_up()) return fail("stopped waiting for the service's reply");
    const auto now = Clock::now();
    if (now >= deadline) return fail("no reply within " + std::to_string(timeout.count()) + " ms");
    const auto slice_end = std::min(deadline, now + kGiveUpCheck);
    auto got = socket->read_some(buf, sizeof buf, slice_end);
    if (!got) {
      // Only this slice ran out (the socket counts whole milliseconds, so it may end one early).
      if (Clock::now() + 1ms >= slice_end) continue;
      return fail("the reply broke off: " + got.error());
    }
    if (*got == 0) break;
    reply.append(buf, *got);
    if (reply.size() > 64 * 1024) break;  // more than any reply of the route
  }
  std::string why;
  if (!reply_confirms(reply, why)) return fail(why);
  return {};
}

ServiceKeeper::ServiceKeeper(std::string program, std::shared_ptr<ServiceAddress> address, Note note,
                             std::function<bool()> give_up, KeeperTimings timings)
    : program_(std::move(program)),
      address_(std::move(address)),
      note_(std::move(note)),
      give_up_(std::move(give_up)),
      timings_(timings) {}

// Without stop() the service is ended all the same; its own watch on us would quiet the chair
// only once we are gone.
ServiceKeeper::~ServiceKeeper() = default;

int ServiceKeeper::pid() const { return child_ ? child_->pid() : -1; }

Status ServiceKeeper::start_one(uint16_t port) {
  std::vector<std::string> args;
  if (port != 0) args = {"--port", std::to_string(port)};
  auto child = sys::Child::start(program_, args);
  if (!child) return child.take_error();
  auto line = (*child)->read_line(kListenPrefix, timings_.start_timeout, give_up_);
  if (!line) {
    const std::string how = (*child)->end(timings_.end_grace).text();
    switch (line.failure().why) {
      case sys::MissingLine::Why::kGaveUp: return fail("stopped while " + program_ + " was starting");
      case sys::MissingLine::Why::kTimedOut:
        return fail(program_ + " did not announce its address within " +
                    std::to_string(timings_.start_timeout.count()) + " ms (it " + how + ")");
      case sys::MissingLine::Why::kOutputEnded:
      case sys::MissingLine::Why::kReadFailed: break;
    }
    return fail(program_ + " " + how + " before announcing its address");
  }
  auto url = parse_service_url(*line);
  if (!url) {
    (*child)->end(timings_.end_grace);
    return fail(program_ + " announced an unusable address: " + std::string(kListenPrefix) + sanitize_utf8(*line));
  }
  child_ = std::move(*child);
  port_ = url->port;
  address_->set(url->base);
  pause_ = std::chrono::milliseconds(0);
  return {};
}

Status ServiceKeeper::start() { return start_one(0); }

void ServiceKeeper::check() {
  const auto now = Clock::now();
  if (child_) {
    auto ended = child_->poll_exit();
    if (!ended) return;
    child_.reset();
    note_("chair-service " + ended->text() + "; starting a new one");
    down_since_ = now;
    next_attempt_ = now;
  }
  if (now < next_attempt_) return;
  const bool same_port = now - down_since_ < timings_.same_port_for;
  const Status started = start_one(same_port ? port_ : 0);
  if (started) {
    note_("chair-service is back at " + address_->get());
    return;
  }
  // A refused port is expected for a moment after a crash; other failures are worth saying.
  if (!same_port) note_("could not start chair-service: " + started.error());
  pause_ = std::clamp(pause_ * 2, timings_.retry_pause, timings_.max_retry_pause);
  next_attempt_ = Clock::now() + pause_;
}

Status ServiceKeeper::stop() {
  if (!child_) return fail("no service was running to quiet the chair");
  if (auto ended = child_->poll_exit()) {
    child_.reset();
    return fail("chair-service " + ended->text() + " before it could quiet the chair");
  }
  const Status quiet = call_shutdown(port_, timings_.shutdown_timeout, give_up_);
  child_->end(timings_.end_grace);
  child_.reset();
  if (!quiet) return fail("the service did not confirm that the chair is quiet: " + quiet.error());
  return {};
}

}  // namespace chair::panel

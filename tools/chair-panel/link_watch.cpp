#include "tools/chair-panel/link_watch.h"

#include <chrono>

#include "common/text.h"
#include "sys/sockets.h"
#include "tools/chair-panel/keeper.h"

namespace chair::panel {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 2s;
constexpr auto kStopCheck = 200ms;
constexpr auto kRetryPause = 300ms;
// A record is a few hundred bytes; a line longer than this is no stream of the service's.
constexpr size_t kMaxLine = 1 << 20;

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string text_member(const nlohmann::json& record, const char* name) {
  const auto found = record.find(name);
  return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

// The link's own log lines name the address: "connecting ADDR ..." when a connection starts,
// "connected NAME (ADDR)" once its handshake is through. The "connected" status carries the
// name; the snapshot that opens a stream carries none and changes nothing here.
void LinkRecords::apply(const nlohmann::json& record) {
  if (!record.is_object()) return;
  const std::string type = text_member(record, "type");
  if (type == "status") {
    const std::string status = text_member(record, "status");
    const std::string name = text_member(record, "name");
    if (status == "idle") {
      *this = {};
    } else if (status == "connected" && !name.empty()) {
      const bool same = connected_ && connected_->name == name && pending_.empty();
      if (!same) connected_ = ConnectedChair{pending_, name};
      pending_.clear();
    }
    return;
  }
  if (type != "log") return;
  const std::string text = text_member(record, "log");
  const std::string_view line = trim_ascii(text);
  if (starts_with(line, "connecting ") && ends_with(line, " ...")) {
    pending_ = std::string(trim_ascii(line.substr(11, line.size() - 15)));
  } else if (starts_with(line, "connected ") && ends_with(line, ")")) {
    const size_t open = line.rfind(" (");
    if (open == std::string_view::npos || open < 10) return;
    connected_ = ConnectedChair{std::string(line.substr(open + 2, line.size() - open - 3)),
                                std::string(line.substr(10, open - 10))};
    pending_.clear();
  }
}

std::optional<ConnectedChair> LinkRecords::connected() const { return connected_; }

LinkWatch::LinkWatch(std::shared_ptr<const ServiceAddress> address) : address_(std::move(address)) {
  thread_ = std::thread([this] { run(); });
}

LinkWatch::~LinkWatch() {
  stopping_ = true;
  thread_.join();
}

std::optional<ConnectedChair> LinkWatch::connected() const {
  std::lock_guard lock(mutex_);
  return records_.connected();
}

void LinkWatch::run() {
  while (!stopping_) {
    const std::string url = address_->get();
    try {
      if (!url.empty()) follow(url);
    } catch (...) {
      // A stream we could not read says nothing; the next one is read afresh.
    }
    {
      std::lock_guard lock(mutex_);
      records_.reset();
    }
    for (auto slept = 0ms; slept < kRetryPause && !stopping_; slept += kStopCheck / 4)
      std::this_thread::sleep_for(kStopCheck / 4);
  }
}

void LinkWatch::follow(std::string_view service_url) {
  const auto url = parse_service_url(service_url);
  if (!url) return;
  auto socket = sys::connect_loopback(url->port, kConnectTimeout);
  if (!socket) return;
  const std::string request =
      "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(url->port) + "\r\nContent-Length: 0\r\n\r\n";
  if (!socket->write_all(request)) return;
  std::string pending;
  char buf[4096];
  while (!stopping_) {
    const auto slice_end = Clock::now() + kStopCheck;
    auto got = socket->read_some(buf, sizeof buf, slice_end);
    if (!got) {
      // Only the slice ran out (the socket counts whole milliseconds, so it may end one early).
      if (Clock::now() + 1ms >= slice_end) continue;
      return;
    }
    if (*got == 0) return;
    pending.append(buf, *got);
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string_view line(pending.data() + start, end - start);
      if (!starts_with(line, "data: ")) continue;
      const auto record = nlohmann::json::parse(line.substr(6), nullptr, false);
      std::lock_guard lock(mutex_);
      records_.apply(record);
    }
    pending.erase(0, start);
    if (pending.size() > kMaxLine) return;
  }
}

}  // namespace chair::panel

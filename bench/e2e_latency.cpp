// End-to-end latency and memory of the service on Linux, against the simulated Bluetooth daemon:
//   - command: from sending an HTTP command request to the chair receiving the write (the
//     simulator's WriteRecorded signal, time-stamped when it reaches this program);
//   - report: from the chair's notification on the bus (its PropertiesChanged of Value, seen by
//     this program as the service sees it) to the "chair" event on an event stream;
//   - resident memory of the service: idle, connected, and with 200 event streams open, the
//     report history filled to a full day (43,200 reports) through the chair's own answers;
//   - how long /api/history takes to serve that full day.
// Prints the figures and asserts nothing. Usage: e2e_latency [COMMANDS] [HISTORY] (defaults
// 1000 and 43200; HISTORY 0 leaves the history as the commands filled it).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/names.h"
#include "dbus_fixture.h"
#include "http_client.h"
#include "tools/chair-sim/control.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kChair = "C0:FF:EE:01:02:0A";
const std::string kCharPath =
    std::string(chair::ble::bluez::kSimAdapterPath) + "/dev_C0_FF_EE_01_02_0A/service000a/char000b";
constexpr size_t kStreams = 200;

using chair::test::connect_loopback;
using chair::test::send_all;

// One request per connection, as the service serves them; returns the body ("" on failure).
std::string http_get(uint16_t port, const std::string& target) {
  const int fd = connect_loopback(port);
  if (fd < 0) return {};
  send_all(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string raw;
  char buf[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t body = raw.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : raw.substr(body + 4);
}

// Time-stamped items handed from a receiving thread to the measuring loop.
template <class T>
class Inbox {
 public:
  void push(T item) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back({Clock::now(), std::move(item)});
    }
    cv_.notify_all();
  }
  // The first item (dropping those before it) that satisfies `pred`, with its arrival time.
  std::optional<std::pair<Clock::time_point, T>> take(const std::function<bool(const T&)>& pred,
                                                      std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      while (!items_.empty()) {
        auto front = std::move(items_.front());
        items_.pop_front();
        if (pred(front.second)) return front;
      }
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && items_.empty()) return std::nullopt;
    }
  }
  void clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::pair<Clock::time_point, T>> items_;
};

// An open event stream whose "chair" records (and, for waiting, logs and statuses) are collected.
class EventStream {
 public:
  EventStream(uint16_t port, Inbox<std::string>& records) : records_(records) {
    fd_ = connect_loopback(port);
    if (fd_ < 0) return;
    send_all(fd_, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    reader_ = std::thread([this] { run(); });
  }
  ~EventStream() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  void run() {
    char buf[16384];
    std::string pending;
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      size_t start;
      while ((start = pending.find("data: ")) != std::string::npos) {
        const size_t end = pending.find('\n', start);
        if (end == std::string::npos) break;
        records_.push(pending.substr(start + 6, end - start - 6));
        pending.erase(0, end + 1);
      }
    }
  }
  Inbox<std::string>& records_;
  int fd_ = -1;
  std::thread reader_;
};

// A stream that is only held open: reads and drops whatever comes.
class IdleStream {
 public:
  explicit IdleStream(uint16_t port) {
    fd_ = connect_loopback(port);
    if (fd_ >= 0) send_all(fd_, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  }
  ~IdleStream() {
    if (fd_ >= 0) ::close(fd_);
  }
  // True once the stream head and the state snapshot arrived.
  bool wait_snapshot(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string got;
    char buf[4096];
    while (got.find("data: ") == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return false;
      got.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

 private:
  int fd_ = -1;
};

long vm_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// CPU time the process has used, user and system, in milliseconds: what a request costs the
// service whatever else the machine is doing.
double cpu_ms(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end_of_name = text.rfind(')');
  if (end_of_name == std::string::npos) return 0;
  std::istringstream fields(text.substr(end_of_name + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  }
  return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long thread_count(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    (void)entry;
    ++n;
  }
  return n;
}

struct Figures {
  double median_ms = 0, p99_ms = 0, mean_ms = 0, max_ms = 0;
  size_t count = 0;
};

Figures summarise(std::vector<double> ms) {
  Figures f;
  f.count = ms.size();
  if (ms.empty()) return f;
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) {
    return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
  };
  f.median_ms = at(0.5);
  f.p99_ms = at(0.99);
  f.max_ms = ms.back();
  double sum = 0;
  for (double v : ms) sum += v;
  f.mean_ms = sum / static_cast<double>(ms.size());
  return f;
}

void print(const char* what, const Figures& f) {
  std::printf("%-44s n=%-5zu median %7.3f ms   p99 %7.3f ms   mean %7.3f ms   max %7.3f ms\n", what, f.count,
              f.median_ms, f.p99_ms, f.mean_ms, f.max_ms);
}

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

bool is_type(const std::string& record, const char* type) {
  return record.find(std::string("\"type\":\"") + type + "\"") != std::string::npos;
}

// Bytes that no chair frame contains (no 0x55 header), different for every i below 16384.
std::string unique_raw(unsigned i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "AB%02X%02X", 0x80 | ((i >> 7) & 0x7F), 0x80 | (i & 0x7F));
  return buf;
}
std::string spaced_hex(const std::string& compact) {
  std::string out;
  for (size_t i = 0; i < compact.size(); i += 2) {
    if (!out.empty()) out += ' ';
    out += compact.substr(i, 2);
  }
  return out;
}

int run(unsigned commands, unsigned history) {
  using chair::test::ChildProcess;
  using chair::test::PrivateBus;

  PrivateBus bus;
  ChildProcess sim({chair::test::chair_bin("chair-sim"), "--bus", bus.address(), "--chair",
                    std::string(kChair) + ",name=TAMRO-X1,paired"});
  if (!sim.wait_for_line("READY", 10s)) {
    std::fprintf(stderr, "e2e_latency: chair-sim did not start\n");
    return 1;
  }

  // What the chair receives, and what it notifies, as this program sees them on the bus.
  Inbox<std::string> writes;
  Inbox<bool> notifications;
  auto conn = sdbus::createSessionBusConnectionWithAddress(bus.address());
  auto control = sdbus::createProxy(*conn, chair::sim::kControlName, chair::sim::kControlPath);
  control->uponSignal(chair::sim::kWriteRecorded)
      .onInterface(chair::sim::kControlIface)
      .call([&writes](const std::string&, const std::string&, const std::string& hex) { writes.push(hex); });
  control->finishRegistration();
  namespace names = chair::ble::bluez;
  const std::string value_rule = std::string("type='signal',sender='") + names::kBluezService + "',interface='" +
                                 names::kPropertiesIface + "',member='" + names::kPropertiesChanged + "',path='" +
                                 kCharPath + "'";
  auto value_match = conn->addMatch(value_rule, [&notifications](sdbus::Message& m) {
    try {
      std::string iface;
      std::map<std::string, sdbus::Variant> changed;
      m >> iface >> changed;
      if (changed.count(names::kValue)) notifications.push(true);
    } catch (...) {
    }
  });
  conn->enterEventLoopAsync();

  char tmpl[] = "/tmp/chair-e2e-latency-XXXXXX";
  const std::string data_dir = mkdtemp(tmpl);
  ChildProcess service({chair::test::chair_bin("chair-service")},
                       {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}, {"TAMRO_DATA_DIR", data_dir}});
  const std::string listen =
      service.wait_for([](const std::string& l) { return l.rfind("LISTEN_URL=http://127.0.0.1:", 0) == 0; }, 10s);
  if (listen.empty()) {
    std::fprintf(stderr, "e2e_latency: chair-service did not start\n");
    return 1;
  }
  const uint16_t port = static_cast<uint16_t>(std::atoi(listen.c_str() + 28));
  std::this_thread::sleep_for(1s);  // start-up work (paired listing, supervisor's first pass) settles
  const long rss_start = vm_rss_kib(service.pid());

  Inbox<std::string> records;
  EventStream stream(port, records);
  if (!stream.ok() || !records.take([](const std::string& r) { return is_type(r, "status"); }, 5s)) {
    std::fprintf(stderr, "e2e_latency: no event stream\n");
    return 1;
  }
  // Only queries from the status poll while we measure: no thermal re-assertion.
  {
    const int fd = connect_loopback(port);
    const std::string body = R"({"water":"off","coolLevel":0,"heatLevel":0,"lumbar":0,"vibrate":0,"volume":0})";
    send_all(fd, "POST /api/bind/init HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body);
    char buf[512];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
  }
  http_get(port, std::string("/api/connect?addr=") + kChair);
  if (!records.take([](const std::string& r) { return r.find("\"status\":\"connected\"") != std::string::npos; },
                    15s) ||
      !records.take([](const std::string& r) { return r.find("TX: 55 07 0A 02 04 0B AA") != std::string::npos; }, 5s)) {
    std::fprintf(stderr, "e2e_latency: the chair did not connect\n");
    return 1;
  }
  std::this_thread::sleep_for(500ms);
  const long rss_connected = vm_rss_kib(service.pid());

  // Command latency: one request at a time, each with bytes of its own.
  std::vector<double> to_write, to_reply;
  writes.clear();
  const auto commands_started = Clock::now();
  for (unsigned i = 0; i < commands; ++i) {
    const std::string raw = unique_raw(i);
    const std::string want = spaced_hex(raw);
    const auto sent = Clock::now();
    const std::string reply = http_get(port, "/api/cmd/raw?hex=" + raw);
    const auto replied = Clock::now();
    auto got = writes.take([&](const std::string& hex) { return hex == want; }, 5s);
    if (!got || reply != R"({"ok":true})") {
      std::fprintf(stderr, "e2e_latency: command %u lost (reply %s)\n", i, reply.c_str());
      continue;
    }
    to_write.push_back(ms_between(sent, got->first));
    to_reply.push_back(ms_between(sent, replied));
  }
  const double commands_seconds = std::chrono::duration<double>(Clock::now() - commands_started).count();

  // Report latency: the i-th notification on the bus becomes the i-th "chair" event.
  // The chair answers on the thread that recorded the query, right after recording it: the
  // query's WriteRecorded is a second clock for the answer, less exposed to this program's own
  // delivery order on the bus than the notification itself.
  std::vector<double> to_event, write_to_event;
  notifications.clear();
  records.clear();
  writes.clear();
  const auto is_chair = [](const std::string& r) { return is_type(r, "chair"); };
  unsigned lost = 0;
  for (unsigned i = 0; i < commands; ++i) {
    http_get(port, "/api/cmd/query");
    auto query = writes.take([](const std::string& hex) { return hex == "55 01 0A 02 00 09 AA"; }, 5s);
    auto note = notifications.take([](bool) { return true; }, 5s);
    auto event = records.take(is_chair, 5s);
    if (!query || !note || !event) {
      ++lost;
      notifications.clear();
      records.clear();
      writes.clear();
      continue;
    }
    to_event.push_back(ms_between(note->first, event->first));
    write_to_event.push_back(ms_between(query->first, event->first));
  }

  // A full day of reports, filled by the chair answering queries as fast as they come.
  const auto fill_started = Clock::now();
  for (unsigned i = commands; i < history; ++i) {
    http_get(port, "/api/cmd/query");
    if (i % 1000 == 0) records.clear();
  }
  const double fill_seconds = std::chrono::duration<double>(Clock::now() - fill_started).count();
  std::this_thread::sleep_for(1s);
  records.clear();
  const long rss_history = vm_rss_kib(service.pid());
  std::vector<double> history_ms;
  size_t kept = 0, history_bytes = 0;
  const double cpu_before = cpu_ms(service.pid());
  for (int i = 0; i < 5; ++i) {
    const auto asked = Clock::now();
    const std::string body = http_get(port, "/api/history");
    history_ms.push_back(ms_between(asked, Clock::now()));
    history_bytes = body.size();
    kept = 0;
    for (size_t at = body.find("{\"chair\":"); at != std::string::npos; at = body.find("{\"chair\":", at + 1)) ++kept;
  }

  const double history_cpu_ms = (cpu_ms(service.pid()) - cpu_before) / 5;

  // Memory with many event streams open at once.
  std::vector<std::unique_ptr<IdleStream>> streams;
  size_t opened = 0;
  for (size_t i = 0; i < kStreams; ++i) {
    streams.push_back(std::make_unique<IdleStream>(port));
    if (streams.back()->wait_snapshot(5s)) ++opened;
  }
  std::this_thread::sleep_for(500ms);
  const long rss_streams = vm_rss_kib(service.pid());
  const long threads_streams = thread_count(service.pid());
  streams.clear();
  std::this_thread::sleep_for(1s);
  const long rss_after = vm_rss_kib(service.pid());

  std::printf("e2e latency, chair-service over the simulated Bluetooth daemon (private bus), %u commands\n", commands);
  print("HTTP command -> chair received the write", summarise(to_write));
  print("HTTP command -> HTTP reply", summarise(to_reply));
  std::printf("%-44s %.0f commands/s (one request at a time)\n", "command throughput", commands / commands_seconds);
  print("chair notification -> \"chair\" event on SSE", summarise(to_event));
  print("query recorded by chair -> \"chair\" event", summarise(write_to_event));
  if (lost) std::printf("reports without a pair: %u\n", lost);
  std::printf("VmRSS started, no chair                       %6ld KiB\n", rss_start);
  std::printf("VmRSS connected, 1 event stream               %6ld KiB\n", rss_connected);
  std::printf("VmRSS connected, %zu more event streams open   %6ld KiB (%zu had their snapshot; %ld threads)\n",
              kStreams, rss_streams, opened, threads_streams);
  std::printf("VmRSS after those streams closed              %6ld KiB\n", rss_after);
  std::printf("history filled with %u queries in %.1f s; VmRSS then %ld KiB\n",
              history > commands ? history - commands : 0, fill_seconds, rss_history);
  print("GET /api/history, whole reply received", summarise(history_ms));
  std::printf("%-44s %zu reports, %zu bytes, %.0f ms of the service's CPU time each\n", "history served", kept,
              history_bytes, history_cpu_ms);

  http_get(port, "/api/shutdown");
  conn->leaveEventLoop();
  std::error_code ignored;
  std::filesystem::remove_all(data_dir, ignored);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned commands = 1000;
  unsigned history = 43200;
  if (argc > 1) commands = static_cast<unsigned>(std::max(1, std::atoi(argv[1])));
  if (argc > 2) history = static_cast<unsigned>(std::max(0, std::atoi(argv[2])));
  try {
    return run(commands, history);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "e2e_latency: %s\n", e.what());
    return 1;
  }
}

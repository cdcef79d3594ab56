// Load and abuse run against a real chair-service on loopback, bounded in time and count.
//
//   load_abuse [SERVICE] [--seconds D] [--clients N] [--idle N] [--streams N] [--publish-rate R]
//              [--settle S]
//
// Starts SERVICE (default: chair-service next to this program) with a fresh TAMRO_DATA_DIR,
// and for D seconds (default 30) runs N client threads (default 512) that hammer
// /api/devices and /api/bind/get, one request per connection, while more connections
// misbehave: the idle ones (default 200) send nothing or one byte a second, and the event
// streams (default 50) read slowly or not at all. A publisher switches auto-connect off R
// times a second (default 10) so the streams carry events. The service's resident memory,
// thread count and open descriptors are sampled every second.
//
// Afterwards every connection is closed, the run waits up to S seconds (default 75) for the
// service's thread count to come back to its idle value, and asks it once more.
// Exit status: 0 when the service survived, kept answering and went back to idle; 1 when it
// crashed, went 10 s without any reply or refusal during the load, did not answer afterwards,
// or kept threads; 2 on a usage or start-up problem.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Without load a reply takes milliseconds; a client whose connection attempt is dropped
// from a full backlog retries after 1 and 3 more seconds, so a few seconds without any
// answer can still be ordinary queueing. Ten cannot.
constexpr std::chrono::seconds kLongestStall{10};

struct Options {
  std::string service;
  int seconds = 30;
  int clients = 512;
  int idle = 200;
  int streams = 50;
  int publish_rate = 10;
  int settle = 75;
};

std::optional<int> parse_count(const char* text) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 100000) return std::nullopt;
  return static_cast<int>(v);
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto number = [&](int& out) {
      if (i + 1 >= argc) return false;
      auto v = parse_count(argv[++i]);
      if (!v) return false;
      out = *v;
      return true;
    };
    bool ok = true;
    if (a == "--seconds")
      ok = number(o.seconds) && o.seconds > 0;
    else if (a == "--clients")
      ok = number(o.clients);
    else if (a == "--idle")
      ok = number(o.idle);
    else if (a == "--streams")
      ok = number(o.streams);
    else if (a == "--publish-rate")
      ok = number(o.publish_rate);
    else if (a == "--settle")
      ok = number(o.settle) && o.settle > 0;
    else if (!a.starts_with("-") && o.service.empty())
      o.service = a;
    else
      ok = false;
    if (!ok) return std::nullopt;
  }
  if (o.service.empty()) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    o.service = (self.parent_path() / "chair-service").string();
  }
  return o;
}

// ------------------------------------------------------------------------------------------
// The service process

struct Service {
  pid_t pid = -1;
  uint16_t port = 0;
  std::string data_dir;
  std::atomic<bool> exited{false};
  int exit_status = 0;
  std::mutex mutex;

  // True while the process runs; reaps it once it has gone.
  bool alive() {
    std::lock_guard lock(mutex);
    if (exited) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exit_status = status;
      exited = true;
      return false;
    }
    return true;
  }

  std::string how_it_ended() {
    std::lock_guard lock(mutex);
    if (WIFSIGNALED(exit_status)) return "killed by signal " + std::to_string(WTERMSIG(exit_status));
    return "exited with code " + std::to_string(WEXITSTATUS(exit_status));
  }
};

// Starts the service with its standard output on a pipe and reads the LISTEN_URL= line.
bool start_service(Service& svc, const std::string& path, rlim_t child_nofile) {
  char tmpl[] = "/tmp/load_abuse.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  svc.data_dir = tmpl;

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The service gets the descriptor limit it would get from its parent, not ours.
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = child_nofile;
    setrlimit(RLIMIT_NOFILE, &lim);
    dup2(out[1], STDOUT_FILENO);
    setenv("TAMRO_DATA_DIR", tmpl, 1);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  svc.pid = pid;

  std::string text;
  const auto deadline = Clock::now() + 30s;
  while (Clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      char buf[512];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
      size_t at = text.find("LISTEN_URL=http://127.0.0.1:");
      if (at != std::string::npos) {
        size_t end = text.find('\n', at);
        if (end != std::string::npos) {
          svc.port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 28));
          break;
        }
      }
    }
    if (!svc.alive()) break;
  }
  // The pipe stays open for the life of the service: a closed standard output must not be
  // what the run measures. Nothing more is expected on it.
  return svc.port != 0;
}

struct ProcStatus {
  long rss_kb = -1;
  long threads = -1;
  long fds = -1;
};

ProcStatus sample(pid_t pid) {
  ProcStatus s;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("VmRSS:")) s.rss_kb = std::atol(line.c_str() + 6);
    if (line.starts_with("Threads:")) s.threads = std::atol(line.c_str() + 8);
  }
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    s.fds = 0;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++s.fds;
    }
    closedir(d);
  }
  return s;
}

// ------------------------------------------------------------------------------------------
// Clients

int open_socket(std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

sockaddr_in service_address(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

enum class Outcome { Ok, Refused, BadReply, Timeout, ConnectFailed, NoClientPort };

struct Exchange {
  Outcome outcome;
  std::string body;
};

// One request on a fresh connection, read to the end. A connection closed before any byte
// of a reply is the service's refusal when it is at its connection limit.
Exchange request(uint16_t port, const std::string& target, std::chrono::milliseconds timeout = 10s) {
  int fd = open_socket(timeout);
  if (fd < 0) return {Outcome::NoClientPort, {}};
  const sockaddr_in addr = service_address(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    if (err == EADDRNOTAVAIL) return {Outcome::NoClientPort, {}};
    return {Outcome::ConnectFailed, {}};
  }
  const std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
    int err = errno;
    close(fd);
    return {err == EAGAIN ? Outcome::Timeout : Outcome::Refused, {}};
  }
  std::string reply;
  char buf[4096];
  Outcome failure = Outcome::Ok;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      reply.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      failure = Outcome::Timeout;
    else if (n < 0 && reply.empty())
      failure = Outcome::Refused;
    else if (n < 0)
      failure = Outcome::BadReply;
    break;
  }
  close(fd);
  if (failure != Outcome::Ok) return {failure, {}};
  if (reply.empty()) return {Outcome::Refused, {}};

  size_t head_end = reply.find("\r\n\r\n");
  size_t cl = reply.find("Content-Length: ");
  if (!reply.starts_with("HTTP/1.1 200 OK\r\n") || head_end == std::string::npos || cl == std::string::npos ||
      cl > head_end) {
    return {Outcome::BadReply, {}};
  }
  std::string body = reply.substr(head_end + 4);
  if (std::strtoul(reply.c_str() + cl + 16, nullptr, 10) != body.size()) return {Outcome::BadReply, {}};
  return {Outcome::Ok, std::move(body)};
}

struct HammerTotals {
  std::atomic<long> ok{0}, refused{0}, bad_reply{0}, timeout{0}, connect_failed{0}, no_client_port{0};
  std::mutex mutex;
  std::vector<uint32_t> latencies_us;

  void count(Outcome o) {
    switch (o) {
      case Outcome::Ok: ++ok; break;
      case Outcome::Refused: ++refused; break;
      case Outcome::BadReply: ++bad_reply; break;
      case Outcome::Timeout: ++timeout; break;
      case Outcome::ConnectFailed: ++connect_failed; break;
      case Outcome::NoClientPort: ++no_client_port; break;
    }
  }
};

bool body_fits(const std::string& target, const std::string& body) {
  if (target == "/api/devices") return body.starts_with("[") && body.ends_with("]");
  return body.starts_with("{") && body.ends_with("}");
}

void hammer(uint16_t port, int index, Clock::time_point end, HammerTotals& totals) {
  const std::string targets[] = {"/api/devices", "/api/bind/get"};
  std::vector<uint32_t> latencies;
  for (long n = index; Clock::now() < end; ++n) {
    const std::string& target = targets[n % 2];
    const auto start = Clock::now();
    Exchange e = request(port, target);
    if (e.outcome == Outcome::Ok && !body_fits(target, e.body)) e.outcome = Outcome::BadReply;
    totals.count(e.outcome);
    if (e.outcome == Outcome::Ok) {
      latencies.push_back(
          static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
    } else if (e.outcome == Outcome::Refused || e.outcome == Outcome::NoClientPort) {
      std::this_thread::sleep_for(5ms);  // a refusal is instant; do not spin on it
    }
  }
  std::lock_guard lock(totals.mutex);
  totals.latencies_us.insert(totals.latencies_us.end(), latencies.begin(), latencies.end());
}

// Connections that send nothing (even slots) or the bytes of a request one a second (odd
// slots), reopened whenever the service closes them.
struct IdleTotals {
  long opened = 0, refused_at_once = 0, dropped = 0, answered = 0;
  double longest_silent_s = 0, longest_trickle_s = 0;
};

void idle_connections(uint16_t port, int count, Clock::time_point end, IdleTotals& totals) {
  static const std::string trickle =
      "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: one-byte-a-second-for-longer-than-allowed\r\n\r\n";
  struct Slot {
    int fd = -1;
    bool connecting = false;
    Clock::time_point opened, last_byte, retry_at;
    size_t sent = 0;
  };
  std::vector<Slot> slots(static_cast<size_t>(count));
  const sockaddr_in addr = service_address(port);

  auto open_slot = [&](Slot& s) {
    s.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.fd < 0) return;
    s.sent = 0;
    s.opened = s.last_byte = Clock::now();
    s.connecting = connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0;
    if (s.connecting && errno != EINPROGRESS) {
      close(s.fd);
      s.fd = -1;
    }
  };
  auto close_slot = [&](Slot& s, size_t index, bool by_service) {
    if (by_service) {
      double life = std::chrono::duration<double>(Clock::now() - s.opened).count();
      if (life < 1.0) {
        ++totals.refused_at_once;
        s.retry_at = Clock::now() + 200ms;  // the service is full; no need to spin on it
      } else {
        ++totals.dropped;
      }
      double& longest = index % 2 ? totals.longest_trickle_s : totals.longest_silent_s;
      longest = std::max(longest, life);
    }
    close(s.fd);
    s.fd = -1;
  };

  std::vector<pollfd> fds(slots.size());
  while (Clock::now() < end) {
    for (size_t i = 0; i < slots.size(); ++i) {
      Slot& s = slots[i];
      if (s.fd < 0 && Clock::now() >= s.retry_at) open_slot(s);
      fds[i] = {s.fd, static_cast<short>(s.connecting ? POLLOUT : POLLIN), 0};
    }
    poll(fds.data(), fds.size(), 100);
    const auto now = Clock::now();
    for (size_t i = 0; i < slots.size(); ++i) {
      Slot& s = slots[i];
      if (s.fd < 0) continue;
      if (s.connecting) {
        if (!(fds[i].revents & (POLLOUT | POLLERR | POLLHUP))) continue;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
          close_slot(s, i, false);
          continue;
        }
        s.connecting = false;
        ++totals.opened;
        s.opened = s.last_byte = now;
        continue;
      }
      if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
        char buf[512];
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n > 0) ++totals.answered;  // a half-sent request must never be answered
        close_slot(s, i, true);
        continue;
      }
      if (i % 2 == 1 && now - s.last_byte >= 1s && s.sent < trickle.size()) {
        if (send(s.fd, trickle.data() + s.sent, 1, MSG_NOSIGNAL) == 1) ++s.sent;
        s.last_byte = now;
      }
    }
  }
  for (auto& s : slots) {
    if (s.fd >= 0) close(s.fd);
  }
}

// Event streams: even ones read a little every second, odd ones never read.
struct StreamTotals {
  std::atomic<long> opened{0}, refused{0}, ended_by_service{0};
  std::atomic<long long> bytes_read{0};
};

void event_stream(uint16_t port, int index, Clock::time_point end, StreamTotals& totals) {
  const bool reads = index % 2 == 0;
  while (Clock::now() < end) {
    int fd = open_socket(2s);
    if (fd < 0) return;
    const sockaddr_in addr = service_address(port);
    const std::string req = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
      close(fd);
      std::this_thread::sleep_for(200ms);
      continue;
    }
    // The head arrives at once on an accepted stream; nothing at all on a refused one.
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ++totals.refused;
      close(fd);
      std::this_thread::sleep_for(200ms);
      continue;
    }
    ++totals.opened;
    totals.bytes_read += n;
    bool ended = false;
    while (Clock::now() < end && !ended) {
      std::this_thread::sleep_for(1s);
      if (!reads) continue;
      n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) totals.bytes_read += n;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) ended = true;
    }
    if (ended) ++totals.ended_by_service;
    close(fd);
    if (ended) continue;
    return;
  }
}

void publisher(uint16_t port, int rate, Clock::time_point end, std::atomic<long>& published) {
  if (rate <= 0) return;
  const auto step = std::chrono::microseconds(1'000'000 / rate);
  for (auto next = Clock::now(); next < end; next += step) {
    std::this_thread::sleep_until(next);
    if (request(port, "/api/bind/autoconnect?on=0").outcome == Outcome::Ok) ++published;
  }
}

// The service answers both hammered routes within a few seconds.
bool answers(uint16_t port) {
  for (const std::string target : {"/api/devices", "/api/bind/get"}) {
    Exchange e = request(port, target, 5s);
    if (e.outcome != Outcome::Ok || !body_fits(target, e.body)) return false;
  }
  return true;
}

long settled_threads(pid_t pid, Clock::duration within) {
  // The lowest count seen over a quiet second: a passing request thread is not the idle value.
  long lowest = -1;
  const auto until = Clock::now() + within;
  while (Clock::now() < until) {
    long t = sample(pid).threads;
    if (t >= 0 && (lowest < 0 || t < lowest)) lowest = t;
    std::this_thread::sleep_for(100ms);
  }
  return lowest;
}

uint32_t percentile(std::vector<uint32_t>& v, double p) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = parse_options(argc, argv);
  if (!parsed) {
    std::fprintf(stderr,
                 "usage: %s [SERVICE] [--seconds D] [--clients N] [--idle N] [--streams N] "
                 "[--publish-rate R] [--settle S]\n",
                 argv[0]);
    return 2;
  }
  const Options o = *parsed;
  signal(SIGPIPE, SIG_IGN);

  // This side needs a descriptor per connection; the service keeps the limit it would get.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  const rlim_t service_nofile = lim.rlim_cur;
  const rlim_t needed = static_cast<rlim_t>(o.clients + o.idle + o.streams + 64);
  if (lim.rlim_cur < needed) {
    lim.rlim_cur = std::min(lim.rlim_max, needed);
    setrlimit(RLIMIT_NOFILE, &lim);
  }

  Service svc;
  if (!start_service(svc, o.service, service_nofile)) {
    std::fprintf(stderr, "could not start %s (no LISTEN_URL= line)\n", o.service.c_str());
    if (svc.pid > 0) kill(svc.pid, SIGKILL);
    return 2;
  }
  const uint16_t port = svc.port;
  if (!answers(port)) {
    std::fprintf(stderr, "the service does not answer before the load starts\n");
    kill(svc.pid, SIGKILL);
    return 2;
  }
  const long idle_before = settled_threads(svc.pid, 2s);
  const ProcStatus before = sample(svc.pid);
  std::printf("service pid %d on port %u, data in %s; %d s with %d clients, %d idle, %d streams\n", svc.pid, port,
              svc.data_dir.c_str(), o.seconds, o.clients, o.idle, o.streams);
  std::printf("idle: %ld threads, RSS %ld kB, %ld descriptors (limit %llu)\n", idle_before, before.rss_kb, before.fds,
              static_cast<unsigned long long>(service_nofile));
  std::fflush(stdout);

  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(o.seconds);
  HammerTotals hammer_totals;
  IdleTotals idle_totals;
  StreamTotals stream_totals;
  std::atomic<long> published{0};

  // The misbehaving connections take their places first, then the load comes.
  std::vector<std::thread> threads;
  threads.emplace_back(idle_connections, port, o.idle, end, std::ref(idle_totals));
  for (int i = 0; i < o.streams; ++i) threads.emplace_back(event_stream, port, i, end, std::ref(stream_totals));
  std::this_thread::sleep_for(500ms);
  threads.emplace_back(publisher, port, o.publish_rate, end, std::ref(published));
  for (int i = 0; i < o.clients; ++i) threads.emplace_back(hammer, port, i, end, std::ref(hammer_totals));

  ProcStatus peak = before;
  bool crashed = false;
  // Refusing at the connection limit is fine; a stretch with no reply and no refusal at all
  // means new clients hang in the backlog: the service has stopped answering.
  long last_progress = 0;
  auto progress_at = Clock::now();
  double longest_stall_s = 0;
  while (Clock::now() < end) {
    std::this_thread::sleep_for(1s);
    if (!svc.alive()) {
      crashed = true;
      break;
    }
    const long progress = hammer_totals.ok + hammer_totals.refused;
    if (progress != last_progress || o.clients == 0) {
      last_progress = progress;
      progress_at = Clock::now();
    }
    longest_stall_s = std::max(longest_stall_s, std::chrono::duration<double>(Clock::now() - progress_at).count());
    ProcStatus s = sample(svc.pid);
    peak.rss_kb = std::max(peak.rss_kb, s.rss_kb);
    peak.threads = std::max(peak.threads, s.threads);
    peak.fds = std::max(peak.fds, s.fds);
    long t = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
    std::printf("  t=%2lds  RSS %6ld kB  threads %4ld  fds %4ld  ok %ld  refused %ld\n", t, s.rss_kb, s.threads, s.fds,
                hammer_totals.ok.load(), hammer_totals.refused.load());
    std::fflush(stdout);
  }
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  // Idle again: every client is gone. A stream learns of its closed client on its next
  // write, at the latest at the next keep-alive.
  long idle_after = -1;
  double settle_s = 0;
  bool still_answers = false;
  if (!crashed) {
    const auto wait_start = Clock::now();
    const auto deadline = wait_start + std::chrono::seconds(o.settle);
    while (Clock::now() < deadline && svc.alive()) {
      idle_after = settled_threads(svc.pid, 1s);
      if (idle_after <= idle_before) break;
    }
    settle_s = std::chrono::duration<double>(Clock::now() - wait_start).count();
    crashed = !svc.alive();
    if (!crashed) still_answers = answers(port);
  }
  const ProcStatus after = crashed ? ProcStatus{} : sample(svc.pid);

  auto& lat = hammer_totals.latencies_us;
  const uint32_t p50 = percentile(lat, 0.50), p99 = percentile(lat, 0.99), pmax = percentile(lat, 1.0);
  std::printf("\nhammer: %ld replies in %.1f s = %.0f req/s; latency p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              hammer_totals.ok.load(), elapsed, static_cast<double>(hammer_totals.ok.load()) / elapsed, p50 / 1000.0,
              p99 / 1000.0, pmax / 1000.0);
  std::printf(
      "  refused (closed without reply) %ld, bad replies %ld, timeouts %ld, connect failures %ld, "
      "no client port %ld\n",
      hammer_totals.refused.load(), hammer_totals.bad_reply.load(), hammer_totals.timeout.load(),
      hammer_totals.connect_failed.load(), hammer_totals.no_client_port.load());
  std::printf(
      "idle connections: %ld opened, %ld refused at once, %ld dropped later (longest: silent %.1f s, "
      "one byte a second %.1f s), %ld answered\n",
      idle_totals.opened, idle_totals.refused_at_once, idle_totals.dropped, idle_totals.longest_silent_s,
      idle_totals.longest_trickle_s, idle_totals.answered);
  std::printf(
      "event streams: %ld opened, %ld refused, %ld ended by the service, %lld bytes read; %ld events "
      "published\n",
      stream_totals.opened.load(), stream_totals.refused.load(), stream_totals.ended_by_service.load(),
      stream_totals.bytes_read.load(), published.load());
  std::printf("service: peak RSS %ld kB (idle %ld kB, after %ld kB), peak threads %ld, peak descriptors %ld\n",
              peak.rss_kb, before.rss_kb, after.rss_kb, peak.threads, peak.fds);
  std::printf("idle threads: before %ld, after %ld (waited %.1f s of %d s)\n", idle_before, idle_after, settle_s,
              o.settle);
  std::printf("longest stretch without any reply or refusal: %.1f s\n", longest_stall_s);

  int status = 0;
  if (crashed) {
    std::printf("FAIL: the service %s\n", svc.how_it_ended().c_str());
    status = 1;
  } else {
    if (idle_after > idle_before) {
      std::printf("FAIL: %ld threads did not return within %d s\n", idle_after - idle_before, o.settle);
      status = 1;
    }
    if (!still_answers) {
      std::printf("FAIL: the service stopped answering\n");
      status = 1;
    }
    if (longest_stall_s >= kLongestStall.count()) {
      std::printf("FAIL: no reply and no refusal for %.0f s during the load\n", longest_stall_s);
      status = 1;
    }
    if (idle_totals.answered > 0) std::printf("note: a half-sent request was answered\n");
    kill(svc.pid, SIGTERM);
    for (int i = 0; i < 50 && svc.alive(); ++i) std::this_thread::sleep_for(100ms);
    if (svc.alive()) kill(svc.pid, SIGKILL);
    waitpid(svc.pid, nullptr, 0);
  }
  if (status == 0) std::printf("PASS\n");
  std::error_code ec;
  std::filesystem::remove_all(svc.data_dir, ec);
  return status;
}

#include "main/service.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "main/http.h"
#include "main/parent_watchdog.h"
#include "sys/sockets.h"
#include "sys/thread.h"
#include "bind/autoconnect.h"
#include "bind/binding_store.h"
#include "pnp/paired_names.h"

namespace chair {

namespace {

constexpr int kBacklog = 128;
// Connections served at once; the next one is closed without a reply.
constexpr int kMaxConnections = 512;

std::atomic<int> g_active_connections{0};

std::optional<std::string> find_option(const std::vector<std::string>& args, const std::string& name) {
  const std::string joined = name + "=";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 < args.size()) return args[i + 1];
      return std::nullopt;
    }
    if (args[i].rfind(joined, 0) == 0) return args[i].substr(joined.size());
  }
  return std::nullopt;
}

// Every served connection holds two descriptors (the socket and its read handle), so the
// connection limit alone needs more than 1024. With the usual soft limit of 1024 the
// descriptors ran out first: accept failed, and new clients hung in the backlog instead of
// being turned away, while the binding could no longer be saved. The hard limit allows more.
void raise_descriptor_limit() {
#ifndef _WIN32
  constexpr rlim_t kWanted = 4096;
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= kWanted) return;
  lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? kWanted : std::min(lim.rlim_max, kWanted);
  (void)setrlimit(RLIMIT_NOFILE, &lim);
#endif
}

StatePtr create_state(ble::PlatformPtr platform, const Timings& timings) {
  auto state = std::make_shared<ServiceState>(std::move(platform));
  state->timings = timings;
  return state;
}

void start_workers(const StatePtr& state, bool listing, bool supervisor) {
  if (listing) pnp::start_paired_listing(state);
  bind::load_binding(*state);
  if (supervisor) bind::start_autoconnect_supervisor(state);
}

void accept_loop(const StatePtr& state, sys::Listener& listener) {
  for (;;) {
    auto accepted = listener.accept();
    if (!accepted) {
      // A failed accept (for example no descriptor left) is skipped; pause a moment so a
      // persistent failure does not spin the processor.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (g_active_connections.fetch_add(1) >= kMaxConnections) {
      g_active_connections.fetch_sub(1);
      continue;  // the socket closes here, without a reply
    }
    auto socket = std::make_shared<sys::Socket>(std::move(*accepted));
    bool started = sys::spawn_detached([state, socket] {
      serve_connection(state, std::move(*socket));
      g_active_connections.fetch_sub(1);
    });
    if (!started) g_active_connections.fetch_sub(1);  // no thread: the connection is dropped
  }
}

}  // namespace

bool parse_port_value(std::string_view text, uint16_t& port) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.size() > 5) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

uint16_t find_port_option(const std::vector<std::string>& args) {
  auto value = find_option(args, "-port");
  if (!value) value = find_option(args, "--port");
  uint16_t port = 0;
  if (value && parse_port_value(*value, port)) return port;
  return 0;
}

int run_service(const std::vector<std::string>& args, ble::PlatformPtr platform) {
  sys::init_sockets();
  raise_descriptor_limit();
  if (platform) platform->init_thread();
  uint16_t port = find_port_option(args);
  StatePtr state = create_state(std::move(platform), Timings{});
  start_workers(state, true, true);

  auto listener = sys::Listener::bind_loopback(port, kBacklog);
  if (!listener) {
    std::fflush(stdout);
    std::fprintf(stderr, "监听失败: %s\n", listener.error().c_str());
    std::fflush(stderr);
    return 1;
  }
  if (uint16_t bound = listener->local_port()) port = bound;
  start_parent_watchdog(state);
  std::printf("[*] 服务监听: http://127.0.0.1:%u\nLISTEN_URL=http://127.0.0.1:%u\n[*] 后端就绪，UI 由主程序接管\n",
              port, port);
  std::fflush(stdout);
  accept_loop(state, *listener);
  return 0;
}

Result<InProcessService> start_in_process(ble::PlatformPtr platform, InProcessOptions options) {
  sys::init_sockets();
  StatePtr state = create_state(std::move(platform), options.timings);
  start_workers(state, options.start_listing, options.start_supervisor);
  auto listener = sys::Listener::bind_loopback(0, kBacklog);
  if (!listener) return listener.take_error();
  InProcessService svc{state, listener->local_port()};
  auto shared = std::make_shared<sys::Listener>(std::move(*listener));
  std::thread([state, shared] { accept_loop(state, *shared); }).detach();
  return svc;
}

}  // namespace chair

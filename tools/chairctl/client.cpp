#include "tools/chairctl/client.h"

#include <signal.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/text.h"
#include "tools/chairctl/curl_common.h"

namespace chairctl {

namespace {

// Larger bodies are dropped by the service without a reply; saying so here is kinder.
constexpr size_t kMaxBody = 1024 * 1024;
constexpr std::chrono::milliseconds kConnectTimeout{5000};

std::atomic<bool> g_interrupted{false};

void on_interrupt(int) { g_interrupted.store(true); }

// Lets Ctrl-C end a request that is still waiting for its answer.
int abort_when_interrupted(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return g_interrupted.load() ? 1 : 0;
}

struct BodyBuffer {
  std::string& text;
  size_t limit;
  bool too_large = false;
};

size_t append_body(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<BodyBuffer*>(user);
  // A short count ends the transfer: a reply past the bound is not read any further.
  if (body->text.size() + size * count > body->limit) {
    body->too_large = true;
    return 0;
  }
  body->text.append(data, size * count);
  return size * count;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

void ensure_curl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void configure_transfer(CURL* easy, const std::string& url, std::chrono::milliseconds timeout, char* error_buffer) {
  error_buffer[0] = '\0';
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  // The service is always on this machine: a proxy from the environment would only
  // carry the request somewhere else.
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // The service closes the connection after every reply; a kept connection is useless.
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
  auto connect = timeout.count() > 0 ? std::min(timeout, kConnectTimeout) : kConnectTimeout;
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, abort_when_interrupted);
}

Failure transfer_failure(CURL* easy, CURLcode code, const std::string& url, const char* error_buffer) {
  if (code == CURLE_ABORTED_BY_CALLBACK) return Failure{kExitInterrupted, "interrupted"};
  Failure failure{kExitUnreachable, unreachable_text(easy, code, url, error_buffer)};
  failure.timed_out = code == CURLE_OPERATION_TIMEDOUT;
  return failure;
}

std::string unreachable_text(CURL* easy, CURLcode code, const std::string& url, const char* error_buffer) {
  long os_errno = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_errno);
  std::string detail = error_buffer && *error_buffer ? error_buffer : curl_easy_strerror(code);
  std::string text = "cannot reach the service at " + url + ": ";
  if (os_errno != 0) {
    text += std::strerror(static_cast<int>(os_errno));
    text += " (" + detail + ")";
  } else {
    text += detail;
  }
  return text;
}

Failure too_much_from(const std::string& url, size_t limit) {
  return Failure{kExitService, "the service at " + url + " sent more than " + std::to_string(limit / (1024 * 1024)) +
                                   " MiB in one piece; no reply or event of the service is that large, so "
                                   "chairctl stopped reading"};
}

Result<std::string, Failure> normalize_base_url(std::string url) {
  std::string_view trimmed = chair::trim_ascii(url);
  url = std::string(trimmed);
  if (chair::to_lower_ascii(url.substr(0, 7)) != "http://" || url.size() == 7) {
    return Failure{kExitUsage, "the service URL must look like http://127.0.0.1:PORT, not \"" + url + "\""};
  }
  while (url.size() > 7 && url.back() == '/') url.pop_back();
  return url;
}

ServiceClient::ServiceClient(std::string base_url, std::chrono::milliseconds timeout)
    : base_(std::move(base_url)), timeout_(timeout) {
  ensure_curl();
}

std::string ServiceClient::target(const std::string& path, const std::vector<Param>& params) const {
  std::string out = path;
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  char sep = '?';
  for (const auto& [key, value] : params) {
    out += sep;
    sep = '&';
    for (const std::string* part : {&key, &value}) {
      char* escaped = easy ? curl_easy_escape(easy.get(), part->data(), static_cast<int>(part->size())) : nullptr;
      if (escaped) {
        out += escaped;
        curl_free(escaped);
      }
      if (part == &key) out += '=';
    }
  }
  return out;
}

Result<HttpReply, Failure> ServiceClient::request(const std::string& path, const std::vector<Param>& params,
                                                  const std::optional<std::string>& body) const {
  const std::string url = base_ + target(path, params);
  if (body && body->size() > kMaxBody) {
    return Failure{kExitService,
                   "the request body is " + std::to_string(body->size()) + " bytes; the service accepts at most 1 MiB"};
  }
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return Failure{kExitUnreachable, "cannot set up an HTTP transfer"};
  char error_buffer[CURL_ERROR_SIZE];
  configure_transfer(easy.get(), url, timeout_, error_buffer);

  HttpReply reply;
  BodyBuffer buffer{reply.body, max_received_};
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &buffer);
  std::unique_ptr<curl_slist, ListDeleter> headers;
  if (body) {
    curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
    // The service never answers "100 Continue"; waiting for it would only add a second.
    list = curl_slist_append(list, "Expect:");
    headers.reset(list);
    curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  }

  const CURLcode code = curl_easy_perform(easy.get());
  if (buffer.too_large) return too_much_from(url, max_received_);
  if (code != CURLE_OK) return transfer_failure(easy.get(), code, url, error_buffer);
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

Result<nlohmann::json, Failure> interpret_reply(const std::string& url, const HttpReply& reply) {
  if (reply.status == 403) {
    return Failure{kExitService, "the service at " + url +
                                     " refused the request (403): it serves only requests addressed to "
                                     "127.0.0.1, localhost or [::1]"};
  }
  if (reply.status == 404) {
    return Failure{kExitService, "the service does not know " + url + " (404)"};
  }
  if (reply.status != 200) {
    return Failure{kExitService, "unexpected HTTP status " + std::to_string(reply.status) + " from " + url};
  }
  nlohmann::json value = nlohmann::json::parse(reply.body, nullptr, false);
  if (value.is_discarded()) {
    return Failure{kExitService, "the reply from " + url + " is not JSON: " + reply.body.substr(0, 200)};
  }
  if (value.is_object()) {
    auto ok = value.find("ok");
    if (ok != value.end() && ok->is_boolean() && !ok->get<bool>()) {
      auto error = value.find("error");
      std::string text = error != value.end() && error->is_string() ? error->get<std::string>() : value.dump();
      return Failure{kExitService, text, true};
    }
  }
  return value;
}

Result<nlohmann::json, Failure> ServiceClient::call(const std::string& path, const std::vector<Param>& params,
                                                    const std::optional<std::string>& body,
                                                    std::string* raw_body) const {
  auto reply = request(path, params, body);
  if (!reply) return reply.failure();
  if (raw_body) *raw_body = reply->body;
  return interpret_reply(base_ + path, *reply);
}

void install_interrupt_handlers() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away (chairctl watch | head) is noticed as a failed write instead.
  signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return g_interrupted.load(); }
void set_interrupted(bool on) { g_interrupted.store(on); }

}  // namespace chairctl

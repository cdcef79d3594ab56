#include "tools/chair-panel/site.h"

#include <nlohmann/json.hpp>

#include "tools/chair-panel/pages.h"

namespace chair::panel {

namespace {

constexpr std::string_view kJsonType = "application/json; charset=utf-8";

struct HttpStatus {
  int code;
  std::string_view reason;
};
constexpr HttpStatus kOk{200, "OK"};
constexpr HttpStatus kForbidden{403, "Forbidden"};
constexpr HttpStatus kNotFound{404, "Not Found"};
constexpr HttpStatus kMethodNotAllowed{405, "Method Not Allowed"};

// Without a length for a stream, which ends when the connection does.
std::string head(HttpStatus status, std::string_view type, std::optional<size_t> length,
                 const std::string& service_url) {
  std::string bytes = "HTTP/1.1 " + std::to_string(status.code) + " " + std::string(status.reason) + "\r\n";
  bytes += "Content-Type: ";
  bytes += type;
  if (length) bytes += "\r\nContent-Length: " + std::to_string(*length);
  bytes += "\r\nConnection: close\r\nContent-Security-Policy: " + content_security_policy(service_url);
  // The page is rebuilt with the program and the service's URL changes with every start:
  // nothing is worth keeping.
  bytes += "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\nCache-Control: no-store\r\n";
  if (status.code == kMethodNotAllowed.code) bytes += "Allow: GET, HEAD\r\n";
  bytes += "\r\n";
  return bytes;
}

http::Reply reply(HttpStatus status, std::string_view type, std::string_view body, bool head_only,
                  const std::string& service_url) {
  std::string bytes = head(status, type, body.size(), service_url);
  // Head and body leave in one send, as the service's own replies do.
  if (!head_only) bytes += body;
  return http::Reply::raw(std::move(bytes));
}

bool from_here(const http::Request& request) {
  for (const std::string& host : request.hosts) {
    if (!http::is_loopback_host(host)) return false;
  }
  return true;
}

}  // namespace

void ServiceAddress::set(std::string url) {
  std::lock_guard lock(mutex_);
  url_ = std::move(url);
}

std::string ServiceAddress::get() const {
  std::lock_guard lock(mutex_);
  return url_;
}

std::string content_security_policy(std::string_view service_url) {
  std::string policy = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'";
  if (!service_url.empty()) {
    policy += ' ';
    policy += service_url;
  }
  policy += "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
  return policy;
}

std::string_view content_type(std::string_view path) {
  struct Type {
    std::string_view extension, type;
  };
  static constexpr Type kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".json", kJsonType},
      {".txt", "text/plain; charset=utf-8"},
      {".png", "image/png"},
  };
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
    const std::string_view extension = path.substr(dot);
    for (const Type& t : kTypes) {
      if (t.extension == extension) return t.type;
    }
  }
  return "application/octet-stream";
}

http::Reply answer(const http::Request& request, std::span<const WebFile> files, const std::string& service_url,
                   const std::optional<ConnectedChair>& connected) {
  if (!from_here(request)) return reply(kForbidden, "text/plain; charset=utf-8", "forbidden\n", false, service_url);
  const bool head_only = request.method == "HEAD";
  if (request.method != "GET" && !head_only)
    return reply(kMethodNotAllowed, "text/plain; charset=utf-8", "", false, service_url);
  if (request.path == "/config.json") {
    nlohmann::json config{{"serviceUrl", service_url}, {"link", nullptr}};
    if (connected) config["link"] = {{"address", connected->address}, {"name", connected->name}};
    return reply(kOk, kJsonType, http::json_text(config), head_only, service_url);
  }
  // The path is matched as sent, never decoded or resolved: only the files we carry exist.
  const std::string_view path = request.path == "/" ? std::string_view("/index.html") : std::string_view(request.path);
  for (const WebFile& file : files) {
    if (file.path == path) return reply(kOk, content_type(path), file.body, head_only, service_url);
  }
  return reply(kNotFound, "text/plain; charset=utf-8", "not found\n", head_only, service_url);
}

http::PreRouting site_handler(Site site) {
  return [site = std::move(site)](const http::Request& request) -> std::optional<http::Reply> {
    const std::string service_url = site.address->get();
    if (site.pages && request.path == "/presence" && request.method == "GET" && from_here(request))
      return site.pages->stream(head(kOk, "text/event-stream", std::nullopt, service_url));
    return answer(request, site.files, service_url, site.connected ? site.connected() : std::nullopt);
  };
}

}  // namespace chair::panel

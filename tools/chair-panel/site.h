// What the panel's own port answers: the page's files, /config.json naming the service, and a
// policy on every reply that lets the page reach nothing but itself and the service.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "http/server.h"
#include "tools/chair-panel/web_files.h"

namespace chair::panel {

// The service's base URL, "http://127.0.0.1:PORT"; a new service may take another port.
class ServiceAddress {
 public:
  void set(std::string url);
  std::string get() const;

 private:
  mutable std::mutex mutex_;
  std::string url_;
};

// The Content-Security-Policy: our own scripts, styles and images, connections to ourselves
// and to the service only, and no way to frame the page or send a form anywhere.
std::string content_security_policy(std::string_view service_url);

// The chair the service is connected to, as far as the panel knows it.
struct ConnectedChair {
  std::string address;  // "" when the connection was seen but not its address
  std::string name;
  bool operator==(const ConnectedChair&) const = default;
};

class Pages;

// What the port serves besides the page's files.
struct Site {
  std::span<const WebFile> files;
  std::shared_ptr<const ServiceAddress> address;
  std::function<std::optional<ConnectedChair>()> connected;  // for /config.json; may be empty
  Pages* pages = nullptr;                                    // /presence; none: 404
};

// By the file's extension; application/octet-stream for anything unknown.
std::string_view content_type(std::string_view path);

// One request: GET or HEAD of "/" (the index), a file of `files` or "/config.json" (the
// service's address and the connected chair); other paths 404, other methods 405, and 403
// unless every Host header names this machine's loopback (a page elsewhere must not read us
// through a rebound DNS name).
http::Reply answer(const http::Request& request, std::span<const WebFile> files, const std::string& service_url,
                   const std::optional<ConnectedChair>& connected = std::nullopt);

// answer() as the server's hook for every request, with the service's current address, and
// the stream of /presence that tells the panel which pages are open.
http::PreRouting site_handler(Site site);

}  // namespace chair::panel

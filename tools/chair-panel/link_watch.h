// Follows the service's event stream for the one thing a page cannot learn from a stream of its
// own: which chair is connected. A new stream starts with a state snapshot that names no chair,
// so a page opened or reloaded while a chair is connected asks us.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/chair-panel/site.h"

namespace chair::panel {

// What the records of one stream say about the link, in the order they came.
class LinkRecords {
 public:
  void apply(const nlohmann::json& record);
  // The stream ended: whatever it said no longer holds.
  void reset() { *this = {}; }
  std::optional<ConnectedChair> connected() const;

 private:
  std::string pending_;  // the address a connection is being made to
  std::optional<ConnectedChair> connected_;
};

class LinkWatch {
 public:
  explicit LinkWatch(std::shared_ptr<const ServiceAddress> address);
  ~LinkWatch();
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

  std::optional<ConnectedChair> connected() const;

 private:
  void run();
  void follow(std::string_view service_url);

  std::shared_ptr<const ServiceAddress> address_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards records_
  LinkRecords records_;
  std::thread thread_;
};

}  // namespace chair::panel

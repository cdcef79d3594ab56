// The requests for a link, served one at a time on the link's connect worker, the newest
// first: a request still waiting when a newer one comes is answered Superseded at once, so a
// flood of requests costs one thread.
//
// A request of the user's never waits behind an automatic one, nor is it superseded by one:
// an automatic request that comes while the user's waits is answered Superseded. An automatic attempt under
// way is abandoned: it is answered Superseded at once, a worker of its own serves the user,
// and whatever the abandoned opening yields when the platform finally answers is closed
// without a word. Automatic requests wait until that opening has ended, so there are at most
// two connect workers: the one serving, and one still inside an abandoned opening.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ble/link/chair_link.h"

namespace chair::ble {

struct ConnectRequest {
  std::string address;
  ConnectOrigin origin = ConnectOrigin::User;
  std::function<void(ConnectOutcome)> done;
};

class ConnectRequests {
 public:
  // Serves one request on the calling worker; `abandoned` is set when the request is given
  // up meanwhile. Answers Opened or Failed (what it answers once abandoned is dropped).
  using Serve = std::function<ConnectOutcome(const ConnectRequest&, const std::atomic<bool>& abandoned)>;
  // Starts a worker; false when no thread could be had.
  using Spawn = std::function<bool(std::function<void()>)>;

  ConnectRequests(Serve serve, Spawn spawn) : serve_(std::move(serve)), spawn_(std::move(spawn)) {}

  void submit(ConnectRequest request);
  // Requests waiting now or arriving later are answered Failed.
  void stop();

 private:
  struct UnderWay {
    ConnectOrigin origin;
    std::shared_ptr<std::atomic<bool>> abandoned;
    std::function<void(ConnectOutcome)> done;
  };
  // The worker's loop: serves requests until none is left that may be served now.
  void serve_requests();
  bool start_worker();

  const Serve serve_;
  const Spawn spawn_;
  std::mutex mutex_;                       // guards the fields below; never held while a request is served or answered
  std::optional<ConnectRequest> pending_;  // the newest request not yet served
  std::optional<UnderWay> under_way_;      // the request the serving worker is on
  bool serving_ = false;                   // a worker serves the requests
  bool abandoned_open_ = false;            // an abandoned opening has not returned yet
  bool stopping_ = false;
};

}  // namespace chair::ble

#include "ble/link/connect_requests.h"

#include <utility>
#include <vector>

namespace chair::ble {

void ConnectRequests::submit(ConnectRequest request) {
  std::vector<std::function<void(ConnectOutcome)>> superseded;
  std::function<void(ConnectOutcome)> refused;
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      refused = std::move(request.done);
    } else {
      const bool users = request.origin == ConnectOrigin::User;
      if (!users && pending_ && pending_->origin == ConnectOrigin::User) {
        // The supervisor looked while the user's request waited for its worker: the user's
        // request is the one served, and it is already on its way.
        superseded.push_back(std::move(request.done));
      } else {
        if (pending_) superseded.push_back(std::move(pending_->done));
        pending_ = std::move(request);
        if (!serving_) {
          start = serving_ = true;
        } else if (users && under_way_ && under_way_->origin == ConnectOrigin::Automatic) {
          // The worker stays inside the platform's opening until it answers; the user's request
          // gets a worker of its own now.
          under_way_->abandoned->store(true);
          superseded.push_back(std::move(under_way_->done));
          under_way_.reset();
          abandoned_open_ = true;
          start = true;
        }
      }
    }
  }
  if (refused) refused(ConnectOutcome::Failed);
  for (auto& done : superseded) {
    if (done) done(ConnectOutcome::Superseded);
  }
  if (start && !start_worker()) {
    std::optional<ConnectRequest> orphan;
    {
      std::lock_guard lock(mutex_);
      // Without a thread of its own the request waits for the abandoned opening's worker,
      // which serves what it finds when it comes back; otherwise nobody will.
      if (!abandoned_open_) orphan = std::exchange(pending_, std::nullopt);
      serving_ = false;
    }
    if (orphan && orphan->done) orphan->done(ConnectOutcome::Failed);
  }
}

bool ConnectRequests::start_worker() {
  return spawn_([this] { serve_requests(); });
}

void ConnectRequests::serve_requests() {
  for (;;) {
    ConnectRequest request;
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    std::function<void(ConnectOutcome)> refused;
    bool serve_now = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        if (pending_) refused = std::move(pending_->done);
        pending_.reset();
        serving_ = false;
      } else if (!pending_ || (pending_->origin == ConnectOrigin::Automatic && abandoned_open_)) {
        serving_ = false;
      } else {
        request = std::move(*pending_);
        pending_.reset();
        under_way_ = UnderWay{request.origin, abandoned, std::move(request.done)};
        serve_now = true;
      }
    }
    if (refused) refused(ConnectOutcome::Failed);
    if (!serve_now) return;

    const ConnectOutcome outcome = serve_(request, *abandoned);

    std::function<void(ConnectOutcome)> done;
    bool go_on = true;
    {
      std::lock_guard lock(mutex_);
      if (abandoned->load()) {
        // Answered when it was abandoned; a newer worker has served the requests since. What
        // waited for this opening to end is served here, unless a worker does it already.
        abandoned_open_ = false;
        go_on = !serving_ && pending_.has_value();
        if (go_on) serving_ = true;
      } else {
        done = std::move(under_way_->done);
        under_way_.reset();
      }
    }
    if (done) done(outcome);
    if (!go_on) return;
  }
}

void ConnectRequests::stop() {
  std::optional<ConnectRequest> waiting;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    waiting = std::exchange(pending_, std::nullopt);
  }
  if (waiting && waiting->done) waiting->done(ConnectOutcome::Failed);
}

}  // namespace chair::ble

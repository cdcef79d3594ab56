#include "tools/chairctl/event_feed.h"

#include <algorithm>

#include "tools/chairctl/curl_common.h"

namespace chairctl {

namespace {
// How long one wait for socket activity may last before the deadline and Ctrl-C are
// looked at again.
constexpr std::chrono::milliseconds kPollSlice{100};
}  // namespace

Result<std::unique_ptr<EventFeed>, Failure> EventFeed::open(const ServiceClient& client,
                                                            std::chrono::milliseconds timeout) {
  ensure_curl();
  std::unique_ptr<EventFeed> stream(new EventFeed());
  stream->url_ = client.base_url() + "/api/events";
  stream->multi_ = curl_multi_init();
  stream->easy_ = curl_easy_init();
  if (!stream->multi_ || !stream->easy_) return Failure{kExitUnreachable, "cannot set up an HTTP transfer"};

  // The stream has no end of its own: no transfer timeout, only the connect bound.
  configure_transfer(stream->easy_, stream->url_, std::chrono::milliseconds(0), stream->error_buffer_);
  curl_easy_setopt(stream->easy_, CURLOPT_WRITEFUNCTION, &EventFeed::on_bytes);
  curl_easy_setopt(stream->easy_, CURLOPT_WRITEDATA, stream.get());
  curl_multi_add_handle(stream->multi_, stream->easy_);

  std::string snapshot;
  switch (stream->next(snapshot, Clock::now() + timeout)) {
    case Wait::Record: stream->records_.push_front(std::move(snapshot)); return stream;
    case Wait::Closed: return stream->closed_;
    case Wait::Interrupted: return Failure{kExitInterrupted, "interrupted"};
    case Wait::Timeout: break;
  }
  return Failure{kExitUnreachable,
                 "the service at " + stream->url_ + " sent no event within " + std::to_string(timeout.count()) + " ms"};
}

EventFeed::~EventFeed() {
  if (multi_ && easy_) curl_multi_remove_handle(multi_, easy_);
  if (easy_) curl_easy_cleanup(easy_);
  if (multi_) curl_multi_cleanup(multi_);
}

size_t EventFeed::on_bytes(char* data, size_t size, size_t count, void* self) {
  auto* stream = static_cast<EventFeed*>(self);
  for (auto& record : stream->splitter_.feed(std::string_view(data, size * count))) {
    stream->records_.push_back(std::move(record));
  }
  // A short count ends the transfer; pump() then reports why.
  return stream->splitter_.overflowed() ? 0 : size * count;
}

void EventFeed::pump(std::chrono::milliseconds wait) {
  int running = 0;
  curl_multi_perform(multi_, &running);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    done_ = true;
    const CURLcode code = message->data.result;
    if (splitter_.overflowed()) {
      closed_ = too_much_from(url_);
      return;
    }
    if (code != CURLE_OK) {
      closed_ = transfer_failure(easy_, code, url_, error_buffer_);
      return;
    }
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
      HttpReply reply{status, {}};
      closed_ = interpret_reply(url_, reply).failure();
    } else {
      closed_by_service_ = true;
      closed_ = Failure{kExitService, "the service closed the event stream"};
    }
    return;
  }
  if (running && records_.empty() && wait.count() > 0) {
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
}

EventFeed::Wait EventFeed::next(std::string& record, Clock::time_point deadline) {
  for (;;) {
    if (!records_.empty()) {
      record = std::move(records_.front());
      records_.pop_front();
      return Wait::Record;
    }
    if (done_) return Wait::Closed;
    if (interrupted()) return Wait::Interrupted;
    const auto now = Clock::now();
    if (now >= deadline) return Wait::Timeout;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    pump(std::clamp(left, std::chrono::milliseconds(1), kPollSlice));
  }
}

}  // namespace chairctl

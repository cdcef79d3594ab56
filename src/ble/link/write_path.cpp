#include "ble/link/write_path.h"

#include <string>

#include "ble/protocol/frame.h"

namespace chair::ble {

Status WritePath::write(std::span<const uint8_t> bytes, const std::function<Result<WriteTarget>()>& check) {
  {
    std::unique_lock lock(mutex_);
    turn_free_.wait(lock, [&] { return !writing_ || stopping_; });
    if (stopping_) return fail(kNotReady);
    writing_ = true;
  }
  struct TurnEnd {
    WritePath& path;
    ~TurnEnd() {
      {
        std::lock_guard lock(path.mutex_);
        path.writing_ = false;
      }
      path.turn_free_.notify_one();
    }
  } turn_end{*this};

  auto target = check();
  if (!target) return target.take_error();

  events_.on_link_log("TX: " + hex_dump(bytes));
  if (!target->connection) return fail(kNotReady);

  const bool without_first = target->prefer_without_response;
  const WriteOption order[2] = {
      without_first ? WriteOption::WithoutResponse : WriteOption::WithResponse,
      without_first ? WriteOption::WithResponse : WriteOption::WithoutResponse,
  };
  std::string pending_error;
  for (WriteOption option : order) {
    auto result = target->connection->write(target->characteristic, bytes, option);
    if (!result) {
      // Bytes the platform could not even put into a buffer fail alike with either option.
      if (result.failure().before_sending) return fail(result.error());
      pending_error = result.error();
      continue;
    }
    if (*result == GattStatus::Success) return {};
    pending_error = "status " + gatt_status_text(*result);
  }
  return fail(pending_error);
}

void WritePath::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  turn_free_.notify_all();
}

}  // namespace chair::ble

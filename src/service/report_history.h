// The chair's reports of the last day, for a plot that does not start empty at every reload.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "ble/protocol/status.h"

namespace chair {

// Wall-clock time in milliseconds since the Unix epoch: when a report arrived.
int64_t unix_now_ms();

// One report as kept: the seven values of the report (cold, hot, vibrate, volume, lumbar,
// temp, switch byte) and when it arrived. The flags follow from the switch byte; the frame
// that produced the report is kept beside it, so the `chair` object comes out byte for byte
// as the event had it.
struct PackedReport {
  int64_t unix_ms = 0;
  uint8_t values[7] = {};
  uint8_t raw_is_text = 0;  // the raw text was not a frame's hex text and is kept as it is
};

// A copy of some kept reports, rendered outside the history's lock.
class HistorySlice {
 public:
  size_t size() const { return reports_.size(); }
  // Appends {"chair":{...},"t":T} for report `i`, oldest first.
  void append_json(size_t i, std::string& out);

 private:
  friend class ReportHistory;
  std::span<const uint8_t> raw_of(size_t i) const;
  const std::string& chair_json(size_t i);

  std::vector<PackedReport> reports_;
  std::vector<uint32_t> raw_at_;  // where report i's raw bytes begin in raw_
  std::vector<uint16_t> raw_size_;
  std::vector<uint8_t> raw_;
  // A chair says the same thing again and again (the poll's report, the level it re-asserts):
  // the last few chair objects written are reused for the reports that repeat them.
  struct Written {
    size_t report = SIZE_MAX;
    std::string json;
  };
  std::array<Written, 4> written_;
  size_t next_written_ = 0;
};

// Bounded three ways: by age, by count and by bytes, whichever bites first. A report every two
// seconds for a day is 43,200 of them, about 1.3 MiB.
class ReportHistory {
 public:
  static constexpr int64_t kSpanMs = 24LL * 60 * 60 * 1000;
  static constexpr size_t kMaxReports = 43200;
  static constexpr size_t kMaxBytes = 2 * 1024 * 1024 - 64 * 1024;  // the containers' own blocks fit below 2 MiB
  // Slices that may exist at once: a full day's is about 1.5 MiB, and every connection could
  // ask for one.
  static constexpr int kMaxSlices = 2;

  // A report that arrived at `unix_ms` (wall-clock time, milliseconds).
  void add(const ble::ChairStatus& status, int64_t unix_ms);
  // The reports that arrived after `since_ms`, oldest first, leaving out those a day older
  // than `now_ms` (which are dropped). With kMaxSlices still in use, waits until one is gone.
  std::shared_ptr<HistorySlice> newer_than(int64_t since_ms, int64_t now_ms);

  size_t size() const;
  // What the reports take, the containers' own blocks aside.
  size_t bytes() const;

 private:
  void drop_front_locked();
  void drop_older_locked(int64_t now_ms);

  // The slices in use; never held together with mutex_.
  std::mutex slices_mutex_;
  std::condition_variable slice_gone_;
  int slices_ = 0;

  mutable std::mutex mutex_;
  std::deque<PackedReport> reports_;
  // Each report's raw part: two length bytes, then the frame's bytes (or the text).
  std::deque<uint8_t> raw_;
};

}  // namespace chair

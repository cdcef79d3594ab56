#include "service/report_history.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "common/hex.h"
#include "service/events/event.h"

namespace chair {

namespace {

constexpr size_t kRawLimit = 0xFFFF;

// The bytes of a frame's hex text ("55 01 0B"), when the text is exactly that.
std::optional<std::vector<uint8_t>> frame_bytes(const std::string& raw) {
  if ((raw.size() + 1) % 3 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve((raw.size() + 1) / 3);
  for (size_t i = 0; i < raw.size(); i += 3) {
    const int hi = hex_digit_value(raw[i]);
    const int lo = hex_digit_value(raw[i + 1]);
    if (hi < 0 || lo < 0 || (i + 2 < raw.size() && raw[i + 2] != ' ')) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  // Lower-case digits would not come back the same.
  if (ble::hex_dump(bytes) != raw) return std::nullopt;
  return bytes;
}

}  // namespace

int64_t unix_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void ReportHistory::add(const ble::ChairStatus& status, int64_t unix_ms) {
  PackedReport report;
  report.unix_ms = unix_ms;
  const uint8_t values[7] = {status.cold,   status.hot,  status.vibrate,   status.volume,
                             status.lumbar, status.temp, status.switchByte};
  std::copy(std::begin(values), std::end(values), report.values);
  std::vector<uint8_t> raw;
  if (auto bytes = frame_bytes(status.raw)) {
    raw = std::move(*bytes);
  } else {
    report.raw_is_text = 1;
    raw.assign(status.raw.begin(), status.raw.begin() + static_cast<ptrdiff_t>(std::min(status.raw.size(), kRawLimit)));
  }

  std::lock_guard lock(mutex_);
  reports_.push_back(report);
  raw_.push_back(static_cast<uint8_t>(raw.size() >> 8));
  raw_.push_back(static_cast<uint8_t>(raw.size() & 0xFF));
  raw_.insert(raw_.end(), raw.begin(), raw.end());
  drop_older_locked(unix_ms);
  while (reports_.size() > kMaxReports || reports_.size() * sizeof(PackedReport) + raw_.size() > kMaxBytes) {
    drop_front_locked();
  }
}

void ReportHistory::drop_front_locked() {
  const size_t size = (static_cast<size_t>(raw_[0]) << 8) | raw_[1];
  raw_.erase(raw_.begin(), raw_.begin() + static_cast<ptrdiff_t>(2 + size));
  reports_.pop_front();
}

void ReportHistory::drop_older_locked(int64_t now_ms) {
  while (!reports_.empty() && reports_.front().unix_ms < now_ms - kSpanMs) drop_front_locked();
}

std::shared_ptr<HistorySlice> ReportHistory::newer_than(int64_t since_ms, int64_t now_ms) {
  {
    std::unique_lock lock(slices_mutex_);
    slice_gone_.wait(lock, [this] { return slices_ < kMaxSlices; });
    ++slices_;
  }
  std::shared_ptr<HistorySlice> slice(new HistorySlice(), [this](HistorySlice* gone) {
    delete gone;
    {
      std::lock_guard lock(slices_mutex_);
      --slices_;
    }
    slice_gone_.notify_one();
  });
  std::lock_guard lock(mutex_);
  drop_older_locked(now_ms);
  size_t at = 0;
  for (const PackedReport& report : reports_) {
    const size_t size = (static_cast<size_t>(raw_[at]) << 8) | raw_[at + 1];
    at += 2;
    // A clock set back may put later reports before earlier ones: every report is looked at.
    if (report.unix_ms > since_ms) {
      slice->reports_.push_back(report);
      slice->raw_at_.push_back(static_cast<uint32_t>(slice->raw_.size()));
      slice->raw_size_.push_back(static_cast<uint16_t>(size));
      slice->raw_.insert(slice->raw_.end(), raw_.begin() + static_cast<ptrdiff_t>(at),
                         raw_.begin() + static_cast<ptrdiff_t>(at + size));
    }
    at += size;
  }
  return slice;
}

size_t ReportHistory::size() const {
  std::lock_guard lock(mutex_);
  return reports_.size();
}

size_t ReportHistory::bytes() const {
  std::lock_guard lock(mutex_);
  return reports_.size() * sizeof(PackedReport) + raw_.size();
}

std::span<const uint8_t> HistorySlice::raw_of(size_t i) const {
  return std::span<const uint8_t>(raw_).subspan(raw_at_[i], raw_size_[i]);
}

const std::string& HistorySlice::chair_json(size_t i) {
  const PackedReport& report = reports_[i];
  const auto raw = raw_of(i);
  for (const Written& w : written_) {
    if (w.report == SIZE_MAX) continue;
    const PackedReport& seen = reports_[w.report];
    const auto seen_raw = raw_of(w.report);
    if (std::equal(std::begin(seen.values), std::end(seen.values), std::begin(report.values)) &&
        seen.raw_is_text == report.raw_is_text &&
        std::equal(raw.begin(), raw.end(), seen_raw.begin(), seen_raw.end())) {
      return w.json;
    }
  }
  ble::ChairStatus status;
  status.cold = report.values[0];
  status.hot = report.values[1];
  status.vibrate = report.values[2];
  status.volume = report.values[3];
  status.lumbar = report.values[4];
  status.temp = report.values[5];
  ble::set_switch(status, report.values[6]);
  status.raw = report.raw_is_text ? std::string(raw.begin(), raw.end()) : ble::hex_dump(raw);
  Written& slot = written_[next_written_];
  next_written_ = (next_written_ + 1) % written_.size();
  slot.report = i;
  slot.json.clear();
  append_chair_json(slot.json, status);
  return slot.json;
}

void HistorySlice::append_json(size_t i, std::string& out) {
  out += "{\"chair\":";
  out += chair_json(i);
  out += ",\"t\":";
  out += std::to_string(reports_[i].unix_ms);
  out += '}';
}

}  // namespace chair

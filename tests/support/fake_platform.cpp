#include "fake_platform.h"

#include <stdexcept>
#include <thread>

#include "common/address.h"

namespace chair::test {

namespace {

std::string next_handle(const char* kind) {
  static std::atomic<uint64_t> counter{1};
  return std::string(kind) + std::to_string(counter.fetch_add(1));
}

}  // namespace

ble::Uuid uuid(std::string_view text) {
  auto parsed = ble::Uuid::parse(text);
  if (!parsed) throw std::invalid_argument("not a UUID: " + std::string(text));
  return *parsed;
}

ble::Advertisement advert(uint64_t address, std::optional<std::string> name, int16_t rssi) {
  ble::Advertisement a;
  a.address = address;
  a.rssi = rssi;
  a.local_name = std::move(name);
  return a;
}

// The platform's scripted state, shared with the connections and scans it hands out.
struct FakeCore {
  mutable std::mutex mutex;
  ble::Availability availability;
  std::optional<std::string> scan_error;
  std::function<void()> scan_hook;
  int scans_started = 0, scans_stopped = 0;
  std::map<uint64_t, ble::AdvertisementHandler> scans;  // running ones, by number
  uint64_t next_scan = 1;
  std::map<uint64_t, FakeDevicePtr> devices;
  std::map<uint64_t, std::string> open_errors;
  std::map<uint64_t, std::chrono::milliseconds> open_delays;
  std::vector<std::shared_ptr<FakeConnectionRecord>> connections;
  int opens = 0;
  std::chrono::milliseconds delay{0};
  Result<ble::PairedNames> paired = ble::PairedNames{};

  void pause() const {
    std::chrono::milliseconds d;
    {
      std::lock_guard lock(mutex);
      d = delay;
    }
    if (d.count() > 0) std::this_thread::sleep_for(d);
  }
};

// ---- characteristic ---------------------------------------------------------------------

FakeCharacteristic::FakeCharacteristic(std::string_view uuid_text, uint32_t properties)
    : handle_(next_handle("char")), uuid_(test::uuid(uuid_text)), properties_(properties) {}

void FakeCharacteristic::set_uuid_error() {
  std::lock_guard lock(mutex_);
  uuid_.reset();
}

void FakeCharacteristic::set_properties(uint32_t properties) {
  std::lock_guard lock(mutex_);
  properties_ = properties;
}

void FakeCharacteristic::set_write_result(ble::WriteOption option, Outcome outcome) {
  std::lock_guard lock(mutex_);
  write_results_.insert_or_assign(option, Script<Outcome>(std::move(outcome)));
}

void FakeCharacteristic::script_write_results(ble::WriteOption option, std::vector<Outcome> outcomes) {
  std::lock_guard lock(mutex_);
  if (!outcomes.empty()) write_results_.insert_or_assign(option, Script<Outcome>(std::move(outcomes)));
}

void FakeCharacteristic::set_subscribe_result(Outcome outcome) {
  std::lock_guard lock(mutex_);
  subscribe_result_ = std::move(outcome);
}

void FakeCharacteristic::on_write(std::function<void(const Bytes&)> hook) {
  std::lock_guard lock(mutex_);
  write_hook_ = std::move(hook);
}

void FakeCharacteristic::notify(const Bytes& bytes) {
  std::vector<ble::NotificationHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    for (auto& [token, handler] : handlers_) handlers.push_back(handler);
  }
  for (auto& handler : handlers) handler(bytes);
}

std::vector<FakeCharacteristic::Write> FakeCharacteristic::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<ble::Subscription> FakeCharacteristic::subscriptions() const {
  std::lock_guard lock(mutex_);
  return subscriptions_;
}

int FakeCharacteristic::handlers_added() const {
  std::lock_guard lock(mutex_);
  return added_;
}

int FakeCharacteristic::handlers_removed() const {
  std::lock_guard lock(mutex_);
  return removed_;
}

int FakeCharacteristic::handlers_active() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handlers_.size());
}

std::optional<ble::Uuid> FakeCharacteristic::uuid() const {
  std::lock_guard lock(mutex_);
  return uuid_;
}

uint32_t FakeCharacteristic::properties() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

Result<ble::GattStatus> FakeCharacteristic::subscribe(int64_t token, ble::Subscription kind,
                                                      ble::NotificationHandler handler) {
  std::lock_guard lock(mutex_);
  subscriptions_.push_back(kind);
  if (!subscribe_result_ || *subscribe_result_ != ble::GattStatus::Success) return subscribe_result_;
  handlers_.emplace(token, std::move(handler));
  ++added_;
  return ble::GattStatus::Success;
}

void FakeCharacteristic::unsubscribe(int64_t token) {
  std::lock_guard lock(mutex_);
  if (handlers_.erase(token) > 0) ++removed_;
}

ble::WriteResult FakeCharacteristic::write(std::span<const uint8_t> bytes, ble::WriteOption option) {
  Bytes copy(bytes.begin(), bytes.end());
  Outcome outcome = ble::GattStatus::Success;
  std::function<void(const Bytes&)> hook;
  {
    std::lock_guard lock(mutex_);
    writes_.push_back(Write{copy, option});
    if (auto it = write_results_.find(option); it != write_results_.end()) outcome = it->second.take();
    if (outcome && *outcome == ble::GattStatus::Success) hook = write_hook_;
  }
  if (hook) hook(copy);
  if (!outcome) return outcome.take_error();
  return *outcome;
}

// ---- service and device -------------------------------------------------------------------

FakeService::FakeService(std::string_view uuid_text, std::vector<FakeCharacteristicPtr> characteristics)
    : handle_(next_handle("service")), uuid_(uuid(uuid_text)), characteristics_(std::move(characteristics)) {}

void FakeService::set_uuid_error() {
  std::lock_guard lock(mutex_);
  uuid_.reset();
}

void FakeService::set_characteristics_error(std::string text) {
  std::lock_guard lock(mutex_);
  error_ = std::move(text);
}

FakeDevice::FakeDevice(Result<std::string> name) : name_(std::move(name)) {}

void FakeDevice::set_name(Result<std::string> name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

void FakeDevice::set_services(std::vector<FakeServicePtr> services) { script_discovery({FakeDiscovery{services, {}}}); }

void FakeDevice::script_discovery(std::vector<FakeDiscovery> answers) {
  if (answers.empty()) return;
  std::lock_guard lock(mutex_);
  for (const auto& answer : answers)
    for (const auto& s : answer.services) layout_.push_back(s);
  discovery_ = Script<FakeDiscovery>(std::move(answers));
}

void FakeDevice::script_connection(std::vector<Result<bool>> answers) {
  if (answers.empty()) return;
  std::lock_guard lock(mutex_);
  connection_ = Script<Result<bool>>(std::move(answers));
}

int FakeDevice::discoveries() const {
  std::lock_guard lock(mutex_);
  return discoveries_;
}

int FakeDevice::closes() const {
  std::lock_guard lock(mutex_);
  return closes_;
}

int FakeDevice::releases() const {
  std::lock_guard lock(mutex_);
  return releases_;
}

// ---- connection -------------------------------------------------------------------------

class FakeConnectionImpl final : public ble::Connection {
 public:
  FakeConnectionImpl(std::shared_ptr<FakeCore> core, std::shared_ptr<FakeConnectionRecord> record, FakeDevicePtr device)
      : core_(std::move(core)), record_(std::move(record)), device_(std::move(device)) {}

  ~FakeConnectionImpl() override {
    bool was_closed = false;
    {
      std::lock_guard lock(mutex_);
      was_closed = closed_;
    }
    end_subscription();
    if (!was_closed) {
      std::lock_guard lock(device_->mutex_);
      ++device_->releases_;
    }
    record_->released = true;
  }

  Result<std::string> name() override {
    std::lock_guard lock(device_->mutex_);
    return device_->name_;
  }

  Result<std::vector<ble::GattService>> services() override {
    core_->pause();
    if (is_closed()) return fail("the connection is closed");
    FakeDiscovery answer;
    {
      std::lock_guard lock(device_->mutex_);
      ++device_->discoveries_;
      answer = device_->discovery_.take();
    }
    const auto until = std::chrono::steady_clock::now() + answer.delay;
    while (std::chrono::steady_clock::now() < until && !is_closed())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (answer.error) return fail(*answer.error);
    std::vector<ble::GattService> list;
    for (const auto& service : answer.services) {
      std::lock_guard lock(service->mutex_);
      list.push_back(ble::GattService{service->uuid_, service->handle_});
    }
    return list;
  }

  Result<std::vector<ble::GattCharacteristic>> characteristics(const ble::GattService& wanted) override {
    core_->pause();
    if (is_closed()) return fail("the connection is closed");
    FakeServicePtr service = find_service(wanted.handle);
    if (!service) return fail("unknown service " + wanted.handle);
    std::vector<FakeCharacteristicPtr> chars;
    {
      std::lock_guard lock(service->mutex_);
      if (service->error_) return fail(*service->error_);
      chars = service->characteristics_;
    }
    std::vector<ble::GattCharacteristic> list;
    for (const auto& c : chars) list.push_back(ble::GattCharacteristic{c->uuid(), c->properties(), c->handle_});
    return list;
  }

  Result<bool> connected() override {
    core_->pause();
    if (is_closed()) return fail("the connection is closed");
    std::lock_guard lock(device_->mutex_);
    return device_->connection_.take();
  }

  Result<ble::GattStatus> subscribe(const ble::GattCharacteristic& characteristic, ble::Subscription kind,
                                    ble::NotificationHandler handler) override {
    core_->pause();
    if (is_closed()) return fail("the connection is closed");
    auto target = find_characteristic(characteristic.handle);
    if (!target) return fail("unknown characteristic " + characteristic.handle);
    end_subscription();
    static std::atomic<int64_t> tokens{1};
    const int64_t token = tokens.fetch_add(1);
    auto result = target->subscribe(token, kind, std::move(handler));
    if (!result || *result != ble::GattStatus::Success) return result;
    {
      std::lock_guard lock(mutex_);
      subscribed_ = target;
      token_ = token;
    }
    record_->subscribed = true;
    return result;
  }

  ble::WriteResult write(const ble::GattCharacteristic& characteristic, std::span<const uint8_t> bytes,
                         ble::WriteOption option) override {
    core_->pause();
    if (is_closed()) return fail("the connection is closed");
    auto target = find_characteristic(characteristic.handle);
    if (!target) return fail("unknown characteristic " + characteristic.handle);
    return target->write(bytes, option);
  }

  void close() override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
    }
    end_subscription();
    {
      std::lock_guard lock(device_->mutex_);
      ++device_->closes_;
    }
    ++record_->closes;
  }

 private:
  bool is_closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  FakeServicePtr find_service(const std::string& handle) const {
    std::lock_guard lock(device_->mutex_);
    for (const auto& s : device_->layout_)
      if (s->handle_ == handle) return s;
    return nullptr;
  }

  FakeCharacteristicPtr find_characteristic(const std::string& handle) const {
    std::vector<FakeServicePtr> layout;
    {
      std::lock_guard lock(device_->mutex_);
      layout = device_->layout_;
    }
    for (const auto& s : layout) {
      std::lock_guard lock(s->mutex_);
      for (const auto& c : s->characteristics_)
        if (c->handle_ == handle) return c;
    }
    return nullptr;
  }

  void end_subscription() {
    FakeCharacteristicPtr target;
    int64_t token = 0;
    {
      std::lock_guard lock(mutex_);
      target = std::exchange(subscribed_, nullptr);
      token = std::exchange(token_, 0);
    }
    if (target) target->unsubscribe(token);
    record_->subscribed = false;
  }

  std::shared_ptr<FakeCore> core_;
  std::shared_ptr<FakeConnectionRecord> record_;
  FakeDevicePtr device_;
  mutable std::mutex mutex_;
  bool closed_ = false;
  FakeCharacteristicPtr subscribed_;
  int64_t token_ = 0;
};

// ---- scans and the platform ---------------------------------------------------------------

namespace {

class FakeScan final : public ble::Scan {
 public:
  FakeScan(std::shared_ptr<FakeCore> core, uint64_t id) : core_(std::move(core)), id_(id) {}
  ~FakeScan() override { stop(); }
  void stop() override {
    std::lock_guard lock(core_->mutex);
    if (core_->scans.erase(id_) > 0) ++core_->scans_stopped;
  }

 private:
  std::shared_ptr<FakeCore> core_;
  uint64_t id_;
};

}  // namespace

FakePlatform::FakePlatform() : core_(std::make_shared<FakeCore>()) {}

void FakePlatform::set_availability(ble::Availability availability) {
  std::lock_guard lock(core_->mutex);
  core_->availability = std::move(availability);
}

void FakePlatform::set_scan_error(std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  core_->scan_error = std::move(text);
}

void FakePlatform::on_scan_start(std::function<void()> hook) {
  std::lock_guard lock(core_->mutex);
  core_->scan_hook = std::move(hook);
}

int FakePlatform::scans_started() const {
  std::lock_guard lock(core_->mutex);
  return core_->scans_started;
}

int FakePlatform::scans_stopped() const {
  std::lock_guard lock(core_->mutex);
  return core_->scans_stopped;
}

int FakePlatform::scans_running() const {
  std::lock_guard lock(core_->mutex);
  return static_cast<int>(core_->scans.size());
}

void FakePlatform::advertise(const ble::Advertisement& advertisement) {
  std::vector<ble::AdvertisementHandler> handlers;
  {
    std::lock_guard lock(core_->mutex);
    for (auto& [id, handler] : core_->scans) handlers.push_back(handler);
  }
  for (auto& handler : handlers) handler(advertisement);
}

void FakePlatform::add_device(uint64_t address, FakeDevicePtr device) {
  std::lock_guard lock(core_->mutex);
  core_->devices.insert_or_assign(address, std::move(device));
}

void FakePlatform::set_open_error(uint64_t address, std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  if (text) {
    core_->open_errors.insert_or_assign(address, std::move(*text));
  } else {
    core_->open_errors.erase(address);
  }
}

void FakePlatform::set_open_delay(uint64_t address, std::chrono::milliseconds delay) {
  std::lock_guard lock(core_->mutex);
  core_->open_delays.insert_or_assign(address, delay);
}

std::vector<std::shared_ptr<const FakeConnectionRecord>> FakePlatform::connections() const {
  std::lock_guard lock(core_->mutex);
  return {core_->connections.begin(), core_->connections.end()};
}

void FakePlatform::set_call_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(core_->mutex);
  core_->delay = delay;
}

void FakePlatform::set_paired_names(Result<ble::PairedNames> names) {
  std::lock_guard lock(core_->mutex);
  core_->paired = std::move(names);
}

ble::Availability FakePlatform::availability() {
  std::lock_guard lock(core_->mutex);
  return core_->availability;
}

Result<std::unique_ptr<ble::Scan>> FakePlatform::start_scan(ble::AdvertisementHandler handler) {
  std::function<void()> hook;
  {
    std::lock_guard lock(core_->mutex);
    if (core_->scan_error) return fail(*core_->scan_error);
    hook = core_->scan_hook;
  }
  if (hook) hook();
  std::lock_guard lock(core_->mutex);
  const uint64_t id = core_->next_scan++;
  core_->scans.emplace(id, std::move(handler));
  ++core_->scans_started;
  return std::unique_ptr<ble::Scan>(std::make_unique<FakeScan>(core_, id));
}

int FakePlatform::opens() const {
  std::lock_guard lock(core_->mutex);
  return core_->opens;
}

Result<ble::ConnectionPtr> FakePlatform::open(uint64_t address) {
  {
    std::lock_guard lock(core_->mutex);
    ++core_->opens;
  }
  core_->pause();
  std::chrono::milliseconds looking{0};
  {
    std::lock_guard lock(core_->mutex);
    if (auto it = core_->open_delays.find(address); it != core_->open_delays.end()) looking = it->second;
  }
  std::this_thread::sleep_for(looking);
  std::lock_guard lock(core_->mutex);
  if (auto it = core_->open_errors.find(address); it != core_->open_errors.end()) return fail(it->second);
  auto it = core_->devices.find(address);
  if (it == core_->devices.end()) return fail("device " + format_address(address) + " not found");
  auto record = std::make_shared<FakeConnectionRecord>();
  record->address = address;
  core_->connections.push_back(record);
  return ble::ConnectionPtr(std::make_shared<FakeConnectionImpl>(core_, record, it->second));
}

Result<ble::PairedNames> FakePlatform::paired_device_names() {
  std::lock_guard lock(core_->mutex);
  return core_->paired;
}

}  // namespace chair::test

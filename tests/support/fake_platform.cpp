#include "fake_platform.h"

#include <stdexcept>

namespace chair::test {

using namespace chair::ble;
using Clock = std::chrono::steady_clock;

// ---- shared scripting state ----------------------------------------------------------

namespace {

// An operation that reports Started until its deadline, like a platform call in flight.
template <class T>
class DelayedOperation final : public AsyncOperation<T> {
 public:
  DelayedOperation(Result<T> result, Clock::time_point ready) : result_(std::move(result)), ready_(ready) {}
  Result<AsyncStatus> status() override {
    if (Clock::now() < ready_) return AsyncStatus::Started;
    return result_.ok() ? AsyncStatus::Completed : AsyncStatus::Error;
  }
  Result<T> get_results() override {
    if (Clock::now() < ready_) return fail("the operation has not completed yet");
    return result_;
  }

 private:
  Result<T> result_;
  Clock::time_point ready_;
};

class FakeWatcher;

}  // namespace

struct FakeCore {
  mutable std::mutex mutex;
  std::chrono::milliseconds delay{0};

  std::optional<std::string> adapter_error;
  bool adapter_missing = false;
  Result<RadioState> radio_state = RadioState::On;
  std::optional<std::string> radio_error;

  std::optional<std::string> watcher_create_error, watcher_start_error;
  std::function<void()> watcher_start_hook;
  std::vector<std::shared_ptr<FakeWatcher>> running;  // started and not yet stopped
  int watchers_started = 0, watchers_stopped = 0;

  std::map<uint64_t, Result<FakeDevicePtr>> devices;
  std::optional<std::string> session_error;
  std::vector<std::shared_ptr<FakeSession>> sessions;
  std::optional<std::string> buffer_error, read_error;
  std::optional<Result<PairedNames>> paired;
  std::atomic<int> init_calls{0};

  template <class T>
  Async<T> op(Result<T> result) {
    std::chrono::milliseconds d;
    {
      std::lock_guard lock(mutex);
      d = delay;
    }
    if (d.count() <= 0) return completed(std::move(result));
    return std::make_shared<DelayedOperation<T>>(std::move(result), Clock::now() + d);
  }
};

template <class T>
static Async<T> make_op(const std::shared_ptr<FakeCore>& core, Result<T> result) {
  if (!core) return completed(std::move(result));
  return core->op(std::move(result));
}

Uuid uuid(std::string_view text) {
  auto u = Uuid::parse(text);
  if (!u) throw std::invalid_argument("not a UUID: " + std::string(text));
  return *u;
}

FakeAdvert FakeAdvert::named(uint64_t address, std::string name, int16_t rssi) {
  FakeAdvert a;
  a.address = address;
  a.rssi = rssi;
  a.local_name = std::move(name);
  return a;
}

// ---- advertisements and watchers -----------------------------------------------------

namespace {

class FakePayload final : public AdvertisementPayload {
 public:
  explicit FakePayload(const FakeAdvert& a) : a_(a) {}
  Result<std::string> local_name() override { return a_.local_name; }
  Result<std::vector<Result<Uuid>>> service_uuids() override { return a_.uuids; }
  Result<std::vector<Result<uint16_t>>> company_ids() override { return a_.company_ids; }

 private:
  FakeAdvert a_;
};

class FakeAdvertArgs final : public AdvertisementArgs {
 public:
  explicit FakeAdvertArgs(const FakeAdvert& a) : a_(a) {}
  Result<uint64_t> bluetooth_address() override { return a_.address; }
  Result<int16_t> raw_signal_strength() override { return a_.rssi; }
  Result<std::shared_ptr<AdvertisementPayload>> advertisement() override {
    if (a_.payload_error) return fail(*a_.payload_error);
    return std::shared_ptr<AdvertisementPayload>(std::make_shared<FakePayload>(a_));
  }

 private:
  FakeAdvert a_;
};

class FakeWatcher final : public Watcher, public std::enable_shared_from_this<FakeWatcher> {
 public:
  explicit FakeWatcher(std::shared_ptr<FakeCore> core) : core_(std::move(core)) {}

  Status set_scanning_mode_active() override { return {}; }
  Status add_received(AdvertisementHandler handler) override {
    std::lock_guard lock(mutex_);
    handlers_.push_back(std::move(handler));
    return {};
  }
  Status start() override {
    std::function<void()> hook;
    std::optional<std::string> error;
    {
      std::lock_guard lock(core_->mutex);
      hook = core_->watcher_start_hook;
      error = core_->watcher_start_error;
    }
    if (hook) hook();
    if (error) return fail(*error);
    {
      std::lock_guard lock(mutex_);
      if (started_) return {};
      started_ = true;
    }
    std::lock_guard lock(core_->mutex);
    core_->running.push_back(shared_from_this());
    ++core_->watchers_started;
    return {};
  }
  Status stop() override {
    {
      std::lock_guard lock(mutex_);
      if (!started_ || stopped_) return {};
      stopped_ = true;
    }
    std::shared_ptr<FakeWatcher> self;  // released after the core lock
    std::lock_guard lock(core_->mutex);
    auto& r = core_->running;
    for (auto it = r.begin(); it != r.end(); ++it) {
      if (it->get() == this) {
        self = std::move(*it);
        r.erase(it);
        break;
      }
    }
    ++core_->watchers_stopped;
    return {};
  }
  void deliver(const std::shared_ptr<AdvertisementArgs>& args) {
    std::vector<AdvertisementHandler> handlers;
    {
      std::lock_guard lock(mutex_);
      if (!started_ || stopped_) return;
      handlers = handlers_;
    }
    for (auto& h : handlers) h(args);
  }

 private:
  std::shared_ptr<FakeCore> core_;
  std::mutex mutex_;
  std::vector<AdvertisementHandler> handlers_;
  bool started_ = false, stopped_ = false;
};

class FakeAdapter final : public Adapter {
 public:
  explicit FakeAdapter(std::shared_ptr<FakeCore> core) : core_(std::move(core)) {}
  Async<std::shared_ptr<Radio>> get_radio_async() override;

 private:
  std::shared_ptr<FakeCore> core_;
};

class FakeRadio final : public Radio {
 public:
  explicit FakeRadio(Result<RadioState> state) : state_(std::move(state)) {}
  Result<RadioState> state() override { return state_; }

 private:
  Result<RadioState> state_;
};

Async<std::shared_ptr<Radio>> FakeAdapter::get_radio_async() {
  Result<std::shared_ptr<Radio>> result = std::shared_ptr<Radio>();
  {
    std::lock_guard lock(core_->mutex);
    if (core_->radio_error)
      result = fail(*core_->radio_error);
    else
      result = std::shared_ptr<Radio>(std::make_shared<FakeRadio>(core_->radio_state));
  }
  return core_->op(std::move(result));
}

// ---- GATT results --------------------------------------------------------------------

class FakeValueArgs final : public ValueChangedArgs {
 public:
  explicit FakeValueArgs(BufferPtr value) : value_(std::move(value)) {}
  Result<BufferPtr> characteristic_value() override { return value_; }

 private:
  BufferPtr value_;
};

class FakeCharacteristicsResult final : public CharacteristicsResult {
 public:
  FakeCharacteristicsResult(GattStatus status, Result<std::vector<CharacteristicPtr>> list)
      : status_(status), list_(std::move(list)) {}
  Result<GattStatus> status() override { return status_; }
  Result<std::vector<CharacteristicPtr>> characteristics() override { return list_; }

 private:
  GattStatus status_;
  Result<std::vector<CharacteristicPtr>> list_;
};

class FakeServicesResult final : public ServicesResult {
 public:
  FakeServicesResult(GattStatus status, Result<std::vector<ServicePtr>> list)
      : status_(status), list_(std::move(list)) {}
  Result<GattStatus> status() override { return status_; }
  Result<std::vector<ServicePtr>> services() override { return list_; }

 private:
  GattStatus status_;
  Result<std::vector<ServicePtr>> list_;
};

Result<Uuid> parse_or_fail(std::string_view text) {
  auto u = Uuid::parse(text);
  if (!u) return fail("bad uuid");
  return *u;
}

}  // namespace

std::shared_ptr<AdvertisementArgs> make_advert_args(const FakeAdvert& advert) {
  return std::make_shared<FakeAdvertArgs>(advert);
}

// ---- FakeCharacteristic --------------------------------------------------------------

FakeCharacteristic::FakeCharacteristic(std::string_view uuid_text, uint32_t properties)
    : uuid_(parse_or_fail(uuid_text)), properties_(properties) {}

void FakeCharacteristic::set_uuid_error(std::string text) {
  std::lock_guard lock(mutex_);
  uuid_ = fail(std::move(text));
}
void FakeCharacteristic::set_properties(Result<uint32_t> properties) {
  std::lock_guard lock(mutex_);
  properties_ = std::move(properties);
}
void FakeCharacteristic::set_write_result(WriteOption option, Outcome outcome) {
  std::lock_guard lock(mutex_);
  write_results_.insert_or_assign(option, std::move(outcome));
}
void FakeCharacteristic::set_cccd_result(Outcome outcome) {
  std::lock_guard lock(mutex_);
  cccd_result_ = std::move(outcome);
}
void FakeCharacteristic::set_subscribe_error(std::string text) {
  std::lock_guard lock(mutex_);
  subscribe_error_ = std::move(text);
}
void FakeCharacteristic::on_write(std::function<void(const Bytes&)> hook) {
  std::lock_guard lock(mutex_);
  write_hook_ = std::move(hook);
}

void FakeCharacteristic::notify(const Bytes& bytes) {
  notify_args(std::make_shared<FakeValueArgs>(std::make_shared<ByteBuffer>(bytes)));
}
void FakeCharacteristic::notify_args(const std::shared_ptr<ValueChangedArgs>& args) {
  std::vector<ValueChangedHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    for (auto& [token, h] : handlers_) handlers.push_back(h);
  }
  for (auto& h : handlers) h(args);
}

std::vector<FakeCharacteristic::Write> FakeCharacteristic::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}
std::vector<CccdValue> FakeCharacteristic::cccd_writes() const {
  std::lock_guard lock(mutex_);
  return cccd_writes_;
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

Result<uint32_t> FakeCharacteristic::properties() {
  std::lock_guard lock(mutex_);
  return properties_;
}
Result<Uuid> FakeCharacteristic::uuid() {
  std::lock_guard lock(mutex_);
  return uuid_;
}
Result<int64_t> FakeCharacteristic::add_value_changed(ValueChangedHandler handler) {
  std::lock_guard lock(mutex_);
  if (subscribe_error_) return fail(*subscribe_error_);
  int64_t token = next_token_++;
  handlers_.emplace(token, std::move(handler));
  ++added_;
  return token;
}
Status FakeCharacteristic::remove_value_changed(int64_t token) {
  std::lock_guard lock(mutex_);
  if (handlers_.erase(token) == 0) return fail("no such registration");
  ++removed_;
  return {};
}
Async<GattStatus> FakeCharacteristic::write_cccd_async(CccdValue value) {
  Outcome outcome = GattStatus::Success;
  std::shared_ptr<FakeCore> core;
  {
    std::lock_guard lock(mutex_);
    cccd_writes_.push_back(value);
    outcome = cccd_result_;
    core = core_;
  }
  return make_op(core, std::move(outcome));
}
Async<GattStatus> FakeCharacteristic::write_value_with_option_async(BufferPtr value,
                                                                   WriteOption option) {
  auto* buffer = dynamic_cast<ByteBuffer*>(value.get());
  if (!buffer) return completed<GattStatus>(fail("not a buffer of this platform"));
  Outcome outcome = GattStatus::Success;
  std::function<void(const Bytes&)> hook;
  std::shared_ptr<FakeCore> core;
  {
    std::lock_guard lock(mutex_);
    writes_.push_back({buffer->bytes, option});
    if (auto it = write_results_.find(option); it != write_results_.end()) outcome = it->second;
    if (outcome.ok() && *outcome == GattStatus::Success) hook = write_hook_;
    core = core_;
  }
  if (hook) hook(buffer->bytes);
  return make_op(core, std::move(outcome));
}

// ---- FakeService ---------------------------------------------------------------------

FakeService::FakeService(std::string_view uuid_text, std::vector<FakeCharacteristicPtr> characteristics)
    : uuid_(parse_or_fail(uuid_text)), characteristics_(std::move(characteristics)) {}

void FakeService::set_uuid_error(std::string text) {
  std::lock_guard lock(mutex_);
  uuid_ = fail(std::move(text));
}
void FakeService::set_characteristics_error(std::string text) {
  std::lock_guard lock(mutex_);
  op_error_ = std::move(text);
}
void FakeService::set_characteristics_list_error(std::string text) {
  std::lock_guard lock(mutex_);
  list_error_ = std::move(text);
}
void FakeService::set_characteristics_status(GattStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}
Result<Uuid> FakeService::uuid() {
  std::lock_guard lock(mutex_);
  return uuid_;
}
Async<std::shared_ptr<CharacteristicsResult>> FakeService::get_characteristics_async() {
  Result<std::shared_ptr<CharacteristicsResult>> result = std::shared_ptr<CharacteristicsResult>();
  std::shared_ptr<FakeCore> core;
  {
    std::lock_guard lock(mutex_);
    core = core_;
    if (op_error_) {
      result = fail(*op_error_);
    } else {
      Result<std::vector<CharacteristicPtr>> list = std::vector<CharacteristicPtr>(
          characteristics_.begin(), characteristics_.end());
      if (list_error_) list = fail(*list_error_);
      result = std::shared_ptr<CharacteristicsResult>(
          std::make_shared<FakeCharacteristicsResult>(status_, std::move(list)));
    }
  }
  return make_op(core, std::move(result));
}

// ---- FakeDevice ----------------------------------------------------------------------

FakeDevice::FakeDevice(std::string device_id, Result<std::string> name)
    : id_(std::move(device_id)), name_(std::move(name)) {}

void FakeDevice::set_name(Result<std::string> name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}
void FakeDevice::set_device_id(Result<std::string> id) {
  std::lock_guard lock(mutex_);
  id_ = std::move(id);
}
void FakeDevice::set_services(std::vector<FakeServicePtr> services) {
  FakeDiscovery d;
  d.services = std::move(services);
  script_discovery({std::move(d)});
}
void FakeDevice::script_discovery(std::vector<FakeDiscovery> answers) {
  if (answers.empty()) return;
  std::lock_guard lock(mutex_);
  discovery_ = Script<FakeDiscovery>(std::move(answers));
}
void FakeDevice::script_connection(std::vector<Result<ConnectionStatus>> answers) {
  if (answers.empty()) return;
  std::lock_guard lock(mutex_);
  connection_ = Script<Result<ConnectionStatus>>(std::move(answers));
}
int FakeDevice::discoveries() const {
  std::lock_guard lock(mutex_);
  return discoveries_;
}
int FakeDevice::closes() const {
  std::lock_guard lock(mutex_);
  return closes_;
}
void FakeDevice::adopt(const std::shared_ptr<FakeCore>& core) {
  std::lock_guard lock(mutex_);
  core_ = core;
}
Result<std::string> FakeDevice::device_id() {
  std::lock_guard lock(mutex_);
  return id_;
}
Result<std::string> FakeDevice::name() {
  std::lock_guard lock(mutex_);
  return name_;
}
Async<std::shared_ptr<ServicesResult>> FakeDevice::get_gatt_services_async() {
  FakeDiscovery d;
  std::shared_ptr<FakeCore> core;
  {
    std::lock_guard lock(mutex_);
    ++discoveries_;
    d = discovery_.take();
    core = core_;
  }
  if (d.error) return make_op<std::shared_ptr<ServicesResult>>(core, fail(*d.error));
  // The layout reaches the service code only through discovery, so this is where the
  // services and characteristics learn the platform's scripted delay.
  for (auto& s : d.services) {
    std::lock_guard lock(s->mutex_);
    s->core_ = core;
    for (auto& c : s->characteristics_) {
      std::lock_guard clock(c->mutex_);
      c->core_ = core;
    }
  }
  Result<std::vector<ServicePtr>> list = std::vector<ServicePtr>(d.services.begin(), d.services.end());
  if (d.list_error) list = fail(*d.list_error);
  return make_op(core, Result<std::shared_ptr<ServicesResult>>(
                           std::make_shared<FakeServicesResult>(d.status, std::move(list))));
}
Result<ConnectionStatus> FakeDevice::connection_status() {
  std::lock_guard lock(mutex_);
  return connection_.take();
}
Status FakeDevice::close() {
  std::lock_guard lock(mutex_);
  ++closes_;
  return {};
}

Status FakeSession::set_maintain_connection(bool on) {
  maintain_ = on;
  return {};
}
Status FakeSession::close() {
  ++closes_;
  return {};
}

// ---- FakePlatform --------------------------------------------------------------------

FakePlatform::FakePlatform() : core_(std::make_shared<FakeCore>()) {}

void FakePlatform::set_adapter_error(std::string text) {
  std::lock_guard lock(core_->mutex);
  core_->adapter_error = std::move(text);
  core_->adapter_missing = false;
}
void FakePlatform::set_no_adapter() {
  std::lock_guard lock(core_->mutex);
  core_->adapter_error.reset();
  core_->adapter_missing = true;
}
void FakePlatform::set_adapter_present() {
  std::lock_guard lock(core_->mutex);
  core_->adapter_error.reset();
  core_->adapter_missing = false;
}
void FakePlatform::set_radio(RadioState state) {
  std::lock_guard lock(core_->mutex);
  core_->radio_state = state;
  core_->radio_error.reset();
}
void FakePlatform::set_radio_error(std::string text) {
  std::lock_guard lock(core_->mutex);
  core_->radio_error = std::move(text);
}
void FakePlatform::set_radio_state_error(std::string text) {
  std::lock_guard lock(core_->mutex);
  core_->radio_state = fail(std::move(text));
}
void FakePlatform::set_watcher_create_error(std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  core_->watcher_create_error = std::move(text);
}
void FakePlatform::set_watcher_start_error(std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  core_->watcher_start_error = std::move(text);
}
void FakePlatform::on_watcher_start(std::function<void()> hook) {
  std::lock_guard lock(core_->mutex);
  core_->watcher_start_hook = std::move(hook);
}
int FakePlatform::watchers_started() const {
  std::lock_guard lock(core_->mutex);
  return core_->watchers_started;
}
int FakePlatform::watchers_stopped() const {
  std::lock_guard lock(core_->mutex);
  return core_->watchers_stopped;
}
int FakePlatform::watchers_running() const {
  std::lock_guard lock(core_->mutex);
  return static_cast<int>(core_->running.size());
}

void FakePlatform::advertise(const FakeAdvert& advert) {
  std::vector<std::shared_ptr<FakeWatcher>> running;
  {
    std::lock_guard lock(core_->mutex);
    running = core_->running;
  }
  auto args = std::make_shared<FakeAdvertArgs>(advert);
  for (auto& w : running) w->deliver(args);
}
void FakePlatform::advertise_missing_args() {
  std::vector<std::shared_ptr<FakeWatcher>> running;
  {
    std::lock_guard lock(core_->mutex);
    running = core_->running;
  }
  for (auto& w : running) w->deliver(nullptr);
}

void FakePlatform::add_device(uint64_t address, FakeDevicePtr device) {
  device->adopt(core_);
  std::lock_guard lock(core_->mutex);
  core_->devices.insert_or_assign(address, std::move(device));
}
void FakePlatform::set_device_error(uint64_t address, std::string text) {
  std::lock_guard lock(core_->mutex);
  core_->devices.insert_or_assign(address, fail(std::move(text)));
}
void FakePlatform::set_session_error(std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  core_->session_error = std::move(text);
}
std::vector<std::shared_ptr<FakeSession>> FakePlatform::sessions() const {
  std::lock_guard lock(core_->mutex);
  return core_->sessions;
}
void FakePlatform::set_buffer_error(std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  core_->buffer_error = std::move(text);
}
void FakePlatform::set_read_error(std::optional<std::string> text) {
  std::lock_guard lock(core_->mutex);
  core_->read_error = std::move(text);
}
void FakePlatform::set_async_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(core_->mutex);
  core_->delay = delay;
}
void FakePlatform::set_paired_names(std::optional<Result<PairedNames>> names) {
  std::lock_guard lock(core_->mutex);
  core_->paired = std::move(names);
}
int FakePlatform::init_thread_calls() const { return core_->init_calls.load(); }

void FakePlatform::init_thread() { ++core_->init_calls; }

Async<std::shared_ptr<Adapter>> FakePlatform::get_default_adapter_async() {
  Result<std::shared_ptr<Adapter>> result = std::shared_ptr<Adapter>();
  {
    std::lock_guard lock(core_->mutex);
    if (core_->adapter_error)
      result = fail(*core_->adapter_error);
    else if (!core_->adapter_missing)
      result = std::shared_ptr<Adapter>(std::make_shared<FakeAdapter>(core_));
  }
  return core_->op(std::move(result));
}

Result<std::shared_ptr<Watcher>> FakePlatform::create_watcher() {
  std::lock_guard lock(core_->mutex);
  if (core_->watcher_create_error) return fail(*core_->watcher_create_error);
  return std::shared_ptr<Watcher>(std::make_shared<FakeWatcher>(core_));
}

Async<DevicePtr> FakePlatform::device_from_address_async(uint64_t address) {
  Result<DevicePtr> result = DevicePtr();
  {
    std::lock_guard lock(core_->mutex);
    if (auto it = core_->devices.find(address); it != core_->devices.end()) {
      if (it->second.ok())
        result = DevicePtr(it->second.value());
      else
        result = it->second.take_error();
    }
  }
  return core_->op(std::move(result));
}

Async<SessionPtr> FakePlatform::session_from_device_id_async(const std::string& device_id) {
  Result<SessionPtr> result = SessionPtr();
  {
    std::lock_guard lock(core_->mutex);
    if (core_->session_error) {
      result = fail(*core_->session_error);
    } else {
      auto session = std::make_shared<FakeSession>(device_id);
      core_->sessions.push_back(session);
      result = SessionPtr(session);
    }
  }
  return core_->op(std::move(result));
}

Result<BufferPtr> FakePlatform::create_buffer(std::span<const uint8_t> bytes) {
  std::lock_guard lock(core_->mutex);
  if (core_->buffer_error) return fail(*core_->buffer_error);
  return BufferPtr(std::make_shared<ByteBuffer>(Bytes(bytes.begin(), bytes.end())));
}

Result<std::vector<uint8_t>> FakePlatform::read_buffer(const BufferPtr& buffer) {
  {
    std::lock_guard lock(core_->mutex);
    if (core_->read_error) return fail(*core_->read_error);
  }
  auto* bytes = dynamic_cast<ByteBuffer*>(buffer.get());
  if (!bytes) return fail("not a buffer of this platform");
  return bytes->bytes;
}

std::optional<Result<PairedNames>> FakePlatform::paired_device_names() {
  std::lock_guard lock(core_->mutex);
  return core_->paired;
}

}  // namespace chair::test

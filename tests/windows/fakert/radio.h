// The advertisement watcher of the fake runtime, which the world keeps while it is started.
#pragma once

#include <map>
#include <mutex>

#include "object.h"

namespace chair::fakert {

class FakeWatcher final : public Object<FakeWatcher, abi::IBluetoothLEAdvertisementWatcher> {
 public:
  FakeWatcher();

  HRESULT STDMETHODCALLTYPE get_MinSamplingInterval(INT64*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_MaxSamplingInterval(INT64*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_MinOutOfRangeTimeout(INT64*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_MaxOutOfRangeTimeout(INT64*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_Status(INT32* value) override;
  HRESULT STDMETHODCALLTYPE get_ScanningMode(INT32* value) override;
  HRESULT STDMETHODCALLTYPE put_ScanningMode(INT32 value) override;
  HRESULT STDMETHODCALLTYPE
  get_SignalStrengthFilter(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_SignalStrengthFilter(IInspectable*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_AdvertisementFilter(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_AdvertisementFilter(IInspectable*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE Start() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE add_Received(abi::IReceivedHandler* handler, EventRegistrationToken* token) override;
  HRESULT STDMETHODCALLTYPE remove_Received(EventRegistrationToken token) override;
  HRESULT STDMETHODCALLTYPE add_Stopped(abi::IStoppedHandler* handler, EventRegistrationToken* token) override;
  HRESULT STDMETHODCALLTYPE remove_Stopped(EventRegistrationToken token) override;

  // Called on the events thread.
  void deliver(abi::IBluetoothLEAdvertisementReceivedEventArgs* args);
  void deliver_stopped(INT32 error);
  // The radio went: the watcher ends as Aborted and says why through Stopped.
  void abort();

 private:
  std::mutex mutex_;
  INT32 status_ = 0;  // Created
  INT32 mode_ = 0;    // Passive
  std::map<int64_t, Com<abi::IReceivedHandler>> received_;
  std::map<int64_t, Com<abi::IStoppedHandler>> stopped_;
};

// The factory of a Windows.Devices.Bluetooth adapter or advertisement class, or null.
IInspectable* radio_factory(const std::wstring& class_name);

}  // namespace chair::fakert

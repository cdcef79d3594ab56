// Event handlers handed to the runtime (TypedEventHandler<Sender, Args>), which calls them on
// threads of its own.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include "ble/winrt/runtime.h"

namespace chair::ble::winrt {

template <class Sender, class Args>
class EventDelegate final : public abi::ITypedEventHandler<Sender, Args> {
 public:
  // A new delegate with one reference, which the returned holder owns.
  static Com<EventDelegate> make(const GUID& iid, std::function<void(Args*)> body) {
    return Com<EventDelegate>(new EventDelegate(iid, std::move(body)));
  }

  // No call starts once this returns; one under way runs to its end. The runtime may still
  // deliver an event it had in hand before the registration went, hence the flag.
  void end() { ended_.store(true); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    // Agile: the runtime may call us on any thread without marshalling.
    if (IsEqualGUID(riid, abi::IID_IUnknown) || IsEqualGUID(riid, iid_) || IsEqualGUID(riid, abi::IID_IAgileObject)) {
      *out = static_cast<abi::ITypedEventHandler<Sender, Args>*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(Sender*, Args* args) override {
    prepare_thread();
    if (ended_.load() || args == nullptr) return S_OK;
    try {
      body_(args);
    } catch (...) {
      // A failing handler ends this one call, never the runtime's thread.
    }
    return S_OK;
  }

 private:
  EventDelegate(const GUID& iid, std::function<void(Args*)> body) : iid_(iid), body_(std::move(body)) {}
  ~EventDelegate() = default;

  const GUID iid_;
  std::atomic<ULONG> refs_{1};
  std::atomic<bool> ended_{false};
  std::function<void(Args*)> body_;
};

}  // namespace chair::ble::winrt

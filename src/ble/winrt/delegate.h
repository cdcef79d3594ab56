// Event handlers handed to the runtime (TypedEventHandler<Sender, Args>), which calls them on
// threads of its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ble/winrt/runtime.h"

namespace chair::ble::winrt {

template <class Sender, class Args>
class EventDelegate final : public abi::ITypedEventHandler<Sender, Args> {
 public:
  // A new delegate with one reference, which the returned holder owns.
  static Com<EventDelegate> make(const GUID& iid, std::function<void(Args*)> body) {
    return Com<EventDelegate>(new EventDelegate(iid, std::move(body)));
  }

  // Once this returns no call runs any more, and none starts: calls under way on other
  // threads are waited for (one on this thread, the handler ending its own registration,
  // is not). The runtime may still deliver an event it had in hand before the registration
  // went; it finds the delegate ended.
  void end() {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    ended_ = true;
    idle_.wait(lock, [&] {
      return std::all_of(running_.begin(), running_.end(), [&](std::thread::id id) { return id == self; });
    });
  }

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
    if (args == nullptr) return S_OK;
    const auto self = std::this_thread::get_id();
    {
      std::lock_guard lock(mutex_);
      if (ended_) return S_OK;
      running_.push_back(self);
    }
    try {
      body_(args);
    } catch (...) {
      // A failing handler ends this one call, never the runtime's thread.
    }
    {
      std::lock_guard lock(mutex_);
      running_.erase(std::find(running_.begin(), running_.end(), self));
    }
    idle_.notify_all();
    return S_OK;
  }

 private:
  EventDelegate(const GUID& iid, std::function<void(Args*)> body) : iid_(iid), body_(std::move(body)) {}
  ~EventDelegate() = default;

  const GUID iid_;
  std::atomic<ULONG> refs_{1};
  std::function<void(Args*)> body_;
  std::mutex mutex_;
  std::condition_variable idle_;
  bool ended_ = false;
  std::vector<std::thread::id> running_;  // threads inside body_ right now
};

}  // namespace chair::ble::winrt

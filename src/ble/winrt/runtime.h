// What every part of the backend needs from the Windows Runtime: owned interface pointers,
// strings, error texts, the apartment of the calling thread, activation factories and the
// byte buffers of the storage streams.
#pragma once

#include <windows.h>
#include <winstring.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ble/platform/platform.h"
#include "ble/winrt/activation.h"
#include "ble/winrt/winrt_abi.h"
#include "common/result.h"

namespace chair::ble::winrt {

// One counted reference to an interface, given back when the holder goes.
template <class T>
class Com {
 public:
  Com() = default;
  // Takes over a reference the caller already owns.
  explicit Com(T* p) : p_(p) {}
  Com(const Com& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Com(Com&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Com& operator=(Com o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Com() {
    if (p_) p_->Release();
  }
  static Com add_ref(T* p) {
    if (p) p->AddRef();
    return Com(p);
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For an out parameter: whatever was held is released first.
  T** put() {
    *this = Com();
    return &p_;
  }

  template <class U>
  HRESULT query(const GUID& iid, Com<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, reinterpret_cast<void**>(out.put()));
  }

 private:
  T* p_ = nullptr;
};

// An HSTRING the holder owns.
class HString {
 public:
  HString() = default;
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  ~HString() {
    if (h_) WindowsDeleteString(h_);
  }
  HSTRING* put() { return &h_; }
  std::string to_utf8() const;

 private:
  HSTRING h_ = nullptr;
};

// "<system message> (0x8007001F)", or "error 0x..." when the system has no text for it.
std::string hresult_text(HRESULT hr);
inline Error hr_error(HRESULT hr) { return fail(hresult_text(hr)); }

// Joins the calling thread to the multithreaded apartment, once per thread; every entry
// point of the backend and every callback from the runtime calls it first. It is never
// left again: the threads that call in are detached ones without a place to do so.
void prepare_thread();

Uuid to_uuid(const GUID& g);

// The activation factory of a runtime class, asked for once per process and kept: the
// lookup goes through the class registry, and these factories may be used from any
// thread. Kept per class: several classes hand out the same factory interface
// (IActivationFactory). A failed lookup is not remembered, so a later call asks again.
template <class I>
Result<Com<I>> factory(const wchar_t* class_name, const GUID& iid) {
  static std::mutex mutex;
  static std::map<std::wstring, I*> cached;
  {
    std::lock_guard lock(mutex);
    if (auto it = cached.find(class_name); it != cached.end()) return Com<I>::add_ref(it->second);
  }
  Com<I> found;
  HRESULT hr = activation_factory(class_name, iid, reinterpret_cast<void**>(found.put()));
  if (FAILED(hr)) return hr_error(hr);
  if (!found) return hr_error(E_NOINTERFACE);
  std::lock_guard lock(mutex);
  if (cached.emplace(class_name, found.get()).second) found->AddRef();  // kept for the life of the process
  return found;
}

// A new instance of a runtime class with a default constructor, as interface `iid`.
template <class I>
Result<Com<I>> activate(const wchar_t* class_name, const GUID& iid) {
  auto f = factory<abi::IActivationFactory>(class_name, abi::IID_IActivationFactory);
  if (!f) return f.take_error();
  Com<IInspectable> instance;
  HRESULT hr = (*f)->ActivateInstance(instance.put());
  if (FAILED(hr)) return hr_error(hr);
  Com<I> out;
  hr = instance.query(iid, out);
  if (FAILED(hr)) return hr_error(hr);
  return out;
}

// The bytes in a buffer of their own (data writer: write the bytes, detach the buffer).
Result<Com<abi::IBuffer>> make_buffer(std::span<const uint8_t> bytes);
// Every byte of a buffer (data reader: from the buffer, read what is unconsumed).
Result<std::vector<uint8_t>> read_buffer(abi::IBuffer* buffer);

}  // namespace chair::ble::winrt

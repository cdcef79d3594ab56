// How the backend waits for a runtime operation: it reads the operation's status every 10 ms
// while it is Started, at most 2001 reads (about 20 s), then fetches the result whatever the
// last status was. A failed operation gives its own error code; an empty result is an error.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "ble/winrt/runtime.h"

namespace chair::ble::winrt {

inline constexpr auto kAsyncPollStep = std::chrono::milliseconds(10);
inline constexpr int kAsyncMaxReads = 2001;
inline constexpr const char* kNoResultText = "the operation returned no result";
inline constexpr const char* kClosedText = "the connection was closed";

// What an operation's result becomes here: an owned reference for interfaces, the value
// itself for enumerations.
template <class T>
struct AsyncValue {
  using type = T;
  static Result<T> take(T raw) { return raw; }
};
template <class I>
struct AsyncValue<I*> {
  using type = Com<I>;
  static Result<Com<I>> take(I* raw) {
    if (!raw) return fail(kNoResultText);
    return Com<I>(raw);
  }
};

// Takes over `raw`, the operation a call returned together with `started`. When `closed`
// becomes true while the operation runs, it is cancelled and the wait ends with an error at
// once: a connection closed under a caller does not keep that caller for 20 s.
template <class T>
Result<typename AsyncValue<T>::type> async_get(HRESULT started, abi::IAsyncOperation<T>* raw,
                                               const std::atomic<bool>* closed = nullptr) {
  Com<abi::IAsyncOperation<T>> op(raw);
  if (FAILED(started)) return hr_error(started);
  if (!op) return hr_error(E_POINTER);
  Com<IAsyncInfo> info;
  const HRESULT info_hr = op.query(abi::IID_IAsyncInfo, info);
  if (FAILED(info_hr)) return hr_error(info_hr);
  for (int reads = 1;; ++reads) {
    ::AsyncStatus status = ::AsyncStatus::Started;
    const HRESULT hr = info->get_Status(&status);
    if (FAILED(hr)) return hr_error(hr);
    if (status != ::AsyncStatus::Started || reads >= kAsyncMaxReads) break;
    if (closed && closed->load()) {
      (void)info->Cancel();
      return fail(kClosedText);
    }
    std::this_thread::sleep_for(kAsyncPollStep);
  }
  T result{};
  HRESULT hr = op->GetResults(&result);
  if (FAILED(hr)) {
    // GetResults only says that there is no result; a failed operation says why through
    // its error code.
    HRESULT code = S_OK;
    if (SUCCEEDED(info->get_ErrorCode(&code)) && FAILED(code)) hr = code;
    return hr_error(hr);
  }
  return AsyncValue<T>::take(result);
}

}  // namespace chair::ble::winrt

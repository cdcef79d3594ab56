// IAsyncOperation<T> of the fake runtime: Started until the runtime completes it, then
// Completed with a result, Error with an error code, or Canceled; the completion handler is
// called once, whichever way it ended.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "object.h"

namespace chair::fakert {

// Operations and vectors are parameterised interfaces that nobody asks for by identifier.
template <class T>
struct Iid<abi::IAsyncOperation<T>> {
  static const GUID& get() {
    static const GUID none{};
    return none;
  }
};

void count_status_read(const std::string& call);

// The result type's ownership: interface results hold one reference until handed out.
template <class T>
struct ResultSlot {
  static void keep(T) {}
  static void give(T) {}
  static void drop(T) {}
};
template <class I>
struct ResultSlot<I*> {
  static void keep(I* p) {
    if (p) p->AddRef();
  }
  static void give(I* p) {
    if (p) p->AddRef();
  }
  static void drop(I* p) {
    if (p) p->Release();
  }
};

template <class T>
class AsyncOperation final : public Object<AsyncOperation<T>, abi::IAsyncOperation<T>, IAsyncInfo> {
  using Base = Object<AsyncOperation<T>, abi::IAsyncOperation<T>, IAsyncInfo>;
  using Handler = abi::IAsyncOperationCompletedHandler<T>;

 public:
  explicit AsyncOperation(std::string call) : Base("IAsyncOperation"), call_(std::move(call)) {}
  ~AsyncOperation() override { ResultSlot<T>::drop(result_); }

  // `result` is borrowed; the operation takes its own reference.
  void complete(T result) { finish(::AsyncStatus::Completed, result, S_OK); }
  void error(HRESULT hr) { finish(::AsyncStatus::Error, T{}, hr); }

  HRESULT STDMETHODCALLTYPE put_Completed(Handler* handler) override {
    if (!handler) return E_POINTER;
    ::AsyncStatus status;
    {
      std::lock_guard lock(mutex_);
      if (handler_) return kIllegalDelegateAssignment;
      handler_ = Com<Handler>::add_ref(handler);
      status = status_;
      if (status == ::AsyncStatus::Started) return S_OK;
    }
    // Already over: the handler is called at once, as the real runtime does.
    (void)handler->Invoke(this, status);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Completed(Handler** handler) override {
    if (!handler) return E_POINTER;
    std::lock_guard lock(mutex_);
    *handler = handler_.get();
    if (*handler) (*handler)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResults(T* results) override {
    if (!results) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (closed_) return kIllegalMethodCall;
    switch (status_) {
      case ::AsyncStatus::Completed:
        ResultSlot<T>::give(result_);
        *results = result_;
        return S_OK;
      case ::AsyncStatus::Error: return error_;
      case ::AsyncStatus::Canceled: return kIllegalMethodCall;
      default: return kIllegalMethodCall;
    }
  }

  HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) override {
    if (!id) return E_POINTER;
    *id = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Status(::AsyncStatus* status) override {
    if (!status) return E_POINTER;
    count_status_read(call_);
    std::lock_guard lock(mutex_);
    if (closed_) return kIllegalMethodCall;
    *status = status_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) override {
    if (!code) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (closed_) return kIllegalMethodCall;
    *code = status_ == ::AsyncStatus::Canceled ? E_ABORT : error_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel() override {
    finish(::AsyncStatus::Canceled, T{}, S_OK);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    std::lock_guard lock(mutex_);
    if (status_ == ::AsyncStatus::Started) return kIllegalStateChange;
    closed_ = true;
    return S_OK;
  }

 private:
  void finish(::AsyncStatus status, T result, HRESULT hr) {
    Com<Handler> handler;
    {
      std::lock_guard lock(mutex_);
      if (status_ != ::AsyncStatus::Started) return;
      status_ = status;
      ResultSlot<T>::keep(result);
      result_ = result;
      error_ = hr;
      handler = std::move(handler_);
    }
    if (handler) (void)handler->Invoke(this, status);
  }

  const std::string call_;
  std::mutex mutex_;
  ::AsyncStatus status_ = ::AsyncStatus::Started;
  T result_{};
  HRESULT error_ = S_OK;
  bool closed_ = false;
  Com<Handler> handler_;
};

}  // namespace chair::fakert

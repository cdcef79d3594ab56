// IVectorView<T> over a fixed list: what the runtime hands out for service, characteristic,
// identifier and manufacturer-data lists.
#pragma once

#include <string>
#include <vector>

#include "async.h"
#include "object.h"

namespace chair::fakert {

template <class T>
struct Iid<abi::IVectorView<T>> {
  static const GUID& get() {
    static const GUID none{};
    return none;
  }
};

template <class T>
class VectorView final : public Object<VectorView<T>, abi::IVectorView<T>> {
  using Base = Object<VectorView<T>, abi::IVectorView<T>>;

 public:
  // Takes one reference of every interface element.
  explicit VectorView(std::vector<T> items) : Base("IVectorView"), items_(std::move(items)) {}
  ~VectorView() override {
    for (auto item : items_) ResultSlot<T>::drop(item);
  }

  HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, T* item) override {
    if (!item) return E_POINTER;
    if (index >= items_.size()) return kBounds;
    ResultSlot<T>::give(items_[index]);
    *item = items_[index];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) override {
    if (!size) return E_POINTER;
    *size = static_cast<UINT32>(items_.size());
    return S_OK;
  }

 private:
  std::vector<T> items_;
};

}  // namespace chair::fakert

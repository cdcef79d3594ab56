// IVectorView<T> (or IVector<T>, read the same way) over a fixed list: what the runtime hands
// out for service, characteristic, identifier and manufacturer-data lists.
#pragma once

#include <string>
#include <type_traits>
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
struct Iid<abi::IVector<T>> {
  static const GUID& get() {
    static const GUID none{};
    return none;
  }
};

template <class T, class I = abi::IVectorView<T>>
class VectorView final : public Object<VectorView<T, I>, I> {
  using Base = Object<VectorView<T, I>, I>;

 public:
  // Takes one reference of every interface element.
  explicit VectorView(std::vector<T> items)
      : Base(std::is_same_v<I, abi::IVector<T>> ? "IVector" : "IVectorView"), items_(std::move(items)) {}
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

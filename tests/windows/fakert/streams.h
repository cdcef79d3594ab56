// The byte buffers of the fake runtime, for the parts that make and read them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "object.h"

namespace chair::fakert {

// Answered only by the fake's own buffers: how the runtime finds their bytes again.
inline constexpr GUID kIidFakeBuffer =
    abi::make_guid(0x5a0c1f00, 0x0b1e, 0x4c4a, 0x9a, 0x1e, 0xfa, 0x4e, 0xb0, 0xff, 0xe2, 0x01);

class FakeBuffer final : public Object<FakeBuffer, abi::IBuffer> {
 public:
  explicit FakeBuffer(std::vector<uint8_t> bytes);
  HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) override;
  HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) override;
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 protected:
  void* extra_interface(REFIID riid) override;

 private:
  const std::vector<uint8_t> bytes_;
};

// The bytes of a buffer this runtime made; nullopt for any other.
std::optional<std::vector<uint8_t>> buffer_bytes(abi::IBuffer* buffer);

// The factory of a Windows.Storage.Streams class, or null.
IInspectable* streams_factory(const std::wstring& class_name);

}  // namespace chair::fakert

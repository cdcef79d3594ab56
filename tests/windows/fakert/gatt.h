// The GATT characteristic of the fake runtime, which the world names as the sender of
// notifications.
#pragma once

#include <memory>
#include <string>

#include "object.h"
#include "world.h"

namespace chair::fakert {

class FakeCharacteristic final : public Object<FakeCharacteristic, abi::IGattCharacteristic> {
 public:
  FakeCharacteristic(std::shared_ptr<DeviceHandle> device, CharacteristicEntry entry);

  HRESULT STDMETHODCALLTYPE GetDescriptors(GUID,
                                           IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_CharacteristicProperties(UINT32* value) override;
  HRESULT STDMETHODCALLTYPE get_ProtectionLevel(INT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_ProtectionLevel(INT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_UserDescription(HSTRING*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_Uuid(GUID* value) override;
  HRESULT STDMETHODCALLTYPE get_AttributeHandle(UINT16* value) override;
  HRESULT STDMETHODCALLTYPE get_PresentationFormats(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT
      STDMETHODCALLTYPE ReadValueAsync(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      ReadValueWithCacheModeAsync(INT32, IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteValueAsync(abi::IBuffer* value, abi::IAsyncOperation<INT32>** operation) override;
  HRESULT STDMETHODCALLTYPE WriteValueWithOptionAsync(abi::IBuffer* value, INT32 option,
                                                      abi::IAsyncOperation<INT32>** operation) override;
  HRESULT STDMETHODCALLTYPE ReadClientCharacteristicConfigurationDescriptorAsync(IInspectable**) override
      FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteClientCharacteristicConfigurationDescriptorAsync(INT32 value,
                                                            abi::IAsyncOperation<INT32>** operation) override;
  HRESULT STDMETHODCALLTYPE add_ValueChanged(abi::IValueChangedHandler* handler,
                                             EventRegistrationToken* token) override;
  HRESULT STDMETHODCALLTYPE remove_ValueChanged(EventRegistrationToken token) override;

 private:
  const std::shared_ptr<DeviceHandle> device_;
  const CharacteristicEntry entry_;
};

// The factory of a Bluetooth LE device or GATT session class, or null.
IInspectable* gatt_factory(const std::wstring& class_name);

}  // namespace chair::fakert

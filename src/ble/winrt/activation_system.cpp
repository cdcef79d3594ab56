// Activation through the system's runtime: the class registry of the Windows Runtime.
#include <roapi.h>
#include <winstring.h>

#include <cwchar>

#include "ble/winrt/activation.h"

namespace chair::ble::winrt {

HRESULT activation_factory(const wchar_t* class_name, REFIID iid, void** factory) {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  HSTRING name = nullptr;
  HRESULT hr = WindowsCreateString(class_name, static_cast<UINT32>(wcslen(class_name)), &name);
  if (FAILED(hr)) return hr;
  hr = RoGetActivationFactory(name, iid, factory);
  WindowsDeleteString(name);
  return hr;
}

}  // namespace chair::ble::winrt

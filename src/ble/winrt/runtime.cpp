#include "ble/winrt/runtime.h"

#include <objbase.h>

#include <cstdio>

#include "sys/win_text.h"

namespace chair::ble::winrt {

std::string HString::to_utf8() const {
  UINT32 len = 0;
  const wchar_t* raw = WindowsGetStringRawBuffer(h_, &len);
  return raw ? sys::wide_to_utf8(std::wstring_view(raw, len)) : std::string();
}

std::string hresult_text(HRESULT hr) {
  std::string out = sys::system_message(static_cast<unsigned long>(hr));
  while (!out.empty() && out.back() == '.') out.pop_back();
  if (out.empty() && hr == REGDB_E_CLASSNOTREG) {
    // What a system without the Windows Runtime Bluetooth classes answers; some systems
    // have no message text for it.
    out = "Bluetooth LE classes not registered on this system";
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return out.empty() ? std::string("error ") + code : out + " (" + code + ")";
}

void prepare_thread() {
  thread_local bool prepared = false;
  if (prepared) return;
  prepared = true;
  // Already in an apartment (a thread the runtime itself runs us on, or one a caller set
  // up) is as good: the result does not matter.
  (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

Uuid to_uuid(const GUID& g) {
  Uuid u;
  u.bytes = {static_cast<uint8_t>(g.Data1 >> 24),
             static_cast<uint8_t>(g.Data1 >> 16),
             static_cast<uint8_t>(g.Data1 >> 8),
             static_cast<uint8_t>(g.Data1),
             static_cast<uint8_t>(g.Data2 >> 8),
             static_cast<uint8_t>(g.Data2),
             static_cast<uint8_t>(g.Data3 >> 8),
             static_cast<uint8_t>(g.Data3),
             g.Data4[0],
             g.Data4[1],
             g.Data4[2],
             g.Data4[3],
             g.Data4[4],
             g.Data4[5],
             g.Data4[6],
             g.Data4[7]};
  return u;
}

Result<Com<abi::IBuffer>> make_buffer(std::span<const uint8_t> bytes) {
  auto writer = activate<abi::IDataWriter>(L"Windows.Storage.Streams.DataWriter", abi::IID_IDataWriter);
  if (!writer) return writer.take_error();
  // WriteBytes takes a non-const pointer but only reads from it.
  HRESULT hr = (*writer)->WriteBytes(static_cast<UINT32>(bytes.size()), const_cast<BYTE*>(bytes.data()));
  if (FAILED(hr)) return hr_error(hr);
  Com<abi::IBuffer> buffer;
  hr = (*writer)->DetachBuffer(buffer.put());
  if (FAILED(hr)) return hr_error(hr);
  if (!buffer) return hr_error(E_POINTER);
  return buffer;
}

Result<std::vector<uint8_t>> read_buffer(abi::IBuffer* buffer) {
  auto statics = factory<abi::IDataReaderStatics>(L"Windows.Storage.Streams.DataReader", abi::IID_IDataReaderStatics);
  if (!statics) return statics.take_error();
  Com<abi::IDataReader> reader;
  HRESULT hr = (*statics)->FromBuffer(buffer, reader.put());
  if (FAILED(hr)) return hr_error(hr);
  if (!reader) return hr_error(E_POINTER);
  UINT32 n = 0;
  hr = reader->get_UnconsumedBufferLength(&n);
  if (FAILED(hr)) return hr_error(hr);
  std::vector<uint8_t> out(n);
  if (n > 0) {
    hr = reader->ReadBytes(n, out.data());
    if (FAILED(hr)) return hr_error(hr);
  }
  return out;
}

}  // namespace chair::ble::winrt

// Windows.Storage.Streams: the buffer, the data writer that fills one and the data reader that
// empties one.
#include <algorithm>
#include <cstring>

#include "streams.h"
#include "world.h"

namespace chair::fakert {

namespace {

class FakeDataWriter final : public Object<FakeDataWriter, abi::IDataWriter, abi::IClosable> {
 public:
  FakeDataWriter() : Object("DataWriter") {}

  HRESULT STDMETHODCALLTYPE get_UnstoredBufferLength(UINT32* value) override {
    if (!value) return E_POINTER;
    std::lock_guard lock(mutex_);
    *value = static_cast<UINT32>(bytes_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_UnicodeEncoding(INT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_UnicodeEncoding(INT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_ByteOrder(INT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_ByteOrder(INT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE WriteByte(BYTE value) override {
    return WriteBytes(1, &value);
  }
  HRESULT STDMETHODCALLTYPE WriteBytes(UINT32 length, BYTE* value) override {
    if (HRESULT hr = world().enter("DataWriter.WriteBytes(" + std::to_string(length) + ")"); FAILED(hr)) return hr;
    if (length > 0 && !value) return E_POINTER;
    std::lock_guard lock(mutex_);
    bytes_.insert(bytes_.end(), value, value + length);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteBuffer(abi::IBuffer*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteBufferRange(abi::IBuffer*, UINT32, UINT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteBoolean(boolean) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteGuid(GUID) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteInt16(INT16) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteInt32(INT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteInt64(INT64) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteUInt16(UINT16) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteUInt32(UINT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteUInt64(UINT64) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteSingle(FLOAT) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteDouble(DOUBLE) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteDateTime(INT64) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteTimeSpan(INT64) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      WriteString(HSTRING, UINT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      MeasureString(HSTRING, UINT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      StoreAsync(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      FlushAsync(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      DetachBuffer(abi::IBuffer** buffer) override {
    if (HRESULT hr = world().enter("DataWriter.DetachBuffer"); FAILED(hr)) return hr;
    if (!buffer) return E_POINTER;
    std::vector<uint8_t> bytes;
    {
      std::lock_guard lock(mutex_);
      bytes = std::exchange(bytes_, {});
    }
    *buffer = hand_out<abi::IBuffer>(make_buffer(std::move(bytes)));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  std::mutex mutex_;
  std::vector<uint8_t> bytes_;
};

class FakeDataReader final : public Object<FakeDataReader, abi::IDataReader, abi::IClosable> {
 public:
  explicit FakeDataReader(std::vector<uint8_t> bytes) : Object("DataReader"), bytes_(std::move(bytes)) {}

  HRESULT STDMETHODCALLTYPE get_UnconsumedBufferLength(UINT32* value) override {
    if (HRESULT hr = world().enter("DataReader.get_UnconsumedBufferLength"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    std::lock_guard lock(mutex_);
    *value = static_cast<UINT32>(bytes_.size() - consumed_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_UnicodeEncoding(INT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_UnicodeEncoding(INT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_ByteOrder(INT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_ByteOrder(INT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_InputStreamOptions(UINT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_InputStreamOptions(UINT32) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      ReadByte(BYTE* value) override {
    return ReadBytes(1, value);
  }
  HRESULT STDMETHODCALLTYPE ReadBytes(UINT32 length, BYTE* value) override {
    if (HRESULT hr = world().enter("DataReader.ReadBytes(" + std::to_string(length) + ")"); FAILED(hr)) return hr;
    if (length > 0 && !value) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (length > bytes_.size() - consumed_) return kBounds;
    std::memcpy(value, bytes_.data() + consumed_, length);
    consumed_ += length;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  std::mutex mutex_;
  std::vector<uint8_t> bytes_;
  size_t consumed_ = 0;
};

class DataReaderStatics final : public Object<DataReaderStatics, abi::IDataReaderStatics> {
 public:
  DataReaderStatics() : Object("DataReaderStatics", false) {}
  HRESULT STDMETHODCALLTYPE FromBuffer(abi::IBuffer* buffer, abi::IDataReader** reader) override {
    if (HRESULT hr = world().enter("DataReader.FromBuffer"); FAILED(hr)) return hr;
    if (!buffer || !reader) return E_POINTER;
    auto bytes = buffer_bytes(buffer);
    if (!bytes) return E_INVALIDARG;
    *reader = hand_out<abi::IDataReader>(FakeDataReader::make(std::move(*bytes)));
    return S_OK;
  }
};

class DataWriterFactory final : public Object<DataWriterFactory, abi::IActivationFactory> {
 public:
  DataWriterFactory() : Object("DataWriterFactory", false) {}
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    if (HRESULT hr = world().enter("DataWriter.ActivateInstance"); FAILED(hr)) return hr;
    if (!instance) return E_POINTER;
    *instance = hand_out<abi::IDataWriter>(FakeDataWriter::make());
    return S_OK;
  }
};

}  // namespace

FakeBuffer::FakeBuffer(std::vector<uint8_t> bytes) : Object("Buffer"), bytes_(std::move(bytes)) {}

HRESULT FakeBuffer::get_Capacity(UINT32* value) {
  if (!value) return E_POINTER;
  *value = static_cast<UINT32>(bytes_.size());
  return S_OK;
}

HRESULT FakeBuffer::get_Length(UINT32* value) {
  if (!value) return E_POINTER;
  *value = static_cast<UINT32>(bytes_.size());
  return S_OK;
}

void* FakeBuffer::extra_interface(REFIID riid) {
  return IsEqualGUID(riid, kIidFakeBuffer) ? static_cast<abi::IBuffer*>(this) : nullptr;
}

Com<abi::IBuffer> make_buffer(std::vector<uint8_t> bytes) {
  auto buffer = FakeBuffer::make(std::move(bytes));
  return Com<abi::IBuffer>::add_ref(buffer.get());
}

std::optional<std::vector<uint8_t>> buffer_bytes(abi::IBuffer* buffer) {
  Com<abi::IBuffer> own;
  if (!buffer || FAILED(buffer->QueryInterface(kIidFakeBuffer, reinterpret_cast<void**>(own.put()))))
    return std::nullopt;
  return static_cast<FakeBuffer*>(own.get())->bytes();
}

IInspectable* streams_factory(const std::wstring& class_name) {
  static auto* writer = new DataWriterFactory();
  static auto* reader = new DataReaderStatics();
  if (class_name == L"Windows.Storage.Streams.DataWriter") return static_cast<abi::IActivationFactory*>(writer);
  if (class_name == L"Windows.Storage.Streams.DataReader") return static_cast<abi::IDataReaderStatics*>(reader);
  return nullptr;
}

}  // namespace chair::fakert

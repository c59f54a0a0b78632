#include "datafiles/XmlLiteFile.h"

#include <shlwapi.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "common/Result.h"
#include "common/Unique.h"
#include "datafiles/DataFiles.h"

namespace tessary {
namespace {

using CreateXmlReaderEntry = HRESULT(WINAPI*)(REFIID riid, void** object, IMalloc* malloc);

constexpr LONGLONG kMaxFileBytes = 256LL * 1024 * 1024;

// Null: not looked up yet; kUnavailable: looked up and missing.
void* g_createReader = nullptr;
char g_unavailableTag;
void* const kUnavailable = &g_unavailableTag;

void* LookUpCreateReader() noexcept {
  wchar_t path[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || !::PathAppendW(path, L"xmllite.dll")) {
    return kUnavailable;
  }
  HMODULE library = ::LoadLibraryExW(path, nullptr, 0);
  if (!library) return kUnavailable;
  FARPROC entry = ::GetProcAddress(library, "CreateXmlReader");
  if (!entry) {
    ::FreeLibrary(library);
    return kUnavailable;
  }
  void* found = reinterpret_cast<void*>(entry);
  // Publish once. The winner's reference keeps the library loaded for the
  // life of the process: readers made from it may be in use on any thread,
  // and unloading from our own detach is not safe. A loser drops its own.
  void* previous = ::InterlockedCompareExchangePointer(&g_createReader, found, nullptr);
  if (previous) {
    ::FreeLibrary(library);
    return previous;
  }
  return found;
}

CreateXmlReaderEntry CreateReaderEntry() noexcept {
  void* entry = ::InterlockedCompareExchangePointer(&g_createReader, nullptr, nullptr);
  if (!entry) {
    entry = LookUpCreateReader();
    if (entry == kUnavailable) {
      // Another thread may have found it meanwhile: its answer stands.
      if (void* previous =
              ::InterlockedCompareExchangePointer(&g_createReader, kUnavailable, nullptr)) {
        entry = previous;
      }
    }
  }
  if (entry == kUnavailable) return nullptr;
  return reinterpret_cast<CreateXmlReaderEntry>(entry);
}

}  // namespace

ULONG WholeCharacterStream::ReadLength(ULONG asked) const noexcept {
  const size_t left = bytes_.size() - at_;
  size_t length = asked < left ? asked : left;
  if (length == left) return static_cast<ULONG>(length);
  size_t cut = length;
  // A comment holds no "--", so the last "<!--" of the read is the one it
  // could end inside. One inside a section or instruction ends the read
  // early for nothing, which costs a read.
  const std::string_view read(bytes_.data() + at_, length);
  const size_t comment = read.rfind("<!--");
  if (comment != std::string_view::npos && comment > 0) {
    const size_t end = read.find("-->", comment + 4);
    if (end == std::string_view::npos || end + 3 > length) cut = comment;
  }
  while (cut > 0 && static_cast<unsigned char>(bytes_[at_ + cut - 1]) >= 0x80) --cut;
  return static_cast<ULONG>(cut > 0 ? cut : length);
}

STDMETHODIMP WholeCharacterStream::Read(void* into, ULONG asked, ULONG* read) noexcept {
  if (read) *read = 0;
  if (!into && asked) return STG_E_INVALIDPOINTER;
  const ULONG length = ReadLength(asked);
  if (length) std::memcpy(into, bytes_.data() + at_, length);
  at_ += length;
  if (read) *read = length;
  // Short of the end a shorter read is still a whole answer.
  return at_ == bytes_.size() && length < asked ? S_FALSE : S_OK;
}

STDMETHODIMP WholeCharacterStream::Write(const void*, ULONG, ULONG* written) noexcept {
  if (written) *written = 0;
  return STG_E_ACCESSDENIED;
}

HRESULT XmlLiteFile::Open(const wchar_t* path) {
  reader_.Reset();
  stream_.Reset();
  if (!path) return E_INVALIDARG;
  const CreateXmlReaderEntry create = CreateReaderEntry();
  if (!create) return E_NOTIMPL;
  // Data files beyond the limit are not ours: not for this reader to hold whole.
  std::string bytes;
  RETURN_IF_FAILED(ReadWholeFile(path, kMaxFileBytes, bytes));
  Microsoft::WRL::ComPtr<WholeCharacterStream> stream;
  RETURN_IF_FAILED(MakeComObject(stream, std::move(bytes)));
  Microsoft::WRL::ComPtr<IXmlReader> created;
  RETURN_IF_FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(created.GetAddressOf()),
                          nullptr));
  RETURN_IF_FAILED(created->SetInput(static_cast<ISequentialStream*>(stream.Get())));
  stream_ = std::move(stream);
  reader_ = std::move(created);
  nodes_ = 0;
  return S_OK;
}

HRESULT XmlLiteFile::Read(XmlNodeType& type) noexcept {
  type = XmlNodeType_None;
  if (!reader_) return E_UNEXPECTED;
  const HRESULT hr = reader_->Read(&type);
  if (hr != S_OK) return hr;
  if (type == XmlNodeType_None || ++nodes_ > stream_->Bytes().size() + 1) return kXmlReaderAstray;
  return S_OK;
}

const std::string& XmlLiteFile::Bytes() const noexcept {
  static const std::string none;
  return stream_ ? stream_->Bytes() : none;
}

}  // namespace tessary

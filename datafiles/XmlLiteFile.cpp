#include "datafiles/XmlLiteFile.h"

#include <shlwapi.h>

#include <utility>

#include "common/Result.h"

namespace tessary {
namespace {

using CreateXmlReaderEntry = HRESULT(WINAPI*)(REFIID riid, void** object, IMalloc* malloc);

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
      ::InterlockedCompareExchangePointer(&g_createReader, kUnavailable, nullptr);
    }
  }
  if (entry == kUnavailable) return nullptr;
  return reinterpret_cast<CreateXmlReaderEntry>(entry);
}

}  // namespace

HRESULT OpenXmlLiteFile(const wchar_t* path,
                        Microsoft::WRL::ComPtr<IXmlReader>& reader) noexcept {
  reader.Reset();
  if (!path) return E_INVALIDARG;
  const CreateXmlReaderEntry create = CreateReaderEntry();
  if (!create) return E_NOTIMPL;
  Microsoft::WRL::ComPtr<IStream> stream;
  RETURN_IF_FAILED(::SHCreateStreamOnFileW(path, STGM_READ | STGM_SHARE_DENY_NONE, &stream));
  Microsoft::WRL::ComPtr<IXmlReader> created;
  RETURN_IF_FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(created.GetAddressOf()),
                          nullptr));
  RETURN_IF_FAILED(created->SetInput(stream.Get()));
  reader = std::move(created);
  return S_OK;
}

}  // namespace tessary

#include "inventory/FileVersion.h"

#include <oleauto.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>

#include "common/Text.h"

namespace tessary {
namespace {

// The whole version resource of a file, freed on every path out.
class VersionBlock {
 public:
  bool Load(const wchar_t* path) noexcept {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    // Zeroed: whatever the platform leaves unwritten reads as nothing.
    data_.reset(new (std::nothrow) BYTE[size]());
    if (!data_) return false;
    size_ = size;
    return ::GetFileVersionInfoW(path, 0, size, data_.get()) != FALSE;
  }

  // Bytes of the block from `value` to its end; 0 when `value` lies outside.
  // A corrupt resource can make a query answer with a pointer or a length
  // beyond the block, so nothing is read past it.
  size_t BytesFrom(const void* value) const noexcept {
    const auto* at = static_cast<const BYTE*>(value);
    if (!at || at < data_.get() || at >= data_.get() + size_) return 0;
    return static_cast<size_t>(data_.get() + size_ - at);
  }

  bool Query(const wchar_t* subBlock, void** value, UINT* length) const noexcept {
    *value = nullptr;
    *length = 0;
    return ::VerQueryValueW(data_.get(), subBlock, value, length) != FALSE;
  }

 private:
  std::unique_ptr<BYTE[]> data_;
  size_t size_ = 0;
};

void FormatVersion(VersionText* out, DWORD high, DWORD low) noexcept {
  _snwprintf(*out, kVersionTextChars - 1, L"%ld.%ld.%ld.%ld", static_cast<long>(high >> 16),
             static_cast<long>(high & 0xFFFF), static_cast<long>(low >> 16),
             static_cast<long>(low & 0xFFFF));
  (*out)[kVersionTextChars - 1] = L'\0';
}

bool ReadFixed(const VersionBlock& block, VersionText* fileVersion,
               VersionText* productVersion) noexcept {
  void* value = nullptr;
  UINT length = 0;
  if (!block.Query(L"\\", &value, &length)) return false;
  if (length == 0) return true;
  // A corrupt resource may announce a root value too short for the block.
  // Its signature is not checked: the platform's own readers take the words
  // as they stand.
  if (length < sizeof(VS_FIXEDFILEINFO) || block.BytesFrom(value) < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fileVersion) {
    if (fixed->dwFileVersionMS == 0 && fixed->dwFileVersionLS == 0) return true;
    if ((*fileVersion)[0] == L'\0') {
      FormatVersion(fileVersion, fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    }
  }
  if (productVersion) {
    if (fixed->dwProductVersionMS == 0 && fixed->dwProductVersionLS == 0) return true;
    FormatVersion(productVersion, fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  }
  return true;
}

// Copies one string-table entry; a missing entry leaves `out` as it was.
void ReadStringEntry(const VersionBlock& block, WORD language, WORD codePage, const wchar_t* name,
                     VersionText* out) noexcept {
  wchar_t subBlock[50];
  _snwprintf(subBlock, 49, L"\\StringFileInfo\\%04x%04x\\%ls", language, codePage, name);
  subBlock[49] = L'\0';
  void* value = nullptr;
  UINT length = 0;
  if (!block.Query(subBlock, &value, &length)) return;
  const size_t chars = std::min<size_t>(length, block.BytesFrom(value) / sizeof(wchar_t));
  if (chars == 0 && length != 0) return;
  CopyBounded(*out, std::wstring_view(static_cast<const wchar_t*>(value), chars));
}

}  // namespace

bool ReadFixedFileVersion(const wchar_t* path, VersionText* fileVersion,
                          VersionText* productVersion) noexcept {
  VersionBlock block;
  if (!path || !block.Load(path)) return false;
  return ReadFixed(block, fileVersion, productVersion);
}

bool ReadVersionStrings(const wchar_t* path, VersionText* fileVersion,
                        VersionText* productVersion) noexcept {
  if (!path || !fileVersion || !productVersion) return false;
  wchar_t unquoted[MAX_PATH];
  if (path[0] == L'"') {
    std::wstring_view inner(path + 1);
    if (!inner.empty() && inner.back() == L'"') inner.remove_suffix(1);
    CopyBounded(unquoted, inner);
    path = unquoted;
  }
  VersionBlock block;
  if (!block.Load(path)) return false;

  void* table = nullptr;
  UINT tableBytes = 0;
  const UINT translations =
      block.Query(L"\\VarFileInfo\\Translation", &table, &tableBytes)
          ? static_cast<UINT>(std::min<size_t>(tableBytes, block.BytesFrom(table)) / 4)
          : 0;
  const auto* pairs = static_cast<const WORD*>(table);
  for (UINT i = 0; i < translations; ++i) {
    const WORD language = pairs[size_t{2} * i];
    const WORD codePage = pairs[size_t{2} * i + 1];
    ReadStringEntry(block, language, codePage, L"FileVersion", fileVersion);
    ReadStringEntry(block, language, codePage, L"ProductVersion", productVersion);
  }
  if (translations > 0 && (*fileVersion)[0] != L'\0' && (*productVersion)[0] != L'\0') {
    void* root = nullptr;
    UINT rootLength = 0;
    return block.Query(L"\\", &root, &rootLength);
  }
  // The same resource again: a missing string is filled from the fixed block.
  return ReadFixed(block, fileVersion, productVersion);
}

}  // namespace tessary

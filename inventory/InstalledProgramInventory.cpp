#include "inventory/InstalledProgramInventory.h"

#include <algorithm>
#include <new>
#include <string>

#include "common/Names.h"
#include "common/RegistryReader.h"
#include "common/Text.h"
#include "common/Unique.h"

namespace tessary {
namespace {

constexpr wchar_t kSlowInfoCache[] = L"SlowInfoCache";
constexpr DWORD kSlowInfoCacheBytes = 552;
constexpr DWORD kImagePathOffset = 28;
constexpr DWORD kImagePathEnd = kImagePathOffset + 260 * sizeof(wchar_t);
// Room for a value name, terminator included.
constexpr DWORD kValueNameChars = 16383;

bool IsDuplicate(const InstalledProgramRecord& a, const InstalledProgramRecord& b) noexcept {
  return SameIgnoringCase(a.displayName, b.displayName) &&
         SameIgnoringCase(a.displayVersion, b.displayVersion) &&
         SameIgnoringCase(a.parentDisplayName, b.parentDisplayName) &&
         SameIgnoringCase(a.publisher, b.publisher) &&
         SameIgnoringCase(a.uninstallString, b.uninstallString);
}

// Letters and every non-ASCII unit count alike, so texts equal under the
// ordinal case-insensitive comparison (whose upper-casing maps some non-ASCII
// letters to ASCII ones) always share a digest; digits, blanks and
// punctuation, which no upper-casing produces from anything else, tell
// texts apart.
uint64_t Digest(const InstalledProgramRecord& r) noexcept {
  uint64_t hash = 14695981039346656037ull;
  for (const wchar_t* field : {r.displayName, r.displayVersion, r.parentDisplayName, r.publisher,
                               r.uninstallString}) {
    for (const wchar_t* c = field; *c; ++c) {
      const bool letterLike = *c >= 0x80 || (*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z');
      hash = (hash ^ (letterLike ? 0xFFFFu : static_cast<unsigned>(*c))) * 1099511628211ull;
    }
    hash = (hash ^ 0x10000u) * 1099511628211ull;  // field boundary
  }
  return hash;
}

// Update entries ("KB123456", "kb123456") are not programs; the mixed-case
// forms are left alone on purpose.
bool IsUpdateEntry(const wchar_t* name) noexcept {
  return (name[0] == L'K' && name[1] == L'B') || (name[0] == L'k' && name[1] == L'b');
}

}  // namespace

// Walks one Uninstall key with one reused record buffer.
class InstalledProgramInventory::Enumerator {
 public:
  Enumerator(InstalledProgramInventory& owner, KeptEntryVisitor* visitor) noexcept
      : owner_(owner), visitor_(visitor) {}

  // `view` selects the registry view of the root, its subkeys and their
  // cache entries alike.
  void Run(HKEY root, REGSAM view, UninstallSource source) noexcept {
    const REGSAM access = KEY_READ | view;
    const REGSAM subkeyAccess = KEY_READ | SubkeyView(view);
    UniqueHkey uninstall;
    if (!OpenRegistryKey(root, kUninstallKeyPath, access, uninstall)) return;
    // Per-machine entries may keep their cache under HKCU; open its parent
    // once rather than once per program.
    const HKEY arpRoot =
        owner_.windowsVersionClass_ == WindowsVersionClass::kNt6x ? HKEY_CURRENT_USER : root;
    UniqueHkey arpCache;
    OpenRegistryKey(arpRoot, kArpCacheKeyPath, access, arpCache);

    record_ = {};
    record_.source = source;
    ForEachSubkeyName(
        uninstall.get(), UnreadableSubkey::kSkip, [&](const wchar_t* name, DWORD) noexcept {
          UniqueHkey subkey;
          if (IsUpdateEntry(name) || !ReadValues(uninstall.get(), name, subkeyAccess, subkey)) {
            return S_OK;
          }
          CopyBounded(record_.keyName, name);
          ReadArpImagePath(arpCache.get(), name, subkeyAccess);
          if (owner_.Add(record_) && visitor_) {
            visitor_->Kept(subkey.get(), owner_.Count() - 1);
          }
          return S_OK;
        });
  }

 private:
  // Leaves the entry open in `subkey`.
  bool ReadValues(HKEY uninstall, const wchar_t* name, REGSAM access, UniqueHkey& subkey) noexcept {
    if (!OpenRegistryKey(uninstall, name, access, subkey)) return false;
    DWORD values = 0;
    DWORD longestValueName = 0;
    if (::RegQueryInfoKeyW(subkey.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &values, &longestValueName, nullptr, nullptr,
                           nullptr) != ERROR_SUCCESS) {
      return false;
    }
    // A value name that does not fit the name buffer of a walk over the values
    // leaves the entry unreadable, whichever value it is.
    if (longestValueName >= kValueNameChars) return false;
    record_.displayName[0] = L'\0';
    record_.displayVersion[0] = L'\0';
    record_.publisher[0] = L'\0';
    record_.parentDisplayName[0] = L'\0';
    record_.uninstallString[0] = L'\0';
    record_.displayIcon[0] = L'\0';
    if (values == 0) return true;
    // Value names are unique regardless of case, and with every name known to
    // fit, asking for each wanted name finds exactly what a case-insensitive
    // walk over all names would, at a fraction of the registry round trips.
    reader_.Read(subkey.get(), kDisplayNameValue, record_.displayName);
    reader_.Read(subkey.get(), kDisplayVersionValue, record_.displayVersion);
    reader_.Read(subkey.get(), kParentDisplayNameValue, record_.parentDisplayName);
    reader_.Read(subkey.get(), kPublisherValue, record_.publisher);
    reader_.Read(subkey.get(), kUninstallStringValue, record_.uninstallString);
    reader_.Read(subkey.get(), kDisplayIconValue, record_.displayIcon);
    return true;
  }

  void ReadArpImagePath(HKEY arpCache, const wchar_t* name, REGSAM access) noexcept {
    record_.arpImagePath[0] = L'\0';
    if (!arpCache) return;
    UniqueHkey entry;
    if (!OpenRegistryKey(arpCache, name, access, entry)) return;
    alignas(8) BYTE cache[kSlowInfoCacheBytes];
    DWORD bytes = sizeof(cache);
    if (::RegQueryValueExW(entry.get(), kSlowInfoCache, nullptr, nullptr, cache, &bytes) !=
        ERROR_SUCCESS) {
      return;
    }
    // A short value yields only the part of the path it really holds.
    const DWORD end = std::min(bytes, kImagePathEnd);
    if (end <= kImagePathOffset) return;
    const auto* path = reinterpret_cast<const wchar_t*>(cache + kImagePathOffset);
    CopyBounded(record_.arpImagePath, std::wstring_view(path, (end - kImagePathOffset) / 2));
  }

  InstalledProgramInventory& owner_;
  KeptEntryVisitor* visitor_;
  InstalledProgramRecord record_;
  RegistryTextReader reader_;
};

InstalledProgramInventory::InstalledProgramInventory() noexcept
    : windowsVersionClass_(ClassifyWindowsVersion()) {}

HRESULT InstalledProgramInventory::Rebuild(KeptEntryVisitor* visitor) noexcept {
  Clear();
  // About 16 KB of buffers: keep them off the caller's stack.
  std::unique_ptr<Enumerator> enumerator(new (std::nothrow) Enumerator(*this, visitor));
  // Without them nothing can be read: no answer, rather than an empty one.
  if (!enumerator) return E_OUTOFMEMORY;
  // The other view comes last: it only adds programs, so every answer of a
  // one-view reading stays, and at the record cap its entries are the ones
  // left out.
  const MachineViews views = PerMachineViews();
  enumerator->Run(HKEY_LOCAL_MACHINE, views.own.flag, views.own.source);
  enumerator->Run(HKEY_CURRENT_USER, 0, UninstallSource::kUser);
  if (views.hasOther) enumerator->Run(HKEY_LOCAL_MACHINE, views.other.flag, views.other.source);
  return S_OK;
}

void InstalledProgramInventory::Clear() noexcept {
  for (size_t i = 0; i < count_; ++i) records_[i].reset();
  count_ = 0;
  leftOut_ = 0;
}

const InstalledProgramRecord* InstalledProgramInventory::RecordAt(size_t index) const noexcept {
  return index < count_ ? records_[index].get() : nullptr;
}

bool InstalledProgramInventory::Add(const InstalledProgramRecord& record) noexcept {
  const uint64_t digest = Digest(record);
  for (size_t i = 0; i < count_; ++i) {
    if (digests_[i] == digest && IsDuplicate(*records_[i], record)) return false;
  }
  if (count_ == kMaxRecords) {
    ++leftOut_;
    return false;
  }
  std::unique_ptr<InstalledProgramRecord> copy(new (std::nothrow) InstalledProgramRecord(record));
  if (!copy) return false;
  digests_[count_] = digest;
  records_[count_++] = std::move(copy);
  return true;
}

bool UninstallKeyExists(const wchar_t* name) noexcept {
  try {
    std::wstring path(kUninstallKeyPath);
    path += L'\\';
    path += ViewOf(name);
    const MachineViews views = PerMachineViews();
    UniqueHkey key;
    return OpenRegistryKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE, key) ||
           OpenRegistryKey(HKEY_CURRENT_USER, path.c_str(), KEY_QUERY_VALUE, key) ||
           (views.hasOther && OpenRegistryKey(HKEY_LOCAL_MACHINE, path.c_str(),
                                              KEY_QUERY_VALUE | views.other.flag, key));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tessary

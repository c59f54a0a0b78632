#pragma once
// A snapshot of the programs Windows lists for uninstallation: every subkey of
// the per-machine Uninstall key (in both registry views on 64-bit Windows)
// and of the per-user one, with the executable path of its Add/Remove
// Programs cache entry and where it was read. Its owner rebuilds it, copies
// what it needs and clears it again.
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "inventory/RegistryView.h"
#include "inventory/WindowsVersion.h"

namespace tessary {

inline constexpr wchar_t kUninstallKeyPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr wchar_t kArpCacheKeyPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";

// The values an Uninstall entry is read for.
inline constexpr wchar_t kDisplayNameValue[] = L"DisplayName";
inline constexpr wchar_t kDisplayVersionValue[] = L"DisplayVersion";
inline constexpr wchar_t kParentDisplayNameValue[] = L"ParentDisplayName";
inline constexpr wchar_t kPublisherValue[] = L"Publisher";
inline constexpr wchar_t kUninstallStringValue[] = L"UninstallString";
inline constexpr wchar_t kDisplayIconValue[] = L"DisplayIcon";

// Fixed-width, always terminated; longer registry text is cut.
struct InstalledProgramRecord {
  static constexpr size_t kNameChars = 254;  // 253 characters kept
  static constexpr size_t kLongChars = 259;  // 258 characters kept
  static constexpr size_t kPathChars = 260;  // 259 characters kept

  wchar_t keyName[kNameChars];
  wchar_t displayName[kNameChars];
  wchar_t displayVersion[kNameChars];
  wchar_t publisher[kLongChars];
  wchar_t parentDisplayName[kNameChars];
  wchar_t uninstallString[kLongChars];
  wchar_t displayIcon[kLongChars];
  wchar_t arpImagePath[kPathChars];
  UninstallSource source;
};

// Sees each entry a build keeps while its key is still open, so its owner can
// read more of the entry without opening it again.
class KeptEntryVisitor {
 public:
  // `index` is the new record's; called in the order records are added.
  virtual void Kept(HKEY entry, size_t index) noexcept = 0;

 protected:
  ~KeptEntryVisitor() = default;
};

class InstalledProgramInventory {
 public:
  // Records held at most; later programs are not kept.
  static constexpr size_t kMaxRecords = 1023;

  // Classifies the Windows version once; the table starts empty.
  InstalledProgramInventory() noexcept;
  ~InstalledProgramInventory() = default;
  InstalledProgramInventory(const InstalledProgramInventory&) = delete;
  InstalledProgramInventory& operator=(const InstalledProgramInventory&) = delete;

  // Drops every record and reads HKLM's Uninstall key in the module's own
  // registry view, then HKCU's, then, on 64-bit Windows, HKLM's in the other
  // view. Keys, values and cache entries that cannot be read contribute
  // nothing, and so does a record that cannot be copied; S_OK, or
  // E_OUTOFMEMORY (and no records) when the walk's buffers cannot be had.
  // `visitor`, when given, sees each kept entry.
  HRESULT Rebuild(KeptEntryVisitor* visitor = nullptr) noexcept;
  void Clear() noexcept;

  size_t Count() const noexcept { return count_; }
  // Entries the last build would have kept but for the cap, plus those it
  // kept: a count only, nothing of them is held. Entries past the cap that
  // repeat one another are each counted.
  size_t EntryCount() const noexcept { return count_ + leftOut_; }
  // Records in the order they were added; null when `index` >= Count().
  const InstalledProgramRecord* RecordAt(size_t index) const noexcept;

  WindowsVersionClass windowsVersionClass() const noexcept { return windowsVersionClass_; }

 private:
  class Enumerator;
  // Whether the record was kept.
  bool Add(const InstalledProgramRecord& record) noexcept;

  WindowsVersionClass windowsVersionClass_;
  std::array<std::unique_ptr<InstalledProgramRecord>, kMaxRecords + 1> records_;
  // Per record, a digest of the compared fields that records equal but for
  // letter case share: most duplicate tests end on it.
  std::array<uint64_t, kMaxRecords + 1> digests_ = {};
  size_t count_ = 0;
  size_t leftOut_ = 0;
};

// True when "SOFTWARE\...\Uninstall\<name>" opens for KEY_QUERY_VALUE under
// HKLM in the module's own view, HKCU, or HKLM in the other view on 64-bit
// Windows. A null name counts as empty.
bool UninstallKeyExists(const wchar_t* name) noexcept;

}  // namespace tessary

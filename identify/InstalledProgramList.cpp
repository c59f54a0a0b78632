#include "identify/InstalledProgramList.h"

#include <wrl/client.h>

#include <climits>
#include <string>
#include <tuple>
#include <utility>

#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "com/SnapshotEnum.h"
#include "common/RegistryReader.h"
#include "common/Result.h"
#include "common/Text.h"

namespace tessary {
namespace {

// An enumerated program: found by the enumerator's CopyOut through its type.
struct ProgramRef {
  Microsoft::WRL::ComPtr<IDispatch> dispatch;
};

void CopyOut(const ProgramRef& in, VARIANT* out) noexcept {
  out->vt = VT_DISPATCH;
  out->pdispVal = in.dispatch.Get();
  out->pdispVal->AddRef();
}

static_assert(static_cast<int>(UninstallSource::kMachine64) == kaUninstallSource_machine64 &&
              static_cast<int>(UninstallSource::kMachine32) == kaUninstallSource_machine32 &&
              static_cast<int>(UninstallSource::kUser) == kaUninstallSource_user);

using ProgramEnumerator = SnapshotEnum<IEnumVARIANT, VARIANT, ProgramRef>;

constexpr wchar_t kInstallLocationValue[] = L"InstallLocation";
constexpr wchar_t kInstallDateValue[] = L"InstallDate";
constexpr wchar_t kEstimatedSizeValue[] = L"EstimatedSize";
constexpr wchar_t kSystemComponentValue[] = L"SystemComponent";
constexpr wchar_t kParentKeyNameValue[] = L"ParentKeyName";

// Windows' own program list leaves these out; the first reason that applies.
kaHiddenReason HiddenReasonOf(const InstalledProgram& program, bool systemComponent,
                              bool hasParent) noexcept {
  if (systemComponent) return kaHiddenReason_systemComponent;
  if (hasParent) return kaHiddenReason_update;
  if (program.displayName.empty()) return kaHiddenReason_noDisplayName;
  if (program.uninstallString.empty()) return kaHiddenReason_noUninstallString;
  return kaHiddenReason_none;
}

// The Uninstall key of each source, opened once per read of the list: under
// Wine a full path in the other view is opened one name at a time, a dozen
// trips to the server for every entry.
class UninstallKeys {
 public:
  // Opens the program's entry where the build found it. Throws bad_alloc.
  bool OpenEntry(const InstalledProgram& program, UniqueHkey& key) {
    const size_t slot = static_cast<size_t>(program.source);
    if (slot >= kSlots) return false;
    if (!tried_[slot]) {
      tried_[slot] = true;
      HKEY root = HKEY_LOCAL_MACHINE;
      REGSAM view = 0;
      const MachineViews views = PerMachineViews();
      if (program.source == kaUninstallSource_user) {
        root = HKEY_CURRENT_USER;
      } else if (views.hasOther &&
                 program.source == static_cast<kaUninstallSource>(views.other.source)) {
        view = views.other.flag;
      } else {
        view = views.own.flag;
      }
      OpenRegistryKey(root, kUninstallKeyPath, KEY_ENUMERATE_SUB_KEYS | view, parents_[slot]);
      subkeyViews_[slot] = SubkeyView(view);
    }
    return parents_[slot] && OpenRegistryKey(parents_[slot].get(), program.keyName.c_str(),
                                             KEY_QUERY_VALUE | subkeyViews_[slot], key);
  }

 private:
  static constexpr size_t kSlots = 4;  // indexed by kaUninstallSource
  UniqueHkey parents_[kSlots];
  bool tried_[kSlots] = {};
  REGSAM subkeyViews_[kSlots] = {};
};

}  // namespace

void ReadWholeFrom(HKEY key, InstalledProgram& program) {
  // Each read is a trip to the registry: a text the build kept shorter than
  // its width is already whole.
  constexpr size_t kName = InstalledProgramRecord::kNameChars - 1;
  constexpr size_t kLong = InstalledProgramRecord::kLongChars - 1;
  for (auto [name, field, width] : {std::tuple{kDisplayNameValue, &program.displayName, kName},
                                    {kDisplayVersionValue, &program.displayVersion, kName},
                                    {kPublisherValue, &program.publisher, kLong},
                                    {kUninstallStringValue, &program.uninstallString, kLong},
                                    {kDisplayIconValue, &program.displayIcon, kLong}}) {
    if (field->size() >= width) ReadWholeText(key, name, *field);
  }
  ReadWholeText(key, kInstallLocationValue, program.installLocation);
  ReadWholeText(key, kInstallDateValue, program.installDate);
  DWORD number = 0;
  if (ReadDword(key, kEstimatedSizeValue, number)) {
    program.estimatedSize = number > LONG_MAX ? LONG_MAX : static_cast<LONG>(number);
  }
  const bool systemComponent = ReadDword(key, kSystemComponentValue, number) && number == 1;
  std::wstring parent;
  const bool hasParent = ReadWholeText(key, kParentKeyNameValue, parent) && !parent.empty();
  program.hiddenReason = HiddenReasonOf(program, systemComponent, hasParent);
}

namespace {

// Throws bad_alloc.
void ReadWhole(InstalledProgram& program, UninstallKeys& keys) {
  UniqueHkey key;
  if (keys.OpenEntry(program, key)) {
    ReadWholeFrom(key.get(), program);
  } else {
    program.hiddenReason = HiddenReasonOf(program, false, false);
  }
}

class KaInstalledProgram final
    : public ComObject<KaInstalledProgram, DualInterface<IKaInstalledProgram2>> {
 public:
  KaInstalledProgram(InstalledProgramSnapshot snapshot, size_t index) noexcept
      : snapshot_(std::move(snapshot)), program_(snapshot_->programs[index]) {}

  // Old clients ask for the first program interface by its own identifier.
  HRESULT QueryExtraInterface(REFIID riid, void** ppv) noexcept {
    if (riid != __uuidof(IKaInstalledProgram)) return E_NOINTERFACE;
    *ppv = static_cast<IKaInstalledProgram*>(this);
    AddRef();
    return S_OK;
  }

  STDMETHODIMP get_KeyName(BSTR* out) noexcept override { return Text(program_.keyName, out); }
  STDMETHODIMP get_Source(kaUninstallSource* out) noexcept override {
    if (!out) return E_POINTER;
    *out = program_.source;
    return S_OK;
  }
  STDMETHODIMP get_DisplayName(BSTR* out) noexcept override {
    return Text(program_.displayName, out);
  }
  STDMETHODIMP get_DisplayVersion(BSTR* out) noexcept override {
    return Text(program_.displayVersion, out);
  }
  STDMETHODIMP get_Publisher(BSTR* out) noexcept override { return Text(program_.publisher, out); }
  STDMETHODIMP get_UninstallString(BSTR* out) noexcept override {
    return Text(program_.uninstallString, out);
  }
  STDMETHODIMP get_DisplayIcon(BSTR* out) noexcept override {
    return Text(program_.displayIcon, out);
  }
  STDMETHODIMP get_InstallLocation(BSTR* out) noexcept override {
    return Text(program_.installLocation, out);
  }
  STDMETHODIMP get_InstallDate(BSTR* out) noexcept override {
    return Text(program_.installDate, out);
  }
  STDMETHODIMP get_EstimatedSize(LONG* out) noexcept override {
    if (!out) return E_POINTER;
    *out = program_.estimatedSize;
    return S_OK;
  }
  STDMETHODIMP get_HiddenReason(kaHiddenReason* out) noexcept override {
    if (!out) return E_POINTER;
    *out = program_.hiddenReason;
    return S_OK;
  }

 private:
  // Script hosts get an empty string, never a null one, for a missing value.
  static HRESULT Text(const std::wstring& text, BSTR* out) noexcept {
    if (!out) return E_POINTER;
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  InstalledProgramSnapshot snapshot_;  // keeps program_ alive
  const InstalledProgram& program_;
};

}  // namespace

InstalledProgram ProgramFromRecord(const InstalledProgramRecord& record) {
  InstalledProgram program;
  program.keyName = record.keyName;
  program.source = static_cast<kaUninstallSource>(record.source);
  program.displayName = record.displayName;
  program.displayVersion = record.displayVersion;
  program.publisher = record.publisher;
  program.uninstallString = record.uninstallString;
  program.displayIcon = record.displayIcon;
  program.hiddenReason = HiddenReasonOf(program, false, false);
  return program;
}

HRESULT ReadWholeValues(InstalledProgramSnapshot& snapshot) noexcept {
  if (!snapshot || snapshot->whole) return S_OK;
  return Guarded([&] {
    auto list = std::make_shared<InstalledProgramList>(*snapshot);
    UninstallKeys keys;
    for (InstalledProgram& program : list->programs) ReadWhole(program, keys);
    list->whole = true;
    snapshot = std::move(list);
    return S_OK;
  });
}

HRESULT ProgramCount(const InstalledProgramSnapshot& snapshot, LONG* count) noexcept {
  if (!count) return E_POINTER;
  *count = snapshot ? static_cast<LONG>(snapshot->programs.size()) : 0;
  return S_OK;
}

HRESULT EntryCount(const InstalledProgramSnapshot& snapshot, LONG* count) noexcept {
  if (!count) return E_POINTER;
  *count = snapshot ? snapshot->entryCount : 0;
  return S_OK;
}

HRESULT ProgramItem(const InstalledProgramSnapshot& snapshot, LONG index,
                    IKaInstalledProgram** program) noexcept {
  if (!program) return E_POINTER;
  *program = nullptr;
  if (!snapshot || index < 0 || static_cast<size_t>(index) >= snapshot->programs.size()) {
    return E_INVALIDARG;
  }
  Microsoft::WRL::ComPtr<KaInstalledProgram> item;
  RETURN_IF_FAILED(MakeComObject(item, snapshot, static_cast<size_t>(index)));
  *program = item.Detach();
  return S_OK;
}

HRESULT ProgramEnum(const InstalledProgramSnapshot& snapshot, IUnknown** enumerator) noexcept {
  if (!enumerator) return E_POINTER;
  *enumerator = nullptr;
  return Guarded([&] {
    auto items = std::make_shared<std::vector<ProgramRef>>();
    const size_t count = snapshot ? snapshot->programs.size() : 0;
    items->reserve(count);
    for (size_t i = 0; i < count; ++i) {
      Microsoft::WRL::ComPtr<KaInstalledProgram> item;
      RETURN_IF_FAILED(MakeComObject(item, snapshot, i));
      ProgramRef ref;
      RETURN_IF_FAILED(item.As(&ref.dispatch));
      items->push_back(std::move(ref));
    }
    Microsoft::WRL::ComPtr<ProgramEnumerator> walk;
    RETURN_IF_FAILED(MakeComObject(walk, ProgramEnumerator::Items(std::move(items)), size_t{0}));
    *enumerator = static_cast<IEnumVARIANT*>(walk.Detach());
    return S_OK;
  });
}

}  // namespace tessary

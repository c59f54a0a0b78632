#include "identify/InstalledProgramList.h"

#include <wrl/client.h>

#include <utility>

#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "com/SnapshotEnum.h"
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

class KaInstalledProgram final
    : public ComObject<KaInstalledProgram, DualInterface<IKaInstalledProgram>> {
 public:
  KaInstalledProgram(InstalledProgramSnapshot snapshot, size_t index) noexcept
      : snapshot_(std::move(snapshot)), program_((*snapshot_)[index]) {}

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
  return program;
}

HRESULT ProgramCount(const InstalledProgramSnapshot& snapshot, LONG* count) noexcept {
  if (!count) return E_POINTER;
  *count = snapshot ? static_cast<LONG>(snapshot->size()) : 0;
  return S_OK;
}

HRESULT ProgramItem(const InstalledProgramSnapshot& snapshot, LONG index,
                    IKaInstalledProgram** program) noexcept {
  if (!program) return E_POINTER;
  *program = nullptr;
  if (!snapshot || index < 0 || static_cast<size_t>(index) >= snapshot->size()) {
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
    const size_t count = snapshot ? snapshot->size() : 0;
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

#pragma once
// Class entries, the class objects that serve them, and the per-module cache
// of class objects that DllGetClassObject fills.
#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <span>

namespace tessary {

using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

enum class Aggregation : bool { Refused, Allowed };
// Whether registration writes the class's script: a class reached only
// through another object's methods has none written.
enum class Registration : bool { None, Written };

struct ClassEntry {
  const CLSID* clsid;
  CreateFunction create;
  Aggregation aggregation;
  UINT registryScript;
  Registration registration;
};

// Standard class object for one entry. Not an instance: it lives as long as
// the module and holds the module only through LockServer.
HRESULT CreateClassFactory(const ClassEntry& entry, IClassFactory** factory) noexcept;

// One class object per entry, made on first request under the module's
// critical section and kept until Release().
class ClassObjectCache {
 public:
  ClassObjectCache(std::span<const ClassEntry> table, IClassFactory** slots) noexcept
      : table_(table), slots_(slots) {}

  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
  void ReleaseAll() noexcept;

 private:
  std::span<const ClassEntry> table_;
  IClassFactory** slots_;
};

}  // namespace tessary

#include "AllocHooks.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tessary::testing {
namespace {

std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_failAt{0};  // absolute count of the failing allocation; 0: none
std::atomic<bool> g_fired{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_liveCom{0};
thread_local int t_uncounted = 0;

bool NextFails() noexcept {
  if (t_uncounted) return false;
  const uint64_t n = g_count.fetch_add(1) + 1;
  if (n != g_failAt.load()) return false;
  g_fired = true;
  return true;
}

void* Allocate(size_t size) noexcept {
  if (NextFails()) return nullptr;
  void* block = std::malloc(size ? size : 1);
  if (block) ++g_live;
  return block;
}
void Free(void* block) noexcept {
  if (!block) return;
  --g_live;
  std::free(block);
}
void* AllocateAligned(size_t size, std::align_val_t align) noexcept {
  if (NextFails()) return nullptr;
  void* block = _aligned_malloc(size ? size : 1, static_cast<size_t>(align));
  if (block) ++g_live;
  return block;
}
void FreeAligned(void* block) noexcept {
  if (!block) return;
  --g_live;
  _aligned_free(block);
}

// --- COM strings, through this executable's import entries ----------------------

decltype(&::SysAllocString) g_allocString;
decltype(&::SysAllocStringLen) g_allocStringLen;
decltype(&::SysAllocStringByteLen) g_allocStringByteLen;
decltype(&::SysReAllocString) g_reallocString;
decltype(&::SysReAllocStringLen) g_reallocStringLen;

// A null source makes no string, so it is no allocation to fail.
BSTR WINAPI CountedAllocString(const OLECHAR* text) {
  if (text && NextFails()) return nullptr;
  return g_allocString(text);
}
BSTR WINAPI CountedAllocStringLen(const OLECHAR* text, UINT length) {
  if (NextFails()) return nullptr;
  return g_allocStringLen(text, length);
}
BSTR WINAPI CountedAllocStringByteLen(LPCSTR text, UINT length) {
  if (NextFails()) return nullptr;
  return g_allocStringByteLen(text, length);
}
INT WINAPI CountedReAllocString(BSTR* old, const OLECHAR* text) {
  if (NextFails()) return FALSE;
  return g_reallocString(old, text);
}
INT WINAPI CountedReAllocStringLen(BSTR* old, const OLECHAR* text, UINT length) {
  if (NextFails()) return FALSE;
  return g_reallocStringLen(old, text, length);
}

struct StringHook {
  const char* name;
  void* counted;
  void** real;
};

StringHook g_hooks[] = {
    {"SysAllocString", reinterpret_cast<void*>(&CountedAllocString),
     reinterpret_cast<void**>(&g_allocString)},
    {"SysAllocStringLen", reinterpret_cast<void*>(&CountedAllocStringLen),
     reinterpret_cast<void**>(&g_allocStringLen)},
    {"SysAllocStringByteLen", reinterpret_cast<void*>(&CountedAllocStringByteLen),
     reinterpret_cast<void**>(&g_allocStringByteLen)},
    {"SysReAllocString", reinterpret_cast<void*>(&CountedReAllocString),
     reinterpret_cast<void**>(&g_reallocString)},
    {"SysReAllocStringLen", reinterpret_cast<void*>(&CountedReAllocStringLen),
     reinterpret_cast<void**>(&g_reallocStringLen)},
};

// Swaps each import entry of oleaut32 that holds `from(hook)` for `to(hook)`.
template <typename From, typename To>
int SwapImports(From from, To to) {
  auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!imports.VirtualAddress) return 0;
  int swapped = 0;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name; ++entry) {
    if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), "oleaut32.dll") != 0) continue;
    for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
         slot->u1.Function; ++slot) {
      auto* address = reinterpret_cast<void**>(&slot->u1.Function);
      for (StringHook& hook : g_hooks) {
        if (*address != from(hook)) continue;
        DWORD old = 0;
        ::VirtualProtect(address, sizeof(void*), PAGE_READWRITE, &old);
        *address = to(hook);
        ::VirtualProtect(address, sizeof(void*), old, &old);
        ++swapped;
      }
    }
  }
  return swapped;
}

// --- The COM allocator's live blocks ----------------------------------------------

class LiveBlockSpy final : public IMallocSpy {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown && riid != IID_IMallocSpy) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IMallocSpy*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override { return size; }
  STDMETHODIMP_(void*) PostAlloc(void* block) override {
    if (block) ++g_liveCom;
    return block;
  }
  STDMETHODIMP_(void*) PreFree(void* block, BOOL spied) override {
    if (block && spied) --g_liveCom;
    return block;
  }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T size, void** request, BOOL spied) override {
    *request = block;
    reallocFrom_ = block;
    reallocFreed_ = block && spied && size == 0;
    return size;
  }
  STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override {
    if (!reallocFrom_ && block) ++g_liveCom;
    if (reallocFreed_) --g_liveCom;
    return block;
  }
  STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
  STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

 private:
  void* reallocFrom_ = nullptr;
  bool reallocFreed_ = false;
};

LiveBlockSpy g_spy;

}  // namespace

bool InstallAllocationHooks() {
  const HMODULE oleaut = ::GetModuleHandleW(L"oleaut32.dll");
  if (!oleaut) return false;
  for (StringHook& hook : g_hooks) {
    *hook.real = reinterpret_cast<void*>(::GetProcAddress(oleaut, hook.name));
  }
  const int swapped = SwapImports([](StringHook& h) { return *h.real; },
                                  [](StringHook& h) { return h.counted; });
  return swapped > 0 && SUCCEEDED(::CoRegisterMallocSpy(&g_spy));
}

void RemoveAllocationHooks() {
  ::CoRevokeMallocSpy();
  SwapImports([](StringHook& h) { return h.counted; }, [](StringHook& h) { return *h.real; });
}

void ArmFailure(uint64_t n) {
  g_fired = false;
  g_failAt = g_count.load() + n;
}

bool DisarmFailure() {
  g_failAt = 0;
  return g_fired.exchange(false);
}

Uncounted::Uncounted() noexcept { ++t_uncounted; }
Uncounted::~Uncounted() { --t_uncounted; }

uint64_t AllocationCount() { return g_count.load(); }
int64_t LiveBlocks() { return g_live.load(); }
int64_t LiveComBlocks() { return g_liveCom.load(); }

}  // namespace tessary::testing

// --- operator new and delete, every form ------------------------------------------

using tessary::testing::Allocate;
using tessary::testing::AllocateAligned;
using tessary::testing::Free;
using tessary::testing::FreeAligned;

void* operator new(size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(size_t size, std::align_val_t align) {
  if (void* block = AllocateAligned(size, align)) return block;
  throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t align) {
  if (void* block = AllocateAligned(size, align)) return block;
  throw std::bad_alloc();
}
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, align);
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, align);
}

void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, size_t) noexcept { Free(block); }
void operator delete[](void* block, size_t) noexcept { Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete(void* block, std::align_val_t) noexcept { FreeAligned(block); }
void operator delete[](void* block, std::align_val_t) noexcept { FreeAligned(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { FreeAligned(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { FreeAligned(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  FreeAligned(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  FreeAligned(block);
}

// The module's exported entry points, called as a host calls them.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "support/TestSupport.h"

using Microsoft::WRL::ComPtr;
using namespace tessary::testing;

namespace {

TEST(ExportsTest, GetClassObjectChecksItsArguments) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  EXPECT_EQ(dll.GetClassObject(CLSID_KaSoftStatusManager, IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(dll.GetClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST(ExportsTest, UnloadsOnlyWithoutObjectsOrLocks) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(dll.GetClassObject(CLSID_KaSoftMainType, IID_PPV_ARGS(&factory)), S_OK);
  // A cached class object alone does not hold the module.
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  ComPtr<IUnknown> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  object.Reset();
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// A bare outer object: enough for the class objects' aggregation rules.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override {
    if (riid != IID_IUnknown) return E_NOINTERFACE;
    *ppv = this;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() noexcept override { return 2; }
  STDMETHODIMP_(ULONG) Release() noexcept override { return 1; }
};

TEST(ExportsTest, AggregationFollowsTheClassTable) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  Outer outer;
  struct Case {
    const CLSID* clsid;
    bool allowed;
  };
  const Case cases[] = {
      {&CLSID_KaCommonSoft, true},        {&CLSID_KaInstalledSoft, true},
      {&CLSID_KaGetIconStatus, false},    {&CLSID_KaRecommendCatalog, true},
      {&CLSID_KaRecommendSoft, true},     {&CLSID_KaSoftStatusManager, false},
      {&CLSID_KaSoftUpdater, true},       {&CLSID_KaSoftTypeStorage, true},
      {&CLSID_KaSoftwareCatelog, true},   {&CLSID_KaSoftWare, false},
      {&CLSID_KaSoftMainType, false},     {&CLSID_KaSoftwareVerItem, true},
  };
  for (const Case& c : cases) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(dll.GetClassObject(*c.clsid, IID_PPV_ARGS(&factory)), S_OK);
    IUnknown* inner = reinterpret_cast<IUnknown*>(1);
    const HRESULT hr =
        factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner));
    if (c.allowed) {
      EXPECT_EQ(hr, S_OK);
      if (inner) inner->Release();
    } else {
      EXPECT_EQ(hr, CLASS_E_NOAGGREGATION);
      EXPECT_EQ(inner, nullptr);
    }
  }
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

}  // namespace

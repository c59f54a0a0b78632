// The object base, class objects and their cache, exercised with a class
// that exists only in this test.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "com/ClassFactory.h"
#include "com/ComObject.h"
#include "com/Module.h"
#include "support/OuterUnknown.h"

using Microsoft::WRL::ComPtr;
using tessary::ClassEntry;
using tessary::ClassObjectCache;
using tessary::ComObject;
using tessary::Module;
using tessary::testing::OuterUnknown;

namespace {

int g_live = 0;
HRESULT g_initResult = S_OK;

class Probe final : public ComObject<Probe, IKaGetIconStatus, IKaSoftTypeStorage> {
 public:
  Probe() { ++g_live; }
  ~Probe() { --g_live; }

  HRESULT FinalConstruct() noexcept {
    // A reference taken and dropped during initialisation must not destroy
    // the object.
    AddRef();
    Release();
    return g_initResult;
  }

  STDMETHODIMP GetIconStatus(BSTR, BSTR) noexcept override { return S_OK; }
  STDMETHODIMP GetSoftMainTypeByRegKey(BSTR, BSTR*) noexcept override { return E_NOTIMPL; }
};

const CLSID kProbeClsid = {0x7b1c2f10, 0x1d2e, 0x4f3a, {0x9a, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
const CLSID kSolitaryClsid = {0x7b1c2f11, 0x1d2e, 0x4f3a, {0x9a, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};

const ClassEntry kTable[] = {
    {&kProbeClsid, &tessary::CreateComInstance<Probe>, tessary::Aggregation::Allowed, 0,
     tessary::Registration::None},
    {&kSolitaryClsid, &tessary::CreateComInstance<Probe>, tessary::Aggregation::Refused, 0,
     tessary::Registration::None},
};

class ComFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_initResult = S_OK;
    baseLocks_ = Module::LockCount();
  }
  void TearDown() override {
    cache_.ReleaseAll();
    EXPECT_EQ(g_live, 0);
    EXPECT_EQ(Module::LockCount(), baseLocks_);
  }

  ComPtr<IClassFactory> Factory(const CLSID& clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(cache_.GetClassObject(clsid, IID_PPV_ARGS(&factory)), S_OK);
    return factory;
  }

  IClassFactory* slots_[2] = {};
  ClassObjectCache cache_{kTable, slots_};
  LONG baseLocks_ = 0;
};

TEST_F(ComFrameTest, ObjectsHoldTheModuleAndClassObjectsDoNot) {
  ComPtr<IClassFactory> factory = Factory(kProbeClsid);
  EXPECT_EQ(Module::LockCount(), baseLocks_);

  ComPtr<IKaGetIconStatus> probe;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&probe)), S_OK);
  EXPECT_EQ(Module::LockCount(), baseLocks_ + 1);
  probe.Reset();
  EXPECT_EQ(Module::LockCount(), baseLocks_);

  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(Module::LockCount(), baseLocks_ + 1);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(Module::LockCount(), baseLocks_);
}

TEST_F(ComFrameTest, QueryInterfaceKeepsIdentityAndRefusesCleanly) {
  ComPtr<IKaGetIconStatus> icon;
  ASSERT_EQ(Factory(kProbeClsid)->CreateInstance(nullptr, IID_PPV_ARGS(&icon)), S_OK);

  ComPtr<IKaSoftTypeStorage> storage;
  ASSERT_EQ(icon.As(&storage), S_OK);
  ComPtr<IUnknown> a, b;
  ASSERT_EQ(icon.As(&a), S_OK);
  ASSERT_EQ(storage.As(&b), S_OK);
  EXPECT_EQ(a.Get(), b.Get());

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(icon->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(icon->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ComFrameTest, CreateInstanceFollowsItsSteps) {
  ComPtr<IClassFactory> factory = Factory(kProbeClsid);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

  // A failed query destroys the new object and clears the out-parameter.
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_live, 0);

  // So does a failed initialisation, whose code is returned.
  g_initResult = E_ACCESSDENIED;
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), E_ACCESSDENIED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_live, 0);
}

TEST_F(ComFrameTest, AggregationDelegatesToTheOuterObject) {
  OuterUnknown outer;
  ASSERT_EQ(Factory(kProbeClsid)->CreateInstance(&outer, IID_PPV_ARGS(&outer.inner)), S_OK);
  ASSERT_EQ(g_live, 1);

  // An outer object must ask for IUnknown.
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Factory(kProbeClsid)->CreateInstance(&outer, __uuidof(IKaGetIconStatus), &out),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  ComPtr<IKaGetIconStatus> icon;
  ASSERT_EQ(outer.inner.As(&icon), S_OK);
  // The inner object's interfaces answer for the outer identity.
  IUnknown* identity = nullptr;
  ASSERT_EQ(icon->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  const ULONG before = outer.refs;
  icon->AddRef();
  EXPECT_EQ(outer.refs, before + 1);
  icon->Release();

  icon.Reset();
  outer.inner.Reset();
  EXPECT_EQ(g_live, 0);
}

TEST_F(ComFrameTest, AggregationRefusedWhereTheTableSaysSo) {
  OuterUnknown outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Factory(kSolitaryClsid)->CreateInstance(&outer, IID_IUnknown, &out),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(g_live, 0);
}

TEST_F(ComFrameTest, ClassObjectsAreCachedPerClass) {
  ComPtr<IClassFactory> first = Factory(kProbeClsid);
  ComPtr<IClassFactory> again = Factory(kProbeClsid);
  ComPtr<IClassFactory> other = Factory(kSolitaryClsid);
  EXPECT_EQ(first.Get(), again.Get());
  EXPECT_NE(first.Get(), other.Get());

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(cache_.GetClassObject(IID_IUnknown, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(cache_.GetClassObject(kProbeClsid, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(cache_.GetClassObject(kProbeClsid, IID_IDispatch, &out), E_NOINTERFACE);
}

TEST_F(ComFrameTest, InternalObjectsAreMadeDirectly) {
  ComPtr<Probe> probe;
  ASSERT_EQ(tessary::MakeComObject(probe), S_OK);
  EXPECT_EQ(g_live, 1);
  EXPECT_FALSE(probe->IsAggregated());
  g_initResult = E_FAIL;
  ComPtr<Probe> failed;
  EXPECT_EQ(tessary::MakeComObject(failed), E_FAIL);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(g_live, 1);
}

}  // namespace

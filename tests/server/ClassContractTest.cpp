// The COM contract of every class the module serves, through its exported
// DllGetClassObject: one identity, clean refusals, and aggregation as the
// class table allows it.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <set>
#include <string>

#include "ClassCases.h"
#include "support/OuterUnknown.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

ComPtr<IUnknown> IdentityOf(IUnknown* object) {
  ComPtr<IUnknown> identity;
  EXPECT_EQ(object->QueryInterface(IID_PPV_ARGS(&identity)), S_OK);
  return identity;
}

class ClassContractTest : public ::testing::TestWithParam<ClassCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(dll_.ok()); }
  void TearDown() override { EXPECT_EQ(dll_.CanUnloadNow(), S_OK); }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(dll_.GetClassObject(*GetParam().clsid, IID_PPV_ARGS(&factory)), S_OK);
    return factory;
  }

  TessaryDll dll_;
};

TEST_P(ClassContractTest, ServesItsInterfacesWithOneIdentity) {
  const ClassCase& c = GetParam();
  ComPtr<IUnknown> object;
  ASSERT_EQ(dll_.Create(*c.clsid, IID_PPV_ARGS(&object)), S_OK);
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);

  ComPtr<IUnknown> primary;
  ASSERT_EQ(object->QueryInterface(*c.iid, reinterpret_cast<void**>(primary.GetAddressOf())), S_OK);
  EXPECT_EQ(IdentityOf(primary.Get()).Get(), object.Get());
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(object.As(&dispatch), c.dual ? S_OK : E_NOINTERFACE);
  if (dispatch) {
    EXPECT_EQ(IdentityOf(dispatch.Get()).Get(), object.Get());
  }

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(object->QueryInterface(*c.refused, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(object->QueryInterface(*c.iid, nullptr), E_POINTER);
}

TEST_P(ClassContractTest, AggregationFollowsTheClassTable) {
  const ClassCase& c = GetParam();
  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  OuterUnknown outer;

  // An outer object must ask for IUnknown, whatever the class allows.
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, *c.iid, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  if (!c.aggregates) {
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    return;
  }
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, outer.InnerSlot()), S_OK);
  ASSERT_NE(outer.inner, nullptr);

  // The inner object's interfaces answer for the outer identity, and their
  // references go to the outer object.
  IUnknown* primary = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(*c.iid, reinterpret_cast<void**>(&primary)), S_OK);
  EXPECT_EQ(IdentityOf(primary).Get(), static_cast<IUnknown*>(&outer));
  const ULONG before = outer.refs;
  primary->AddRef();
  EXPECT_EQ(outer.refs, before + 1);
  primary->Release();
  primary->Release();
  if (c.dual) {
    IDispatch* dispatch = nullptr;
    const ULONG held = outer.refs;
    ASSERT_EQ(outer.inner->QueryInterface(IID_PPV_ARGS(&dispatch)), S_OK);
    EXPECT_EQ(outer.refs, held + 1);
    dispatch->Release();
  }
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(outer.inner->QueryInterface(*c.refused, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  outer.inner.Reset();
  EXPECT_EQ(outer.refs, 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryClass, ClassContractTest, ::testing::ValuesIn(kClassCases),
                         [](const ::testing::TestParamInfo<ClassCase>& info) {
                           std::string name;
                           for (const wchar_t* p = info.param.name; *p; ++p) {
                             name += static_cast<char>(*p);
                           }
                           return name;
                         });

// The cases above cover every class the type library declares.
TEST(ClassCasesTest, CoverEveryCoclassOfTheLibrary) {
  ComPtr<ITypeLib> library;
  ASSERT_EQ(::LoadTypeLibEx(BuiltDllPath().c_str(), REGKIND_NONE, &library), S_OK);
  std::set<std::wstring> declared, covered;
  for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
    TYPEKIND kind;
    if (FAILED(library->GetTypeInfoType(i, &kind)) || kind != TKIND_COCLASS) continue;
    BSTR name = nullptr;
    ASSERT_EQ(library->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr), S_OK);
    declared.insert(name);
    ::SysFreeString(name);
  }
  for (const ClassCase& c : kClassCases) covered.insert(c.name);
  EXPECT_EQ(declared, covered);
}

}  // namespace
}  // namespace tessary::testing

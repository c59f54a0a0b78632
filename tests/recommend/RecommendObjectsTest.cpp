// Both recommendation classes as the DLL serves them, and the dispatch calls
// a script host makes on them.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <vector>

#include "RecommendTestSupport.h"
#include "recommend/KaRecommendSoft.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

// A private copy of the DLL whose data folder holds a recommendation file:
// objects made through the class objects still start, and stay, empty.
class RecommendObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(copy_.ok());
    ASSERT_TRUE(copy_.WriteData(L"KaRecommendSoft.xml",
                                "<new_onekey><funtionlist><c><name>A</name></c></funtionlist>"
                                "<softlist><s><name>x</name><funtion0>A</funtion0></s>"
                                "</softlist></new_onekey>"));
    dll_ = std::make_unique<TessaryDll>(copy_.path());
    ASSERT_TRUE(dll_->ok());
  }

  void TearDown() override {
    if (dll_) {
      EXPECT_EQ(dll_->CanUnloadNow(), S_OK);
    }
  }

  PrivateDllCopy copy_;
  std::unique_ptr<TessaryDll> dll_;
};

TEST_F(RecommendObjectsTest, ObjectsFromTheClassObjectsAreEmpty) {
  ComPtr<IKaRecommendSoft> set;
  ASSERT_EQ(dll_->Create(CLSID_KaRecommendSoft, set.GetAddressOf()), S_OK);
  EXPECT_EQ(dll_->CanUnloadNow(), S_FALSE);
  EXPECT_TRUE(Read(set.Get()).empty());
  EXPECT_EQ(set->GetCount(nullptr), E_POINTER);
  // The index is checked before the out-parameter.
  EXPECT_EQ(set->GetcatalogByIndex(0, nullptr), E_INVALIDARG);
  EXPECT_EQ(set->GetcatalogByIndex(-1, nullptr), E_INVALIDARG);

  ComPtr<IKaRecommendCatalog> catalog;
  ASSERT_EQ(dll_->Create(CLSID_KaRecommendCatalog, catalog.GetAddressOf()), S_OK);
  EXPECT_EQ(Read(catalog.Get()), (CatalogView{L"<null>", L"<null>", 0, {}}));
  EXPECT_EQ(catalog->GetName(nullptr), E_POINTER);
  EXPECT_EQ(catalog->GetDescription(nullptr), E_POINTER);
  EXPECT_EQ(catalog->GetImportance(nullptr), E_POINTER);
  EXPECT_EQ(catalog->GetSoftCount(nullptr), E_POINTER);
  EXPECT_EQ(catalog->GetSoftByIndex(0, nullptr, nullptr), E_INVALIDARG);
}

DISPID IdOf(IDispatch* dispatch, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
  return id;
}

// Calls `name` by dispatch with `args` in reverse order, as DISPPARAMS holds
// them; `raised` receives the code of a failing method.
HRESULT Call(IDispatch* dispatch, const wchar_t* name, std::vector<VARIANT> args, VARIANT* result,
             SCODE* raised = nullptr) {
  DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  EXCEPINFO exception = {};
  const HRESULT hr = dispatch->Invoke(IdOf(dispatch, name), IID_NULL, LOCALE_USER_DEFAULT,
                                      DISPATCH_METHOD, &params, result, &exception, nullptr);
  if (raised) *raised = exception.scode;
  ::SysFreeString(exception.bstrSource);
  ::SysFreeString(exception.bstrDescription);
  ::SysFreeString(exception.bstrHelpFile);
  return hr;
}

VARIANT Long(LONG value) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

TEST_F(RecommendObjectsTest, AScriptCallsThroughTheTypeLibrary) {
  ComPtr<IDispatch> set;
  ASSERT_EQ(dll_->Create(CLSID_KaRecommendSoft, IID_PPV_ARGS(&set)), S_OK);
  EXPECT_EQ(IdOf(set.Get(), L"GetCount"), 0x60020000);
  EXPECT_EQ(IdOf(set.Get(), L"getcatalogbyindex"), 0x60020001);
  UniqueVariant result;
  ASSERT_EQ(Call(set.Get(), L"GetCount", {}, result.Receive()), S_OK);
  EXPECT_EQ(result.Get().vt, VT_I4);
  EXPECT_EQ(result.Get().lVal, 0);
  SCODE raised = S_OK;
  EXPECT_EQ(Call(set.Get(), L"GetcatalogByIndex", {Long(0)}, result.Receive(), &raised),
            DISP_E_EXCEPTION);
  EXPECT_EQ(raised, E_INVALIDARG);

  ComPtr<IDispatch> catalog;
  ASSERT_EQ(dll_->Create(CLSID_KaRecommendCatalog, IID_PPV_ARGS(&catalog)), S_OK);
  ASSERT_EQ(Call(catalog.Get(), L"GetName", {}, result.Receive()), S_OK);
  EXPECT_EQ(result.Get().vt, VT_BSTR);
  EXPECT_EQ(::SysStringLen(result.Get().bstrVal), 0u);
}

// The objects linked into the test executable answer dispatch from its own
// copy of the type library: a script walks a loaded set.
TEST(RecommendDispatchTest, AScriptWalksALoadedSet) {
  RecommendationFolder folder;
  ASSERT_TRUE(
      folder.Write(L"<new_onekey><funtionlist><c><name>Media</name></c></funtionlist>"
                   L"<softlist><s><name>player</name><funtion0>Media</funtion0>"
                   L"<order>7</order></s></softlist></new_onekey>"));
  ComPtr<KaRecommendSoft> loaded;
  ASSERT_EQ(MakeComObject(loaded), S_OK);
  ASSERT_EQ(loaded->LoadRecommendations(), 1);

  UniqueVariant result;
  ASSERT_EQ(Call(loaded.Get(), L"GetcatalogByIndex", {Long(0)}, result.Receive()), S_OK);
  ASSERT_EQ(result.Get().vt, VT_DISPATCH);
  IDispatch* catalog = result.Get().pdispVal;
  BSTR soft = nullptr;
  LONG order = 0;
  VARIANT softOut;
  softOut.vt = VT_BSTR | VT_BYREF;
  softOut.pbstrVal = &soft;
  VARIANT orderOut;
  orderOut.vt = VT_I4 | VT_BYREF;
  orderOut.plVal = &order;
  ASSERT_EQ(Call(catalog, L"GetSoftByIndex", {orderOut, softOut, Long(0)}, nullptr), S_OK);
  EXPECT_EQ(Take(soft), L"player");
  EXPECT_EQ(order, 7);
  SCODE raised = S_OK;
  EXPECT_EQ(Call(catalog, L"GetSoftByIndex", {orderOut, softOut, Long(1)}, nullptr, &raised),
            DISP_E_EXCEPTION);
  EXPECT_EQ(raised, E_INVALIDARG);
}

}  // namespace
}  // namespace tessary::testing

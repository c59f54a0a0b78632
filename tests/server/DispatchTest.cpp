// Dual interfaces answer IDispatch calls from the embedded type library, as
// a script host makes them.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "TessaryLib.h"
#include "common/Unique.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"

using Microsoft::WRL::ComPtr;
using tessary::ComObject;
using tessary::DualInterface;

namespace {

class Catalog final : public ComObject<Catalog, DualInterface<IKaRecommendCatalog>> {
 public:
  STDMETHODIMP GetName(BSTR* name) noexcept override {
    if (!name) return E_POINTER;
    return tessary::CopyOut(L"Tools", name);
  }
  STDMETHODIMP GetDescription(BSTR* description) noexcept override {
    return tessary::CopyOut(nullptr, description);
  }
  STDMETHODIMP GetImportance(LONG* importance) noexcept override {
    *importance = 7;
    return S_OK;
  }
  STDMETHODIMP GetSoftCount(LONG* count) noexcept override {
    if (!count) return E_POINTER;
    *count = 3;
    return S_OK;
  }
  STDMETHODIMP GetSoftByIndex(LONG index, BSTR* name, LONG* order) noexcept override {
    if (index < 0 || index >= 3) return E_INVALIDARG;
    if (name) tessary::CopyOut(L"editor", name);
    if (order) *order = index * 10;
    return S_OK;
  }
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ComPtr<Catalog> catalog;
    ASSERT_EQ(tessary::MakeComObject(catalog), S_OK);
    ASSERT_EQ(catalog.As(&dispatch_), S_OK);
  }

  DISPID Id(const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    return id;
  }

  ComPtr<IDispatch> dispatch_;
};

TEST_F(DispatchTest, IDispatchIsTheDualInterface) {
  ComPtr<IKaRecommendCatalog> dual;
  ASSERT_EQ(dispatch_.As(&dual), S_OK);
  ComPtr<IUnknown> a, b;
  dispatch_.As(&a);
  dual.As(&b);
  EXPECT_EQ(a.Get(), b.Get());

  UINT count = 0;
  EXPECT_EQ(dispatch_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(dispatch_->GetTypeInfo(1, LOCALE_USER_DEFAULT, &info), DISP_E_BADINDEX);
  ASSERT_EQ(dispatch_->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, IID_IKaRecommendCatalog);
  info->ReleaseTypeAttr(attr);
}

TEST_F(DispatchTest, NamesMapToIdentifiersInMethodOrder) {
  EXPECT_EQ(Id(L"GetName"), 0x60020000);
  EXPECT_EQ(Id(L"GetSoftByIndex"), 0x60020004);
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"NoSuchMethod")};
  EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id),
            DISP_E_UNKNOWNNAME);
}

TEST_F(DispatchTest, InvokeReturnsResultsAsAScriptSeesThem) {
  DISPPARAMS none = {};
  VARIANT result;
  ::VariantInit(&result);
  ASSERT_EQ(dispatch_->Invoke(Id(L"GetSoftCount"), IID_NULL, LOCALE_USER_DEFAULT,
                              DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr,
                              nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 3);

  ASSERT_EQ(dispatch_->Invoke(Id(L"GetName"), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                              &none, &result, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_STREQ(result.bstrVal, L"Tools");
  ::VariantClear(&result);

  // A failing method's code reaches the caller as an exception.
  VARIANT args[3];
  for (VARIANT& arg : args) ::VariantInit(&arg);
  BSTR name = nullptr;
  LONG order = 0;
  args[2].vt = VT_I4;
  args[2].lVal = 5;  // out of range
  args[1].vt = VT_BSTR | VT_BYREF;
  args[1].pbstrVal = &name;
  args[0].vt = VT_I4 | VT_BYREF;
  args[0].plVal = &order;
  DISPPARAMS params = {args, nullptr, 3, 0};
  EXCEPINFO exception = {};
  EXPECT_EQ(dispatch_->Invoke(Id(L"GetSoftByIndex"), IID_NULL, LOCALE_USER_DEFAULT,
                              DISPATCH_METHOD, &params, nullptr, &exception, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(exception.scode, E_INVALIDARG);
  ::SysFreeString(exception.bstrSource);
  ::SysFreeString(exception.bstrDescription);
  ::SysFreeString(exception.bstrHelpFile);
  args[2].lVal = 2;
  ASSERT_EQ(dispatch_->Invoke(Id(L"GetSoftByIndex"), IID_NULL, LOCALE_USER_DEFAULT,
                              DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_STREQ(name, L"editor");
  EXPECT_EQ(order, 20);
  ::SysFreeString(name);
}

}  // namespace

// The type library embedded in the built DLL describes the whole surface.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <map>
#include <utility>
#include <string>

#include "TessaryLib.h"
#include "support/TestSupport.h"

using Microsoft::WRL::ComPtr;
using namespace tessary::testing;

namespace {

struct Entry {
  TYPEKIND kind;
  WORD flags;
  GUID guid;
  ComPtr<ITypeInfo> info;
};

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::LoadTypeLibEx(BuiltDllPath().c_str(), REGKIND_NONE, &library_), S_OK);
    for (UINT i = 0; i < library_->GetTypeInfoCount(); ++i) {
      Entry entry;
      ASSERT_EQ(library_->GetTypeInfo(i, &entry.info), S_OK);
      BSTR name = nullptr;
      ASSERT_EQ(library_->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr),
                S_OK);
      TYPEATTR* attr = nullptr;
      ASSERT_EQ(entry.info->GetTypeAttr(&attr), S_OK);
      entry.kind = attr->typekind;
      entry.flags = attr->wTypeFlags;
      entry.guid = attr->guid;
      entry.info->ReleaseTypeAttr(attr);
      entries_[name] = entry;
      ::SysFreeString(name);
    }
  }

  std::wstring HelpString(const std::wstring& name) {
    BSTR help = nullptr;
    entries_[name].info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
    std::wstring text = help ? help : L"";
    ::SysFreeString(help);
    return text;
  }

  ComPtr<ITypeLib> library_;
  std::map<std::wstring, Entry> entries_;
};

TEST_F(TypeLibraryTest, IsVersionOneOfTessaryLib) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library_->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, LIBID_TessaryLib);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  library_->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  ASSERT_EQ(library_->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_STREQ(name, L"TessaryLib");
  ::SysFreeString(name);
}

TEST_F(TypeLibraryTest, ListsEveryInterfaceEnumerationAndClassWithHelp) {
  const wchar_t* interfaces[] = {
      L"IKaCommonSoft",      L"IKaInstalledSoft",   L"IKaSoftwareCatelog",
      L"IKaEnumSoftware",    L"IKaSoftMainType",    L"IKaSoftWare",
      L"IKaSoftwareVerItem", L"IKaSoftTypeStorage", L"IKaSoftUpdater",
      L"IKaGetIconStatus",   L"IKaSoftStatusManager", L"IKaIdentifyExplain"};
  for (const wchar_t* name : interfaces) {
    ASSERT_TRUE(entries_.count(name)) << name;
    EXPECT_EQ(entries_[name].kind, TKIND_INTERFACE) << name;
    EXPECT_FALSE(entries_[name].flags & TYPEFLAG_FDUAL) << name;
    EXPECT_NE(HelpString(name).find(name), std::wstring::npos) << name;
  }
  for (const wchar_t* name : {L"IKaRecommendSoft", L"IKaRecommendCatalog", L"IKaInstalledPrograms",
                              L"IKaInstalledProgram", L"IKaInstalledPrograms2",
                              L"IKaInstalledProgram2"}) {
    ASSERT_TRUE(entries_.count(name)) << name;
    EXPECT_TRUE(entries_[name].flags & TYPEFLAG_FDUAL) << name;
  }
  ASSERT_TRUE(entries_.count(L"_IKaSoftStatusManagerEvents"));
  EXPECT_EQ(entries_[L"_IKaSoftStatusManagerEvents"].kind, TKIND_DISPATCH);
  for (const wchar_t* name : {L"kaSoftInstallStatus", L"kaSoftVersionPolicy", L"kaSoftInnerType",
                              L"_kaSoftVersionAttribute", L"kaUninstallSource",
                              L"kaHiddenReason"}) {
    ASSERT_TRUE(entries_.count(name)) << name;
    EXPECT_EQ(entries_[name].kind, TKIND_ENUM) << name;
  }
  const wchar_t* classes[] = {
      L"KaCommonSoft",      L"KaInstalledSoft", L"KaGetIconStatus",    L"KaRecommendCatalog",
      L"KaRecommendSoft",   L"KaSoftStatusManager", L"KaSoftUpdater",  L"KaSoftTypeStorage",
      L"KaSoftwareCatelog", L"KaSoftWare",      L"KaSoftMainType",     L"KaSoftwareVerItem"};
  for (const wchar_t* name : classes) {
    ASSERT_TRUE(entries_.count(name)) << name;
    EXPECT_EQ(entries_[name].kind, TKIND_COCLASS) << name;
    EXPECT_NE(HelpString(name).find(name), std::wstring::npos) << name;
  }
  // The host's and the facade's private interfaces stay out of the library.
  for (const wchar_t* name : {L"IKaHostServices", L"IKaHostPlugin", L"IKaNotifyEvents"}) {
    EXPECT_FALSE(entries_.count(name)) << name;
  }
  EXPECT_TRUE(entries_.count(L"IXMLDOMNode"));
}

TEST_F(TypeLibraryTest, EnumerationValuesMatchTheHeader) {
  ComPtr<ITypeInfo> info = entries_[L"kaSoftVersionPolicy"].info;
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cVars, 6);
  info->ReleaseTypeAttr(attr);
  VARDESC* var = nullptr;
  ASSERT_EQ(info->GetVarDesc(5, &var), S_OK);
  EXPECT_EQ(var->lpvarValue->lVal, kaSoftVersionPolicy_none);
  EXPECT_EQ(kaSoftVersionPolicy_none, 5);
  info->ReleaseVarDesc(var);
  EXPECT_EQ(kaSoftInstallStatus_unknown, 4);
  EXPECT_EQ(kaSoftInnerType_popularity, 4);
  EXPECT_EQ(kaSoftVersionAttribute_try, 2);
  EXPECT_EQ(kaUninstallSource_machine64, 1);
  EXPECT_EQ(kaUninstallSource_user, 3);
}

TEST_F(TypeLibraryTest, InstalledProgramListIsACollectionScriptsCanWalk) {
  // Added interfaces carry identifiers of their own.
  for (const wchar_t* name : {L"IKaInstalledPrograms", L"IKaInstalledProgram", L"IKaIdentifyExplain",
                              L"IKaInstalledPrograms2", L"IKaInstalledProgram2"}) {
    EXPECT_NE(entries_[name].guid, __uuidof(IKaInstalledSoft)) << name;
    EXPECT_NE(entries_[name].guid, __uuidof(IKaCommonSoft)) << name;
  }
  EXPECT_NE(entries_[L"IKaInstalledPrograms2"].guid, __uuidof(IKaInstalledPrograms));
  EXPECT_NE(entries_[L"IKaInstalledProgram2"].guid, __uuidof(IKaInstalledProgram));
  // The second list answers the first one's members by the same numbers.
  ComPtr<ITypeInfo> second = entries_[L"IKaInstalledPrograms2"].info;
  for (const auto& [method, id] : {std::pair{L"Count", 1}, {L"EntryCount", 2}}) {
    MEMBERID found = MEMBERID_NIL;
    LPOLESTR name = const_cast<LPOLESTR>(method);
    ASSERT_EQ(second->GetIDsOfNames(&name, 1, &found), S_OK) << method;
    EXPECT_EQ(found, id) << method;
  }
  EXPECT_EQ(entries_[L"IKaInstalledPrograms"].guid, __uuidof(IKaInstalledPrograms));
  ComPtr<ITypeInfo> info = entries_[L"IKaInstalledPrograms"].info;
  for (const auto& [method, id] : {std::pair{L"Item", DISPID_VALUE}, {L"_NewEnum", DISPID_NEWENUM},
                                   {L"Count", 1}}) {
    MEMBERID found = MEMBERID_NIL;
    LPOLESTR name = const_cast<LPOLESTR>(method);
    ASSERT_EQ(info->GetIDsOfNames(&name, 1, &found), S_OK) << method;
    EXPECT_EQ(found, id) << method;
  }
}

TEST_F(TypeLibraryTest, DualInterfacesNumberTheirMethodsFromTheBase) {
  struct Expected {
    const wchar_t* interfaceName;
    const wchar_t* method;
    MEMBERID id;
    bool retval;
  };
  const Expected expected[] = {
      {L"IKaRecommendSoft", L"GetCount", 0x60020000, true},
      {L"IKaRecommendSoft", L"GetcatalogByIndex", 0x60020001, true},
      {L"IKaRecommendCatalog", L"GetName", 0x60020000, true},
      {L"IKaRecommendCatalog", L"GetSoftByIndex", 0x60020004, false},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.method);
    // The library hands out the dispatch side of a dual; the vtable side
    // keeps the out-parameters.
    ComPtr<ITypeInfo> info;
    HREFTYPE vtable = 0;
    ASSERT_EQ(entries_[e.interfaceName].info->GetRefTypeOfImplType(-1, &vtable), S_OK);
    ASSERT_EQ(entries_[e.interfaceName].info->GetRefTypeInfo(vtable, &info), S_OK);
    MEMBERID id = MEMBERID_NIL;
    LPOLESTR name = const_cast<LPOLESTR>(e.method);
    ASSERT_EQ(info->GetIDsOfNames(&name, 1, &id), S_OK);
    EXPECT_EQ(id, e.id);
    // The last parameter of a single-result method is the script result.
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    const WORD functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (WORD f = 0; f < functions; ++f) {
      FUNCDESC* desc = nullptr;
      ASSERT_EQ(info->GetFuncDesc(f, &desc), S_OK);
      if (desc->memid == e.id) {
        const PARAMDESC& last = desc->lprgelemdescParam[desc->cParams - 1].paramdesc;
        EXPECT_EQ((last.wParamFlags & PARAMFLAG_FRETVAL) != 0, e.retval);
        EXPECT_TRUE(last.wParamFlags & PARAMFLAG_FOUT);
      }
      info->ReleaseFuncDesc(desc);
    }
  }
}

TEST_F(TypeLibraryTest, QuirkyDirectionsAreKept) {
  // QuerySoftInstallStatus publishes its status pointer as an input.
  ComPtr<ITypeInfo> info = entries_[L"IKaCommonSoft"].info;
  FUNCDESC* desc = nullptr;
  ASSERT_EQ(info->GetFuncDesc(0, &desc), S_OK);
  BSTR name = nullptr;
  UINT count = 0;
  info->GetNames(desc->memid, &name, 1, &count);
  EXPECT_STREQ(name, L"QuerySoftInstallStatus");
  ::SysFreeString(name);
  ASSERT_EQ(desc->cParams, 2);
  EXPECT_TRUE(desc->lprgelemdescParam[1].paramdesc.wParamFlags & PARAMFLAG_FIN);
  EXPECT_FALSE(desc->lprgelemdescParam[1].paramdesc.wParamFlags & PARAMFLAG_FOUT);
  info->ReleaseFuncDesc(desc);
}

}  // namespace

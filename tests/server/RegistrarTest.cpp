// The real scripts and type library of the built DLL, registered in a
// private HKEY_CLASSES_ROOT.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClassCases.h"
#include "server/Registrar.h"
#include "support/TestSupport.h"

using tessary::ClassEntry;
using namespace tessary::testing;

namespace {

std::wstring Guid(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::vector<ClassEntry> FullTable() {
  std::vector<ClassEntry> table;
  for (const ClassCase& c : kClassCases) {
    using enum tessary::Aggregation;
    using enum tessary::Registration;
    table.push_back({c.clsid, nullptr, c.aggregates ? Allowed : Refused, c.script,
                     c.registered ? Written : None});
  }
  return table;
}

class ModuleRegistrationTest : public ::testing::Test {
 protected:
  RegistrySandbox sandbox_{true};
  TessaryDll dll_;
  const std::wstring appId_ = Guid(APPID_Tessary);
  const std::wstring libId_ = Guid(LIBID_TessaryLib);
};

TEST_F(ModuleRegistrationTest, WritesEveryRegisteredClassAndNothingForTheOthers) {
  ASSERT_TRUE(sandbox_.ok());
  ASSERT_TRUE(dll_.ok());
  ASSERT_EQ(tessary::RegisterServer(dll_.module(), FullTable(), appId_), S_OK);

  const std::wstring path = BuiltDllPath();
  for (const ClassCase& cls : kClassCases) {
    const std::wstring name = cls.name;
    const std::wstring clsid = Guid(*cls.clsid);
    const std::wstring progId = L"Tessary." + name;
    const std::wstring key = L"CLSID\\" + clsid;
    const bool written = name != L"KaCommonSoft" && name != L"KaSoftwareVerItem";
    SCOPED_TRACE(name);
    EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, key), written);
    EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, progId), written);
    if (!written) continue;
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, progId + L".1", nullptr), name + L" Class");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, progId + L".1\\CLSID", nullptr), clsid);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, progId, nullptr), name + L" Class");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, progId + L"\\CLSID", nullptr), clsid);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, progId + L"\\CurVer", nullptr), progId + L".1");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key, nullptr), name + L" Class");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + L"\\ProgID", nullptr), progId + L".1");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + L"\\VersionIndependentProgID", nullptr),
              progId);
    EXPECT_EQ(::lstrcmpiW(ReadString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr).c_str(),
                          path.c_str()),
              0);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel"),
              L"Apartment");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key, L"AppID"), appId_);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + L"\\TypeLib", nullptr), libId_);
  }
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"AppID\\" + appId_, nullptr), L"Tessary");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"AppID\\Tessary.DLL", L"AppID"), appId_);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + libId_ + L"\\1.0"));

  ASSERT_EQ(tessary::UnregisterServer(dll_.module(), FullTable(), appId_), S_OK);
  for (const ClassCase& cls : kClassCases) {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + Guid(*cls.clsid))) << cls.name;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"Tessary.") + cls.name)) << cls.name;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"Tessary.") + cls.name + L".1"));
  }
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\" + appId_));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\Tessary.DLL"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + libId_));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
}

TEST_F(ModuleRegistrationTest, TheFirstFailingStepEndsRegistration) {
  ASSERT_TRUE(sandbox_.ok());
  ASSERT_TRUE(dll_.ok());
  using enum tessary::Aggregation;
  using enum tessary::Registration;
  const ClassEntry broken[] = {
      {&CLSID_KaSoftUpdater, nullptr, Allowed, IDR_KaSoftUpdater, Written},
      {&CLSID_KaSoftWare, nullptr, Refused, 199, Written},  // no such script
      {&CLSID_KaSoftMainType, nullptr, Refused, IDR_KaSoftMainType, Written},
  };
  EXPECT_EQ(tessary::RegisterServer(dll_.module(), broken, appId_),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  // Steps already done stay; later ones never ran.
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\" + appId_));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + Guid(CLSID_KaSoftUpdater)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + Guid(CLSID_KaSoftMainType)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + libId_));
}

TEST_F(ModuleRegistrationTest, TheExportedEntryPointsRegisterAndUnregister) {
  ASSERT_TRUE(sandbox_.ok());
  ASSERT_TRUE(dll_.ok());
  ASSERT_EQ(dll_.RegisterServer(), S_OK);
  for (const ClassCase& cls : kClassCases) {
    EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + Guid(*cls.clsid) + L"\\InprocServer32"),
              cls.registered)
        << cls.name;
  }
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"AppID\\" + appId_, nullptr), L"Tessary");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + libId_ + L"\\1.0"));
  // Only automation interfaces get Interface keys.
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(IID_IKaRecommendSoft)));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(IID_IKaRecommendCatalog)));
  for (const IID* added : {&IID_IKaInstalledPrograms2, &IID_IKaInstalledProgram2}) {
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(*added)));
  }
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(IID_IKaSoftStatusManager)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(IID_IKaCommonSoft)));

  ASSERT_EQ(dll_.UnregisterServer(), S_OK);
  for (const ClassCase& cls : kClassCases) {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + Guid(*cls.clsid))) << cls.name;
  }
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\" + appId_));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + libId_));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(IID_IKaRecommendSoft)));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Guid(IID_IKaInstalledProgram2)));
}

std::wstring ReadInView(const std::wstring& path, const wchar_t* value, REGSAM view) {
  tessary::UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, key.put()) !=
      ERROR_SUCCESS) {
    return L"<missing>";
  }
  return ReadString(key.get(), L"", value);
}

TEST_F(ModuleRegistrationTest, KeepsTheSystemsOwnDomInterfaceRegistrationInBothViews) {
  ASSERT_TRUE(sandbox_.ok());
  ASSERT_TRUE(dll_.ok());
  // The DOM interfaces our library carries belong to the system's XML library,
  // registered in both views, which the type library's registration writes.
  // The private classes root gets a 32-bit view the way the machine's has one.
  tessary::UniqueHkey wow64;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Wow6432Node", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, wow64.put(), nullptr),
            ERROR_SUCCESS);
  const std::wstring node = L"Interface\\" + Guid(IID_IXMLDOMNode);
  struct ViewCase {
    REGSAM view;
    const wchar_t* systemLib;
    const wchar_t* version;
  };
  const ViewCase views[] = {{KEY_WOW64_64KEY, L"{D63E0CE2-A0A2-11D0-9C02-00C04FC99C8E}", L"2.0"},
                            {KEY_WOW64_32KEY, L"{F5078F18-C551-11D3-89B9-0000F81FE221}", L"3.0"}};
  for (const ViewCase& v : views) {
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, node, nullptr, L"IXMLDOMNode", v.view));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, node + L"\\TypeLib", nullptr, v.systemLib, v.view));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, node + L"\\TypeLib", L"Version", v.version, v.view));
  }

  ASSERT_EQ(dll_.RegisterServer(), S_OK);
  for (const ViewCase& v : views) {
    EXPECT_EQ(ReadInView(node + L"\\TypeLib", nullptr, v.view), v.systemLib) << v.view;
    EXPECT_EQ(ReadInView(node + L"\\TypeLib", L"Version", v.view), v.version) << v.view;
  }
  ASSERT_EQ(dll_.UnregisterServer(), S_OK);
  for (const ViewCase& v : views) {
    EXPECT_EQ(ReadInView(node + L"\\TypeLib", nullptr, v.view), v.systemLib) << v.view;
    EXPECT_EQ(ReadInView(node, nullptr, v.view), L"IXMLDOMNode") << v.view;
  }
}

}  // namespace

// Identification at realistic scale: 1,000 Uninstall entries and a rules file
// of 3,000 programs (2,000 found by registry key, 1,000 by start-menu
// locations over 500 shortcuts), on a release that looks at the start menu.
// KaCommonSoft's creation is measured against the bare inventory rebuild
// plus one MSXML read of the rules file; a cached query against lower-casing
// the name and one lookup in an ordered map of the same size.
#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "bench/Harness.h"
#include "common/Names.h"
#include "common/Text.h"
#include "identify/KaCommonSoft.h"
#include "identify/StartMenu.h"
#include "inventory/InstalledProgramInventory.h"
#include "inventory/WindowsVersion.h"
#include "datafiles/DataFiles.h"
#include "support/PeBuilder.h"
#include "support/TestSupport.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kPrograms = 1000;
constexpr int kRegistryRules = 2000;
constexpr int kStartMenuRules = 1000;
constexpr int kShortcuts = 500;
constexpr int kShortcutsPerGroup = 10;
constexpr int kFileVersionRules = 200;  // policy 3; the rest read DisplayVersion
constexpr int kRounds = 5;

std::wstring g_moduleFile;
std::wstring g_commonPrograms;
std::wstring g_userPrograms;

BOOL WINAPI Vista(OSVERSIONINFOW* info) {
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 0;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

DWORD WINAPI BenchModule(HMODULE, LPWSTR name, DWORD capacity) {
  if (g_moduleFile.size() >= capacity) return 0;
  wcscpy_s(name, capacity, g_moduleFile.c_str());
  return static_cast<DWORD>(g_moduleFile.size());
}

HRESULT WINAPI BenchFolders(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
  wcscpy_s(path, MAX_PATH,
           (csidl == CSIDL_COMMON_PROGRAMS ? g_commonPrograms : g_userPrograms).c_str());
  return S_OK;
}

std::wstring Number(int n, int width) {
  std::wstring text = std::to_wstring(n);
  return std::wstring(text.size() < static_cast<size_t>(width) ? width - text.size() : 0, L'0') +
         text;
}

std::wstring ProgramFolder(const std::wstring& root, int i) {
  return root + L"\\P" + std::to_wstring(i);
}

bool Populate(const std::wstring& root) {
  using tessary::testing::WriteString;
  tessary::testing::VersionResourceLayout layout;
  layout.fileVersionMS = tessary::testing::VersionWord(2, 7);
  layout.productVersionMS = tessary::testing::VersionWord(2, 7);
  const std::string resource = tessary::testing::BuildVersionResource(layout);
  for (int i = 0; i < kPrograms; ++i) {
    const std::wstring key = std::wstring(tessary::kUninstallKeyPath) + L"\\{BENCH-" +
                             Number(i, 4) + L"}_is1";
    const std::wstring folder = ProgramFolder(root, i);
    // As on a real system, the icon names the installed executable.
    if (!tessary::testing::CreateDirectories(folder) ||
        !tessary::testing::WritePeWithVersion(folder + L"\\program.exe", resource)) {
      return false;
    }
    const bool ok =
        WriteString(HKEY_LOCAL_MACHINE, key, L"DisplayName", L"Bench Program " + Number(i, 4)) &&
        WriteString(HKEY_LOCAL_MACHINE, key, L"DisplayVersion", L"2." + std::to_wstring(i)) &&
        WriteString(HKEY_LOCAL_MACHINE, key, L"Publisher", L"Maker " + std::to_wstring(i % 40)) &&
        WriteString(HKEY_LOCAL_MACHINE, key, L"UninstallString",
                    L"\"" + folder + L"\\unins000.exe\" /SILENT") &&
        WriteString(HKEY_LOCAL_MACHINE, key, L"DisplayIcon", folder + L"\\program.exe,0");
    if (!ok) return false;
  }
  // 500 shortcuts in 50 groups of the all-users Programs folder.
  for (int k = 0; k < kShortcuts; ++k) {
    const std::wstring group = g_commonPrograms + L"\\Group" + Number(k / kShortcutsPerGroup, 2);
    if (!tessary::testing::CreateDirectories(group)) return false;
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.GetAddressOf()))) ||
        FAILED(link->QueryInterface(IID_IPersistFile,
                                    reinterpret_cast<void**>(file.GetAddressOf())))) {
      return false;
    }
    link->SetPath((ProgramFolder(root, k % kPrograms) + L"\\program.exe").c_str());
    if (FAILED(file->Save((group + L"\\Tool-" + Number(k, 3) + L".lnk").c_str(), TRUE))) {
      return false;
    }
  }
  return true;
}

std::wstring RulesXml() {
  std::wstring xml = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vedad result=\"0\">\n";
  for (int i = 0; i < kRegistryRules; ++i) {
    xml += L"<soft name=\"Soft " + Number(i, 4) + L"\">";
    const std::wstring key = i < kPrograms ? L"{BENCH-" + Number(i, 4) + L"}_is1"
                                           : L"{MISSING-" + Number(i, 4) + L"}";
    if (i < kFileVersionRules) {
      xml += L"<regkey displayname=\"Soft " + Number(i, 4) +
             L"\" policy=\"3\" ver_filepath=\"program.exe\" ver_filepath1=\"bin\\program.exe\">" +
             key + L"</regkey>";
    } else {
      xml += L"<regkey displayname=\"Soft " + Number(i, 4) + L"\" policy=\"0\">" + key +
             L"</regkey>";
    }
    if (i % 5 == 0) xml += L"<regkey displayname=\"Old\" policy=\"0\">{OLD-" + key + L"}</regkey>";
    xml += L"</soft>\n";
  }
  for (int j = 0; j < kStartMenuRules; ++j) {
    const int k = j % kShortcuts;
    xml += L"<soft name=\"Menu " + Number(j, 4) + L"\"><start_menu path=\"Group" +
           Number(k / kShortcutsPerGroup, 2) + L"\" app_file=\"Tool-" + Number(k, 3) +
           L"\" uninstall_file=\"Remove\" policy=\"3\" ver_filepath=\"program.exe\"/></soft>\n";
  }
  return xml + L"</vedad>\n";
}

TESSARY_BENCHMARK(CommonSoftIdentification) {
  tessary::testing::RegistrySandbox sandbox;
  tessary::testing::TempDir dir;
  if (!sandbox.ok()) return 1;
  g_moduleFile = dir.Join(L"Tessary.dll");
  g_commonPrograms = dir.Join(L"Common");
  g_userPrograms = dir.Join(L"User");
  tessary::testing::CreateDirectories(g_userPrograms);
  tessary::SetOsVersionQuery(&Vista);
  tessary::SetModuleFileNameQuery(&BenchModule);
  tessary::SetFolderPathQuery(&BenchFolders);
  struct Restore {
    ~Restore() {
      tessary::SetOsVersionQuery(nullptr);
      tessary::SetModuleFileNameQuery(nullptr);
      tessary::SetFolderPathQuery(nullptr);
    }
  } restore;
  if (!Populate(dir.Join(L"Programs"))) return 1;
  const std::wstring xml = RulesXml();
  std::string utf8(static_cast<size_t>(::WideCharToMultiByte(
                       CP_UTF8, 0, xml.c_str(), static_cast<int>(xml.size()), nullptr, 0,
                       nullptr, nullptr)),
                   '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, xml.c_str(), static_cast<int>(xml.size()), utf8.data(),
                        static_cast<int>(utf8.size()), nullptr, nullptr);
  const std::wstring rulesPath = dir.Join(L"KaData\\KaSoftwareVerIdentify.xml");
  if (!tessary::testing::CreateDirectories(dir.Join(L"KaData")) ||
      !tessary::testing::WriteFileBytes(rulesPath, utf8)) {
    return 1;
  }
  std::printf("  %d Uninstall entries; %d rules (%d by key, %d by start menu over %d shortcuts);"
              " median of %d\n",
              kPrograms, kRegistryRules + kStartMenuRules, kRegistryRules, kStartMenuRules,
              kShortcuts, kRounds);

  // Creation against the bare rebuild plus one MSXML read of the rules.
  tessary::InstalledProgramInventory inventory;
  double rebuild = 0;
  double xmlRead = 0;
  const auto [creationFloor, creation] = tessary::bench::InterleavedMedians(
      kRounds,
      [&] {
        double start = tessary::bench::Now();
        inventory.Rebuild();
        rebuild = tessary::bench::Now() - start;
        start = tessary::bench::Now();
        tessary::LoadXmlFile(rulesPath.c_str());
        xmlRead = tessary::bench::Now() - start;
      },
      [&] {
        ComPtr<IKaCommonSoft> common;
        tessary::CreateKaCommonSoft(nullptr, IID_IKaCommonSoft,
                                    reinterpret_cast<void**>(common.GetAddressOf()));
      });
  std::printf("  last round: bare rebuild %.1f ms, MSXML read of the rules %.1f ms\n",
              rebuild * 1e3, xmlRead * 1e3);
  const bool creationOk = tessary::bench::ReportRatio(
      "KaCommonSoft creation", creation, "bare rebuild + one MSXML read (floor)", creationFloor,
      2.0);

  // Every name, first asked (identification) and asked again (cached).
  std::vector<BSTR> names;
  for (int i = 0; i < kRegistryRules; ++i) {
    names.push_back(::SysAllocString((L"SOFT " + Number(i, 4)).c_str()));
  }
  for (int j = 0; j < kStartMenuRules; ++j) {
    names.push_back(::SysAllocString((L"Menu " + Number(j, 4)).c_str()));
  }
  int installed = 0;
  const auto askAll = [&](IKaCommonSoft* common) {
    installed = 0;
    for (BSTR name : names) {
      kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
      BSTR version = nullptr;
      BSTR displayName = nullptr;
      common->GetSoftVersion(name, &status, &version, &displayName);
      installed += status == kaSoftInstallStatus_installed;
      ::SysFreeString(version);
      ::SysFreeString(displayName);
    }
  };
  std::vector<ComPtr<IKaCommonSoft>> fresh(kRounds);
  for (auto& common : fresh) {
    tessary::CreateKaCommonSoft(nullptr, IID_IKaCommonSoft,
                                reinterpret_cast<void**>(common.GetAddressOf()));
  }
  size_t next = 0;
  const double first = tessary::bench::MedianSeconds(kRounds, [&] { askAll(fresh[next++].Get()); });
  const int expectedInstalled = kPrograms + kStartMenuRules;
  if (installed != expectedInstalled) {
    std::printf("  %d names identified as installed, %d expected\n", installed, expectedInstalled);
    return 1;
  }

  std::map<std::wstring, int, std::less<>> floorMap;
  for (BSTR name : names) floorMap.emplace(tessary::LowerCopy(tessary::TextToNul(name)), 0);
  std::wstring scratch;
  long long found = 0;
  const ComPtr<IKaCommonSoft>& cached = fresh.front();
  constexpr int kRepeats = 20;
  const auto [floor, repeat] = tessary::bench::InterleavedMedians(
      kRounds * 3,
      [&] {
        for (int r = 0; r < kRepeats; ++r) {
          for (BSTR name : names) {
            scratch.assign(tessary::TextToNul(name));
            tessary::LowerInPlace(scratch);
            found += floorMap.find(scratch) != floorMap.end();
          }
        }
      },
      [&] {
        for (int r = 0; r < kRepeats; ++r) askAll(cached.Get());
      });
  for (BSTR name : names) ::SysFreeString(name);
  const double perName = static_cast<double>(names.size());
  std::printf("  first query %.2f us per name, cached query %.3f us per name (%lld found)\n",
              first * 1e6 / perName, repeat * 1e6 / perName / kRepeats, found);
  tessary::bench::ReportRatio("first GetSoftVersion, all names", first,
                              "lower-case + map lookup, all names (floor)", floor / kRepeats);
  const bool cachedOk = tessary::bench::ReportRatio(
      "cached GetSoftVersion, all names", repeat / kRepeats,
      "lower-case + map lookup, all names (floor)", floor / kRepeats, 3.0);
  return creationOk && cachedOk ? 0 : 1;
}

}  // namespace

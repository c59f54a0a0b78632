#include "bench/RealisticPc.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "inventory/InstalledProgramInventory.h"
#include "support/CatalogXml.h"
#include "support/TestSupport.h"

namespace tessary::bench {
namespace {

using Microsoft::WRL::ComPtr;
using tessary::testing::CreateDirectories;
using tessary::testing::Utf8;
using tessary::testing::WriteFileBytes;
using tessary::testing::WriteRaw;
using tessary::testing::WriteString;

// Small executables of the system's own that carry version resources (from
// 4.5 to 10.0). Copied under the programs' names: a 32-bit process reads no
// version from a file named like one of the system's programs.
constexpr const wchar_t* kSourceExecutables[] = {L"setx.exe",     L"winver.exe",
                                                 L"dpnsvr.exe",   L"robocopy.exe",
                                                 L"tasklist.exe", L"msiexec.exe"};

// Catalog versions by major: installed programs run 2.x or a file's 4.5 to
// 10.0, so most have newer versions, the last of which is a trial release.
constexpr int kVersionMajors[] = {1, 2, 8, 12, 20};

std::wstring Number(int n, int width) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%0*d", width, n);
  return text;
}

// The catalog program each rule names: 3,000 of the 20,000, spread out.
int CatalogIndex(const PcShape& shape, int rule) {
  return static_cast<int>(static_cast<long long>(rule) * shape.catalogPrograms / shape.rules);
}

std::wstring CatalogName(int index) { return L"Program" + std::to_wstring(index); }

std::wstring CatalogVersion(int index, int major) {
  return std::to_wstring(major) + L"." + std::to_wstring(index % 10) + L".0." +
         std::to_wstring(index);
}

// Installer styles vary the key names: a product code, an Inno Setup name, a
// plain one.
std::wstring UninstallKeyName(int i) {
  switch (i % 3) {
    case 0: return L"{6F1A" + Number(i, 4) + L"-0000-4C2B-8A3D-5E1F0000BEEF}";
    case 1: return L"Program Name " + Number(i, 4) + L"_is1";
    default: return L"ProgramName" + Number(i, 4);
  }
}

// 55% in the 64-bit view, 35% in the 32-bit view, 10% per user.
HKEY RootOf(int i, REGSAM& view) {
  const int slot = i % 20;
  view = slot < 11 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
  return slot < 18 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

enum class FilePlace { kNone, kBeside, kAlternative, kMissing };

// How the rule naming installed entry `i` reads its version.
struct EntryPlan {
  int rule = -1;  // the rule naming the entry
  int policy = 0;
  FilePlace file = FilePlace::kNone;
  bool arpCache = false;
};

EntryPlan PlanOf(const PcShape& shape, int i) {
  EntryPlan plan;
  const int twoKeyRules = 50;
  plan.rule = i < shape.installedRules ? i
              : i < shape.installedRules + twoKeyRules ? i - shape.installedRules
                                                       : -1;
  if (plan.rule < 0) return plan;
  // A second key reads its DisplayVersion, the first whatever its rule says.
  if (i >= shape.installedRules) return plan;
  switch (i % 10) {
    case 6:
      plan.policy = 1;
      plan.file = FilePlace::kBeside;
      plan.arpCache = true;
      break;
    case 7:
    case 8:
    case 9:
      plan.policy = i % 10 == 9 ? 4 : 3;
      plan.file = (i / 10) % 5 == 0   ? FilePlace::kAlternative
                  : (i / 10) % 5 == 1 ? FilePlace::kMissing
                                      : FilePlace::kBeside;
      break;
    default:
      plan.policy = 0;
  }
  return plan;
}

std::wstring AppFileName(int i) { return L"app" + Number(i, 4) + L".exe"; }

bool CopyExecutable(const std::wstring& system, int n, const std::wstring& to) {
  const size_t count = std::size(kSourceExecutables);
  for (size_t k = 0; k < count; ++k) {
    const std::wstring from = system + L"\\" + kSourceExecutables[(n + k) % count];
    if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
  }
  return false;
}

bool WriteNumber(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value,
                 REGSAM view) {
  return WriteRaw(root, path, name, REG_DWORD, &value, sizeof(value), view);
}

// An Add/Remove Programs cache record: 552 bytes, the image path at offset 28.
bool WriteArpCache(const std::wstring& keyName, const std::wstring& image, REGSAM view) {
  BYTE record[552] = {};
  record[0] = 0x28;
  record[1] = 0x02;
  record[4] = 1;
  const size_t bytes = std::min<size_t>(image.size() * 2, 259 * 2);
  std::memcpy(record + 28, image.c_str(), bytes);
  return WriteRaw(HKEY_CURRENT_USER,
                  std::wstring(tessary::kArpCacheKeyPath) + L"\\" + keyName, L"SlowInfoCache",
                  REG_BINARY, record, sizeof(record), view);
}

bool MakeEntries(const PcShape& shape, const PcPlace& place, const std::wstring& system,
                 PcMade& made) {
  const std::wstring uninstall = tessary::testing::kUninstallPath;
  for (int i = 0; i < shape.programs; ++i) {
    REGSAM view = 0;
    const HKEY root = RootOf(i, view);
    const EntryPlan plan = PlanOf(shape, i);
    const std::wstring key = uninstall + UninstallKeyName(i);
    const std::wstring folder = place.programFiles + L"\\P" + Number(i, 4);
    const std::wstring app = AppFileName(i);
    const int catalog = plan.rule >= 0 ? CatalogIndex(shape, plan.rule) : 100000 + i;
    // Every seventh is up to date; second keys are a release ahead.
    const int major = i % 7 == 3 ? 20 : i >= shape.installedRules ? 8 : 2;
    if (!CreateDirectories(folder)) return false;
    const bool ok =
        WriteString(root, key, L"DisplayName", L"Program " + Number(i, 4), view) &&
        WriteString(root, key, L"DisplayVersion", CatalogVersion(catalog, major), view) &&
        WriteString(root, key, L"Publisher", L"Maker " + std::to_wstring(i % 40), view) &&
        WriteString(root, key, L"UninstallString", L"\"" + folder + L"\\unins000.exe\" /SILENT",
                    view) &&
        WriteString(root, key, L"DisplayIcon", folder + L"\\" + app + L",0", view) &&
        WriteString(root, key, L"InstallLocation", folder, view) &&
        WriteString(root, key, L"InstallDate", L"2026" + Number(i % 12 + 1, 2) + L"01", view) &&
        WriteString(root, key, L"URLInfoAbout", L"http://example.com/" + std::to_wstring(i),
                    view) &&
        WriteNumber(root, key, L"EstimatedSize", 1000 + i, view) &&
        WriteNumber(root, key, L"NoModify", 1, view);
    if (!ok) return false;
    std::wstring file;
    if (plan.file == FilePlace::kBeside) file = folder + L"\\" + app;
    if (plan.file == FilePlace::kAlternative) {
      if (!CreateDirectories(folder + L"\\bin")) return false;
      file = folder + L"\\bin\\" + app;
    }
    if (!file.empty()) {
      if (!CopyExecutable(system, i, file)) return false;
      made.ruleFiles.push_back(file);
    }
    if (plan.arpCache && !WriteArpCache(UninstallKeyName(i), file, view)) return false;
  }
  for (int k = 0; k < shape.updateEntries; ++k) {
    const std::wstring key = uninstall + L"KB" + std::to_wstring(950000 + k * 37);
    if (!WriteString(HKEY_LOCAL_MACHINE, key, L"DisplayName",
                     L"Security Update (KB" + std::to_wstring(950000 + k * 37) + L")",
                     KEY_WOW64_64KEY) ||
        !WriteString(HKEY_LOCAL_MACHINE, key, L"ParentDisplayName", L"Windows",
                     KEY_WOW64_64KEY)) {
      return false;
    }
  }
  return true;
}

std::wstring MenuFolder(const PcPlace& place, int m) {
  // Seven in ten for all users.
  return (m % 10 < 7 ? place.commonPrograms : place.userPrograms) + L"\\Menu Program " +
         Number(m, 3);
}

bool MakeShortcut(const std::wstring& link, const std::wstring& target) {
  ComPtr<IShellLinkW> shell;
  ComPtr<IPersistFile> file;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(shell.GetAddressOf()))) ||
      FAILED(shell.As(&file))) {
    return false;
  }
  shell->SetPath(target.c_str());
  return SUCCEEDED(file->Save(link.c_str(), TRUE));
}

bool MakeStartMenu(const PcShape& shape, const PcPlace& place, const std::wstring& system,
                   PcMade& made) {
  for (int m = 0; m < shape.startMenuRules; ++m) {
    const std::wstring folder = MenuFolder(place, m);
    const std::wstring programs = place.programFiles + L"\\M" + Number(m, 3);
    const std::wstring app = programs + L"\\menu" + Number(m, 3) + L".exe";
    if (!CreateDirectories(folder) || !CreateDirectories(programs) ||
        !CopyExecutable(system, m, app)) {
      return false;
    }
    made.ruleFiles.push_back(app);
    const std::pair<const wchar_t*, std::wstring> links[] = {
        {L"Menu App ", app},
        {L"Uninstall Menu App ", programs + L"\\uninst.exe"},
        {L"Help for Menu App ", programs + L"\\help.chm"},
        {L"Readme ", programs + L"\\readme.txt"},
        {L"Website ", programs + L"\\website.url"}};
    for (const auto& [name, target] : links) {
      if (!MakeShortcut(folder + L"\\" + name + Number(m, 3) + L".lnk", target)) return false;
    }
  }
  return true;
}

std::wstring RulesXml(const PcShape& shape) {
  std::wstring xml = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vedad result=\"0\" msg=\"\">\n";
  const int menuStart = shape.installedRules;
  const int missingStart = menuStart + shape.startMenuRules;
  for (int r = 0; r < shape.rules; ++r) {
    xml += L"<soft name=\"" + CatalogName(CatalogIndex(shape, r)) + L"\">";
    if (r < menuStart) {
      const EntryPlan plan = PlanOf(shape, r);
      xml += L"<regkey displayname=\"Program " + Number(r, 4) + L"\" policy=\"" +
             std::to_wstring(plan.policy) + L"\"";
      if (plan.policy >= 3) {
        xml += L" ver_filepath=\"" + AppFileName(r) + L"\"";
        if (plan.file == FilePlace::kAlternative || plan.file == FilePlace::kMissing) {
          xml += L" ver_filepath1=\"app\\" + AppFileName(r) + L",bin\\" + AppFileName(r) + L"\"";
        }
      }
      xml += L">" + UninstallKeyName(r) + L"</regkey>";
      const int second = shape.installedRules + r;
      if (second < shape.programs && PlanOf(shape, second).rule == r) {
        xml += L"<regkey displayname=\"Program " + Number(second, 4) + L"\" policy=\"0\">" +
               UninstallKeyName(second) + L"</regkey>";
      }
    } else if (r < missingStart) {
      const int m = r - menuStart;
      xml += L"<start_menu path=\"Menu Program " + Number(m, 3) + L"\" app_file=\"Menu App\"" +
             L" uninstall_file=\"Uninstall\" policy=\"" + std::to_wstring(m % 2 ? 4 : 3) +
             L"\" ver_filepath=\"menu" + Number(m, 3) + L".exe\"/>";
    } else {
      xml += L"<regkey displayname=\"Program " + Number(r, 4) + L"\" policy=\"0\">{MISSING-" +
             Number(r, 4) + L"}</regkey>";
      // Some know an older installer's key too.
      if (r % 5 == 0) {
        xml += L"<regkey displayname=\"Old\" policy=\"0\">Old Program " + Number(r, 4) +
               L"</regkey>";
      }
    }
    xml += L"</soft>\n";
  }
  return xml + L"</vedad>\n";
}

std::string TypeFileXml(const PcShape& shape, int first, int count) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad result=\"0\" msg=\"\">\n";
  for (int i = first; i < first + count; ++i) {
    xml += "  <soft regkey=\"" + Utf8(UninstallKeyName(i % shape.programs)) + "\" maintype=\"" +
           std::to_string(i % shape.mainTypes) + "\"/>\n";
  }
  return xml + "</vedad>\n";
}

std::string CatalogXml(const PcShape& shape) {
  tessary::testing::GeneratedCatalog catalog{shape.catalogPrograms, shape.versions,
                                             shape.mainTypes, shape.mainTypes,
                                             shape.versions - 1};
  catalog.major = [](int v) {
    return kVersionMajors[v % std::size(kVersionMajors)] + 20 * (v / 5);
  };
  return tessary::testing::GeneratedCatalogXml(catalog);
}

std::wstring IgnoreListXml(const PcShape& shape) {
  std::wstring xml = L"<ignorelist>";
  const int step = shape.ignored ? std::max(1, shape.catalogPrograms / shape.ignored) : 1;
  for (int k = 0; k < shape.ignored; ++k) {
    xml += L"<soft name=\"" + CatalogName(k * step) + L"\" verflag=\"" + std::to_wstring(k % 2) +
           L"\"/>";
  }
  return xml + L"</ignorelist>";
}

}  // namespace

bool MakeRealisticPc(const PcShape& shape, const PcPlace& place, PcMade& made) {
  wchar_t system[MAX_PATH] = {};
  if (!::GetSystemDirectoryW(system, MAX_PATH)) return false;
  made = {};
  if (!MakeEntries(shape, place, system, made) || !MakeStartMenu(shape, place, system, made)) {
    std::printf("  could not make the installed programs\n");
    return false;
  }
  made.rulesPath = place.componentData + L"\\KaSoftwareVerIdentify.xml";
  made.catalogPath = place.hostData + L"\\catalog.xml";
  made.registryKeyPath = place.hostData + L"\\regkeys.xml";
  made.ignoreListXml = IgnoreListXml(shape);
  const std::string catalog = CatalogXml(shape);
  made.catalogBytes = catalog.size();
  const int half = shape.typeKeys / 2;
  const bool ok =
      CreateDirectories(place.componentData + L"\\SoftType\\more") &&
      CreateDirectories(place.hostData) &&
      WriteFileBytes(made.rulesPath, Utf8(RulesXml(shape))) &&
      WriteFileBytes(place.componentData + L"\\SoftType\\common.xml",
                     TypeFileXml(shape, 0, half)) &&
      WriteFileBytes(place.componentData + L"\\SoftType\\more\\more.xml",
                     TypeFileXml(shape, half, shape.typeKeys - half)) &&
      WriteFileBytes(made.catalogPath, catalog) &&
      WriteFileBytes(made.registryKeyPath,
                     tessary::testing::GeneratedRegistryKeyXml(shape.registryKeys)) &&
      WriteFileBytes(place.hostData + L"\\ignorelist.xml", Utf8(made.ignoreListXml));
  if (!ok) std::printf("  could not write the data files\n");
  return ok;
}

}  // namespace tessary::bench

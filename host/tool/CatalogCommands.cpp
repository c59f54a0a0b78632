// catalog, updates and types: the host's catalog as the component serves it.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <utility>

#include "common/Text.h"
#include "common/Unique.h"
#include "host/tool/Commands.h"

namespace tessary::tool {
namespace {

using Microsoft::WRL::ComPtr;

// Catalog flags of a program, as the catalog's subsets name them.
constexpr DWORD kRecommended = 0x1;
constexpr DWORD kOneKey = 0x2;
constexpr DWORD kPopular = 0x4;

Json VersionsOf(IKaSoftWare* soft) {
  Json versions = Json::array();
  LONG count = 0;
  Check(soft->GetVersionCount(&count), "GetVersionCount");
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaSoftwareVerItem> item;
    Check(soft->GetVerItemByItem(i, &item), "GetVerItemByItem");
    UniqueBstr shown;
    _kaSoftVersionAttribute attribute = kaSoftVersionAttribute_normal;
    item->GetDisplayVersion(shown.Receive());
    item->GetVerAttr(&attribute);
    versions.push_back(Json{{"version", Utf8(TextToNul(shown.Get()))},
                            {"trial", attribute == kaSoftVersionAttribute_try}});
  }
  return versions;
}

std::string Flags(const Json& program) {
  std::string flags;
  for (const char* name : {"recommended", "oneKey", "popular"}) {
    if (!program[name].get<bool>()) continue;
    if (!flags.empty()) flags += ",";
    flags += name;
  }
  return flags.empty() ? "-" : flags;
}

}  // namespace

Json RunCatalog(Session& session) {
  IKaSoftStatusManager* manager = session.Manager();
  const std::wstring unknownType = UnknownMainType(session);
  Progress progress;
  progress.Show("loading the catalog ...");
  ComPtr<IKaSoftwareCatelog> catalog;
  Check(manager->GetSoftwareCatelog(&catalog), "GetSoftwareCatelog");
  Json document = Json::object();
  const struct {
    kaSoftInnerType type;
    const char* name;
  } subsets[] = {{kaSoftInnerType_all, "programCount"},
                 {kaSoftInnerType_recommend, "recommendedProgramCount"},
                 {kaSoftInnerType_onekey, "oneKeyProgramCount"},
                 {kaSoftInnerType_popularity, "popularProgramCount"}};
  for (const auto& subset : subsets) {
    LONG count = 0;
    Check(catalog->GetSoftCount(subset.type, &count), "GetSoftCount");
    document[subset.name] = count;
  }
  ComPtr<IKaEnumSoftware> programs;
  Check(catalog->GetEnum(&programs), "GetEnum");
  Json list = Json::array();
  for (;;) {
    ComPtr<IKaSoftWare> soft;
    ULONG fetched = 0;
    if (programs->Next(1, soft.GetAddressOf(), &fetched) != S_OK || !soft) break;
    UniqueBstr name, displayName, company, mainType;
    DWORD flags = 0;
    soft->GetSoftName(name.Receive());
    soft->GetDisplayName(displayName.Receive());
    soft->GetCompany(company.Receive());
    soft->GetMainType(mainType.Receive());
    soft->GetSoftType(&flags);
    list.push_back(Json{{"name", Utf8(TextToNul(name.Get()))},
                        {"catalogDisplayName", Optional(displayName.Get())},
                        {"catalogCompany", Optional(company.Get())},
                        {"mainType", MainTypeJson(mainType.Get(), unknownType)},
                        {"recommended", (flags & kRecommended) != 0},
                        {"oneKey", (flags & kOneKey) != 0},
                        {"popular", (flags & kPopular) != 0},
                        {"versions", VersionsOf(soft.Get())}});
  }
  document["programs"] = std::move(list);
  return document;
}

void ShowCatalog(const Json& document) {
  Write(Cell(document["programCount"]) + " programs: " +
        Cell(document["recommendedProgramCount"]) + " recommended, " +
        Cell(document["oneKeyProgramCount"]) + " one-key install, " +
        Cell(document["popularProgramCount"]) + " popular\n\n");
  Table table({NameColumn("NAME"), "CATALOG DISPLAY NAME", "MAIN TYPE", "FLAGS", "VERSIONS"});
  for (const Json& program : document["programs"]) {
    std::string versions;
    for (const Json& version : program["versions"]) {
      if (!versions.empty()) versions += ", ";
      versions += Cell(version["version"]);
      if (version["trial"].get<bool>()) versions += " (trial)";
    }
    table.Add({Cell(program["name"]), Cell(program["catalogDisplayName"]),
               Cell(program["mainType"]), Flags(program), versions.empty() ? "-" : versions});
  }
  table.Print();
}

Json RunUpdates(Session& session) {
  session.CheckComponentData(Session::kIdentificationRules);
  IKaSoftStatusManager* manager = session.Manager();
  Progress progress;
  progress.Show("loading the catalog and checking installed versions ...");
  ComPtr<IKaSoftUpdater> updater;
  Check(manager->GetSoftwareUpdater(&updater), "GetSoftwareUpdater");
  Check(updater->RefreshUpdateStatus(), "RefreshUpdateStatus");
  LONG programs = 0, versions = 0, ignored = 0;
  Check(updater->GetUpdateSoftCount(&programs), "GetUpdateSoftCount");
  Check(updater->GetUpdateVersionCount(&versions), "GetUpdateVersionCount");
  Check(updater->GetIgnoredSoftCount(&ignored), "GetIgnoredSoftCount");
  Json list = Json::array();
  for (LONG i = 0; i < programs; ++i) {
    progress.Show("update " + std::to_string(i + 1) + " of " + std::to_string(programs));
    ComPtr<IKaSoftWare> soft;
    UniqueBstr installed;
    UniqueSafeArray newer;
    Check(updater->GetUpdateSoftByIndex(i, &soft, installed.Receive(), newer.put()),
          "GetUpdateSoftByIndex");
    UniqueBstr name;
    soft->GetSoftName(name.Receive());
    LONG lower = 0, upper = -1;
    if (newer.get()) {
      ::SafeArrayGetLBound(newer.get(), 1, &lower);
      ::SafeArrayGetUBound(newer.get(), 1, &upper);
    }
    Json versionList = Json::array();
    for (LONG v = lower; v <= upper; ++v) {
      UniqueBstr version;
      if (FAILED(::SafeArrayGetElement(newer.get(), &v, static_cast<void*>(version.Receive())))) continue;
      bool trial = false, isIgnored = false;
      ComPtr<IKaSoftwareVerItem> item;
      if (SUCCEEDED(soft->GetVerItemByVersion(version.Get(), &item))) {
        _kaSoftVersionAttribute attribute = kaSoftVersionAttribute_normal;
        VARIANT_BOOL beIgnored = VARIANT_FALSE;
        item->GetVerAttr(&attribute);
        item->GetBeIgnored(&beIgnored);
        trial = attribute == kaSoftVersionAttribute_try;
        isIgnored = beIgnored != VARIANT_FALSE;
      }
      // The updater compares with the version identified; the exact check
      // looks at every record of the rule's keys, so it may find the offered
      // version installed under another one (the other registry view, say).
      kaSoftInstallStatus exact = kaSoftInstallStatus_unknown;
      Check(manager->GetSoftInstallStatusWithVer(name.Get(), version.Get(), &exact, nullptr),
            "GetSoftInstallStatusWithVer");
      versionList.push_back(Json{{"version", Utf8(TextToNul(version.Get()))},
                                 {"trial", trial},
                                 {"ignored", isIgnored},
                                 {"installedElsewhere", exact == kaSoftInstallStatus_installed}});
    }
    list.push_back(Json{{"name", Utf8(TextToNul(name.Get()))},
                        {"installedVersion", Optional(installed.Get())},
                        {"versions", std::move(versionList)}});
  }
  return Json{{"programCount", programs},
              {"versionCount", versions},
              {"ignoredVersionCount", ignored},
              {"capReached", session.CapReached()},
              {"programs", std::move(list)}};
}

void ShowUpdates(const Json& document) {
  Write(Cell(document["programCount"]) + " programs with newer versions: " +
        Cell(document["versionCount"]) + " versions, " + Cell(document["ignoredVersionCount"]) +
        " of them ignored\n\n");
  static constexpr std::pair<const char*, const char*> kMarks[] = {
      {"trial", "trial"}, {"ignored", "ignored"}, {"installedElsewhere", "installed elsewhere"}};
  Table table({NameColumn("NAME"), "INSTALLED VERSION", "NEWER"});
  bool elsewhere = false;
  for (const Json& program : document["programs"]) {
    std::string newer;
    for (const Json& version : program["versions"]) {
      if (!newer.empty()) newer += ", ";
      newer += Cell(version["version"]);
      std::string marks;
      for (const auto& [field, mark] : kMarks) {
        if (!version[field].get<bool>()) continue;
        if (!marks.empty()) marks += ", ";
        marks += mark;
      }
      elsewhere = elsewhere || version["installedElsewhere"].get<bool>();
      if (!marks.empty()) newer += " (" + marks + ")";
    }
    table.Add({Cell(program["name"]), Cell(program["installedVersion"]), newer});
  }
  table.Print();
  if (elsewhere) {
    Write("\ninstalled elsewhere: another Uninstall record of the program holds that version "
          "(`check` says installed)\n");
  }
}

Json RunTypes(Session& session, const std::vector<std::wstring>& keys) {
  session.CheckComponentData(Session::kTypeFiles);
  ComPtr<IKaSoftTypeStorage> types;
  Check(session.Manager()->GetSoftTypeStorage(&types), "GetSoftTypeStorage");
  const std::wstring unknownType = UnknownMainType(session);
  Json list = Json::array();
  for (const std::wstring& key : keys) {
    UniqueBstr bstrKey, type;
    if (!bstrKey.CopyFrom(key.c_str())) Fail(1, "copying", E_OUTOFMEMORY);
    const HRESULT hr = types->GetSoftMainTypeByRegKey(bstrKey.Get(), type.Receive());
    list.push_back(Json{{"key", Utf8(key)},
                        {"mainType", SUCCEEDED(hr) ? MainTypeJson(type.Get(), unknownType) : Json(nullptr)}});
  }
  return Json{{"keys", std::move(list)}};
}

void ShowTypes(const Json& document) {
  Table table({NameColumn("REGISTRY KEY"), "MAIN TYPE"});
  for (const Json& key : document["keys"]) {
    table.Add({Cell(key["key"]), Cell(key["mainType"])});
  }
  table.Print();
}

}  // namespace tessary::tool

// recommend and antivirus: what the host advises the user.
#include <windows.h>
#include <wrl/client.h>

#include "common/Text.h"
#include "common/Unique.h"
#include "host/tool/Commands.h"

namespace tessary::tool {

using Microsoft::WRL::ComPtr;

Json RunRecommend(Session& session) {
  session.CheckComponentData(Session::kIdentificationRules | Session::kRecommendations);
  IKaSoftStatusManager* manager = session.Manager();
  Progress progress;
  progress.Show("reading the recommendations ...");
  ComPtr<IKaRecommendSoft> recommendations;
  Check(manager->GetRecommendSoft(&recommendations), "GetRecommendSoft");
  LONG count = 0;
  Check(recommendations->GetCount(&count), "GetCount");
  Json lists = Json::array();
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IKaRecommendCatalog> list;
    Check(recommendations->GetcatalogByIndex(i, &list), "GetcatalogByIndex");
    UniqueBstr name, description;
    LONG importance = 0, programs = 0;
    list->GetName(name.Receive());
    list->GetDescription(description.Receive());
    list->GetImportance(&importance);
    list->GetSoftCount(&programs);
    Json entries = Json::array();
    for (LONG j = 0; j < programs; ++j) {
      UniqueBstr program, version, shown;
      LONG order = 0;
      Check(list->GetSoftByIndex(j, program.Receive(), &order), "GetSoftByIndex");
      kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
      Check(manager->GetSoftInstallStatus(program.Get(), &status, version.Receive(),
                                          shown.Receive()),
            "GetSoftInstallStatus");
      entries.push_back(Json{{"order", order},
                             {"name", Utf8(TextToNul(program.Get()))},
                             {"status", StatusName(status)},
                             {"installedVersion", Optional(version.Get())},
                             {"installedName", Optional(shown.Get())}});
    }
    lists.push_back(Json{{"listName", Utf8(TextToNul(name.Get()))},
                         {"description", Optional(description.Get())},
                         {"importance", importance},
                         {"programs", std::move(entries)}});
  }
  return Json{{"capReached", session.CapReached()}, {"lists", std::move(lists)}};
}

void ShowRecommend(const Json& document) {
  bool first = true;
  for (const Json& list : document["lists"]) {
    if (!first) Write("\n");
    first = false;
    Write(Cell(list["listName"]) + " (importance " + Cell(list["importance"]) + "): " +
          Cell(list["description"]) + "\n");
    Table table({"ORDER", NameColumn("NAME"), "STATUS", "INSTALLED VERSION"});
    table.Within("LIST", Cell(list["listName"]));
    for (const Json& program : list["programs"]) {
      table.Add({Cell(program["order"]), Cell(program["name"]), Cell(program["status"]),
                 Cell(program["installedVersion"])});
    }
    table.Print();
  }
}

Json RunAntivirus(Session& session) {
  session.CheckComponentData(Session::kAntivirusRules);
  kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
  UniqueBstr product, shown;
  Check(session.Manager()->GetAntivirusInstallStatus(&status, product.Receive(), shown.Receive()),
        "GetAntivirusInstallStatus");
  return Json{{"status", StatusName(status)},
              {"product", Optional(product.Get())},
              {"installedName", Optional(shown.Get())},
              {"capReached", session.CapReached()}};
}

void ShowAntivirus(const Json& document) {
  PrintFields({{"status", Cell(document["status"])},
               {"product", Cell(document["product"])},
               {"installed name", Cell(document["installedName"])}});
}

}  // namespace tessary::tool

#pragma once
// Generated catalog and registry-key files, shared by the catalog tests and
// the catalog benchmark: every program with all its fields, flags,
// counters and versions, in the layout hosts ship.
#include <string>

namespace tessary::testing {

// The catalog's shape. Version `v` of program `i` is numbered
// "MAJOR.(i % 10).0.i", MAJOR being `major(v)`; only version `trialVersion`
// is a trial release. Programs take main types in turn from `typeCycle`
// numbers: more than `mainTypes` names some the list lacks.
struct GeneratedCatalog {
  int programs = 0;
  int versions = 0;
  int mainTypes = 0;
  int typeCycle = 0;
  int trialVersion = 4;
  int (*major)(int v) = [](int v) { return v + 1; };
};

inline std::string GeneratedCatalogXml(const GeneratedCatalog& shape) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad>\n<main_type_list>\n";
  for (int t = 0; t < shape.mainTypes; ++t) {
    xml += "<type id=\"" + std::to_string(t) + "\"><name>Type " + std::to_string(t) +
           "</name></type>\n";
  }
  xml += "</main_type_list>\n<software_list>\n";
  for (int i = 0; i < shape.programs; ++i) {
    const std::string n = std::to_string(i);
    xml += "<software main_type=\"" + std::to_string(i % shape.typeCycle) +
           "\" is_main_recommend=\"" + std::to_string(i % 2) + "\" is_onekey_install=\"" +
           std::to_string(i % 3 == 0) + "\" is_popularity=\"1\" totaljudgeofmark=\"" +
           std::to_string(i * 7) + "\" totaljudgeoftimes=\"" + std::to_string(i) +
           "\" totaldownloadtimes=\"" + std::to_string(i * 1000LL) + "\">\n<name>Program" + n +
           "</name><displayname>Program " + n + " Deluxe</displayname><company>Maker " +
           std::to_string(i % 300) + "</company><pic>http://pics.example/" + n +
           ".png</pic><description>A program numbered " + n +
           " that does useful things.</description>\n";
    for (int v = 0; v < shape.versions; ++v) {
      const std::string ver =
          std::to_string(shape.major(v)) + "." + std::to_string(i % 10) + ".0." + n;
      xml += "<version version=\"" + ver + "\" displayver=\"" + ver + " build\" ver_attribute=\"" +
             std::to_string(v == shape.trialVersion) + "\"><whatsnew>Fixes for " + ver +
             "</whatsnew></version>\n";
    }
    xml += "</software>\n";
  }
  xml += "</software_list>\n</vedad>\n";
  return xml;
}

// Versions numbered from 1, the fifth a trial; one main type in
// `mainTypes + 1` unknown to the list.
inline std::string GeneratedCatalogXml(int programs, int versions, int mainTypes) {
  return GeneratedCatalogXml({programs, versions, mainTypes, mainTypes + 1});
}

inline std::string GeneratedRegistryKeyXml(int programs) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad result=\"0\" msg=\"\">\n";
  for (int i = 0; i < programs; ++i) {
    const std::string n = std::to_string(i);
    xml += "<soft name=\"Program" + n + "\"><regkey>{0000" + n + "-ABCD}_Program" + n +
           "</regkey></soft>\n";
  }
  xml += "</vedad>\n";
  return xml;
}

}  // namespace tessary::testing

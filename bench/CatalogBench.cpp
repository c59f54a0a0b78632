// Catalog load over a generated catalog of 20,000 programs with 5 versions
// each and 50 main types, plus 20,000 registry keys, against a bare DOM
// load of the same two files (parsing alone); then lookups by name and a
// full enumeration, per call and per entry.
#include <windows.h>
#include <msxml.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "bench/Harness.h"
#include "catalog/KaSoftwareCatelog.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "hostlink/HostReference.h"
#include "host/Host.h"

namespace {

using Microsoft::WRL::ComPtr;
using tessary::UniqueBstr;

constexpr int kPrograms = 20000;
constexpr int kVersions = 5;
constexpr int kMainTypes = 50;
constexpr int kRounds = 5;

std::string CatalogXml() {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad>\n<main_type_list>\n";
  for (int t = 0; t < kMainTypes; ++t) {
    xml += "<type id=\"" + std::to_string(t) + "\"><name>Type " + std::to_string(t) +
           "</name></type>\n";
  }
  xml += "</main_type_list>\n<software_list>\n";
  for (int i = 0; i < kPrograms; ++i) {
    const std::string n = std::to_string(i);
    xml += "<software main_type=\"" + std::to_string(i % kMainTypes) + "\" is_main_recommend=\"" +
           std::to_string(i % 2) + "\" is_onekey_install=\"" + std::to_string(i % 3 == 0) +
           "\" is_popularity=\"1\" totaljudgeofmark=\"" + std::to_string(i * 7) +
           "\" totaljudgeoftimes=\"" + std::to_string(i) + "\" totaldownloadtimes=\"" +
           std::to_string(i * 1000LL) + "\">\n<name>Program" + n + "</name><displayname>Program " +
           n + " Deluxe</displayname><company>Maker " + std::to_string(i % 300) +
           "</company><pic>http://pics.example/" + n + ".png</pic><description>A program numbered " +
           n + " that does useful things.</description>\n";
    for (int v = 0; v < kVersions; ++v) {
      const std::string ver = std::to_string(v + 1) + "." + std::to_string(i % 10) + ".0." + n;
      xml += "<version version=\"" + ver + "\" displayver=\"" + ver + " build\" ver_attribute=\"" +
             std::to_string(v == 4) + "\"><whatsnew>Fixes for " + ver + "</whatsnew></version>\n";
    }
    xml += "</software>\n";
  }
  xml += "</software_list>\n</vedad>\n";
  return xml;
}

std::string RegistryKeyXml() {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad result=\"0\" msg=\"\">\n";
  for (int i = 0; i < kPrograms; ++i) {
    const std::string n = std::to_string(i);
    xml += "<soft name=\"Program" + n + "\"><regkey>{0000" + n + "-ABCD}_Program" + n +
           "</regkey></soft>\n";
  }
  xml += "</vedad>\n";
  return xml;
}

// A fresh DOM document loading `path`, as the floor of a catalog load.
bool BareLoad(const std::wstring& path) {
  ComPtr<IXMLDOMDocument> document;
  if (FAILED(::CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                                reinterpret_cast<void**>(document.GetAddressOf())))) {
    return false;
  }
  VARIANT source;
  ::VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = ::SysAllocString(path.c_str());
  VARIANT_BOOL ok = VARIANT_FALSE;
  document->load(source, &ok);
  ::VariantClear(&source);
  return ok == VARIANT_TRUE;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  tessary::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                             nullptr) &&
         written == bytes.size();
}

// The data files live in a folder of their own for the run.
class DataFolder {
 public:
  DataFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"tessary_catalog_bench_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~DataFolder() {
    ::DeleteFileW(Join(L"catalog.xml").c_str());
    ::DeleteFileW(Join(L"regkeys.xml").c_str());
    ::RemoveDirectoryW(path_.c_str());
  }
  std::wstring Join(const wchar_t* name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

}  // namespace

TESSARY_BENCHMARK(CatalogLoad) {
  DataFolder folder;
  const std::wstring catalogPath = folder.Join(L"catalog.xml");
  const std::wstring keysPath = folder.Join(L"regkeys.xml");
  const std::string catalogXml = CatalogXml();
  const std::string keysXml = RegistryKeyXml();
  if (!WriteBytes(catalogPath, catalogXml) || !WriteBytes(keysPath, keysXml)) return 1;
  std::printf("  %d programs x %d versions, %d main types, %d registry keys (%.1f + %.1f MB),"
              " median of %d\n",
              kPrograms, kVersions, kMainTypes, kPrograms, catalogXml.size() / 1e6,
              keysXml.size() / 1e6, kRounds);

  tessary::host::Host host;
  if (FAILED(host.Start())) return 1;
  host.Data().SetDataFilePath(1, catalogPath);
  host.Data().SetDataFilePath(2, keysPath);
  tessary::SetHostReference(host.Services());

  bool parsed = true;
  ComPtr<tessary::KaSoftwareCatelog> catalog;
  if (FAILED(tessary::MakeComObject(catalog))) return 1;
  const auto load = tessary::bench::InterleavedMedians(
      kRounds, [&] { parsed = BareLoad(catalogPath) && BareLoad(keysPath) && parsed; },
      [&] { catalog->Load(); });
  LONG all = 0;
  catalog->GetSoftCount(kaSoftInnerType_all, &all);
  int status = 0;
  if (!parsed || all != kPrograms) {
    std::printf("  unexpected: parsed %d, all count %ld\n", parsed, all);
    status = 1;
  }
  if (!tessary::bench::ReportRatio("Load", load.figure, "bare DOM load of both files (floor)",
                                   load.floor, 1.5)) {
    status = 1;
  }

  // Lookups in a scattered order, in mixed case as hosts pass names.
  std::vector<UniqueBstr> names(kPrograms);
  std::map<std::wstring, IKaSoftWare*> plain;
  for (int i = 0; i < kPrograms; ++i) {
    const std::wstring name = L"PROGRAM" + std::to_wstring((i * 7919) % kPrograms);
    names[i].CopyFrom(name.c_str());
    plain.emplace(tessary::LowerCopy(name), nullptr);
  }
  int found = 0;
  const auto byName = tessary::bench::InterleavedMedians(
      kRounds,
      [&] {
        for (const auto& name : names) {
          found += plain.count(tessary::LowerCopy(tessary::BstrView(name.Get()))) != 0;
        }
      },
      [&] {
        for (const auto& name : names) {
          IKaSoftWare* entry = nullptr;
          if (SUCCEEDED(catalog->GetSoftwareByName(name.Get(), &entry))) entry->Release();
        }
      });
  std::printf("  GetSoftwareByName: %.2f us per call\n", byName.figure * 1e6 / kPrograms);
  tessary::bench::ReportRatio("GetSoftwareByName x 20,000", byName.figure,
                              "lower-cased std::map<wstring> find (floor)", byName.floor);

  // A full walk through the built-in enumerator, one entry per Next.
  std::vector<ComPtr<IKaSoftWare>> held;
  {
    ComPtr<IKaEnumSoftware> all;
    catalog->GetEnum(all.GetAddressOf());
    IKaSoftWare* entry = nullptr;
    while (all->Next(1, &entry, nullptr) == S_OK) {
      held.emplace_back(entry);
      entry->Release();
    }
  }
  size_t walked = 0;
  const auto enumeration = tessary::bench::InterleavedMedians(
      kRounds,
      [&] {
        for (const auto& entry : held) {
          entry->AddRef();
          entry->Release();
        }
      },
      [&] {
        ComPtr<IKaEnumSoftware> all;
        catalog->GetEnum(all.GetAddressOf());
        IKaSoftWare* entry = nullptr;
        walked = 0;
        while (all->Next(1, &entry, nullptr) == S_OK) {
          ++walked;
          entry->Release();
        }
      });
  if (walked != static_cast<size_t>(kPrograms)) status = 1;
  std::printf("  enumeration: %.3f us per entry\n", enumeration.figure * 1e6 / kPrograms);
  tessary::bench::ReportRatio("full enumeration, Next(1) x 20,000", enumeration.figure,
                              "AddRef/Release of the same entries (floor)", enumeration.floor);

  held.clear();
  catalog.Reset();
  tessary::ClearHostReference();
  host.Shutdown();
  return status;
}

// Catalog load over a generated catalog of 20,000 programs with 5 versions
// each and 50 main types, plus 20,000 registry keys, against a bare read of
// the same two files by the system's streaming reader (every element,
// attribute and text touched), and against a bare DOM load; then lookups by
// name and a full enumeration, per call and per entry; and the read of a
// software type file, which stays on the DOM.
#include <windows.h>
#include <msxml.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "bench/Floors.h"
#include "bench/Harness.h"
#include "catalog/CatalogFileReader.h"
#include "catalog/KaSoftwareCatelog.h"
#include "common/Names.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "hostlink/HostReference.h"
#include "host/Host.h"
#include "support/CatalogXml.h"

namespace {

using Microsoft::WRL::ComPtr;
using tessary::UniqueBstr;
using tessary::bench::BareDocumentLoad;
using tessary::bench::BareStream;

constexpr int kPrograms = 20000;
constexpr int kVersions = 5;
constexpr int kMainTypes = 50;
constexpr int kRounds = 5;

std::string TypeFileXml(int entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<vedad result=\"0\" msg=\"\">\n";
  for (int i = 0; i < entries; ++i) {
    xml += "  <soft regkey=\"{0000" + std::to_string(i) + "-ABCD}_Program" + std::to_string(i) +
           "\" maintype=\"" + std::to_string(i % 50) + "\"/>\n";
  }
  return xml + "</vedad>\n";
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
    ::DeleteFileW(Join(L"types.xml").c_str());
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
  const std::string catalogXml =
      tessary::testing::GeneratedCatalogXml(kPrograms, kVersions, kMainTypes);
  const std::string keysXml = tessary::testing::GeneratedRegistryKeyXml(kPrograms);
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

  ComPtr<tessary::KaSoftwareCatelog> catalog;
  if (FAILED(tessary::MakeComObject(catalog))) return 1;
  int status = 0;
  // The figures mean something only when both files stream.
  {
    tessary::CatalogContent content(nullptr);
    tessary::RegistryKeyTable keys;
    if (tessary::StreamCatalogFile(catalogPath.c_str(), content) != S_OK ||
        tessary::StreamRegistryKeyFile(keysPath.c_str(), keys) != S_OK) {
      std::printf("  unexpected: the streaming reader refused the generated files\n");
      status = 1;
    }
  }
  bool streamed = true;
  size_t characters = 0;
  const auto load = tessary::bench::InterleavedMedians(
      kRounds,
      [&] {
        streamed = BareStream(catalogPath, characters) && BareStream(keysPath, characters) &&
                   streamed;
      },
      [&] { catalog->Load(); });
  LONG all = 0;
  catalog->GetSoftCount(kaSoftInnerType_all, &all);
  if (!streamed || all != kPrograms) {
    std::printf("  unexpected: streamed %d, all count %ld\n", streamed, all);
    status = 1;
  }
  if (!tessary::bench::ReportRatio("Load", load.figure,
                                   "bare streaming read of both files (floor)", load.floor, 1.5)) {
    status = 1;
  }
  // Against the DOM: the floor the document parser sets, and the load
  // through it alone (as before the streaming reader).
  bool parsed = true;
  const double domFloor = tessary::bench::MedianSeconds(
      3, [&] { parsed = BareDocumentLoad(catalogPath) && BareDocumentLoad(keysPath) && parsed; });
  const double domLoad = tessary::bench::MedianSeconds(
      3, [&] { catalog->LoadWith(tessary::XmlReaderChoice::Document); });
  if (!parsed) status = 1;
  tessary::bench::ReportRatio("Load", load.figure, "bare DOM load of both files", domFloor);
  tessary::bench::ReportRatio("Load through the DOM alone", domLoad,
                              "bare DOM load of both files", domFloor);

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
          found += plain.count(tessary::LowerCopy(tessary::TextToNul(name.Get()))) != 0;
        }
      },
      [&] {
        for (const auto& name : names) {
          IKaSoftWare* entry = nullptr;
          if (SUCCEEDED(catalog->GetSoftwareByName(name.Get(), &entry))) entry->Release();
        }
      });
  std::printf("  GetSoftwareByName: %.2f us per call\n", byName.figure * 1e6 / kPrograms);
  if (!tessary::bench::ReportRatio("GetSoftwareByName x 20,000", byName.figure,
                                   "lower-cased std::map<wstring> find (floor)", byName.floor,
                                   2.0)) {
    status = 1;
  }

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

  // A software type file of 500 programs: small enough for the DOM.
  const std::wstring typesPath = folder.Join(L"types.xml");
  if (WriteBytes(typesPath, TypeFileXml(500))) {
    const auto types = tessary::bench::InterleavedMedians(
        kRounds, [&] { BareStream(typesPath, characters); }, [&] { BareDocumentLoad(typesPath); });
    std::printf("  type file of 500 programs: DOM load %.2f ms, streaming read %.2f ms\n",
                types.figure * 1e3, types.floor * 1e3);
  }

  held.clear();
  catalog.Reset();
  tessary::ClearHostReference();
  host.Shutdown();
  return status;
}

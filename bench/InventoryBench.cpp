// Rebuild over 1,000 Uninstall subkeys of 10 values each, split between the
// two registry views, against the bare walk that opens each subkey of both
// views and reads the same values; then the version
// comparison on a million pairs against a plain string compare of the same
// pairs.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/Floors.h"
#include "bench/Harness.h"
#include "common/Unique.h"
#include "identify/VersionPolicy.h"
#include "inventory/InstalledProgramInventory.h"

namespace {

using tessary::UniqueHkey;
using tessary::bench::BareEnumeration;

constexpr int kPrograms = 1000;
constexpr int kRounds = 9;

// HKLM and HKCU redirected to private keys for the benchmark's lifetime.
class Sandbox {
 public:
  Sandbox() {
    path_ = L"Software\\TessaryBenchSandbox\\" + std::to_wstring(::GetCurrentProcessId());
    UniqueHkey root;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          root.put(), nullptr) != ERROR_SUCCESS) {
      return;
    }
    if (::RegCreateKeyExW(root.get(), L"HKLM", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          machine_.put(), nullptr) != ERROR_SUCCESS ||
        ::RegCreateKeyExW(root.get(), L"HKCU", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, user_.put(),
                          nullptr) != ERROR_SUCCESS) {
      return;
    }
    // The machine's 32-bit view lives below this subkey, as on 64-bit Windows.
    UniqueHkey wow64;
    if (::RegCreateKeyExW(machine_.get(), L"Software\\Wow6432Node", 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, wow64.put(), nullptr) != ERROR_SUCCESS) {
      return;
    }
    ok_ = ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.get()) == ERROR_SUCCESS &&
          ::RegOverridePredefKey(HKEY_CURRENT_USER, user_.get()) == ERROR_SUCCESS;
  }
  ~Sandbox() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    machine_.reset();
    user_.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }
  bool ok() const { return ok_; }

 private:
  std::wstring path_;
  UniqueHkey machine_, user_;
  bool ok_ = false;
};

bool SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD value) {
  return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

REGSAM OtherView() { return tessary::PerMachineViews().other.flag; }

bool Populate() {
  UniqueHkey uninstall[2];
  const REGSAM views[] = {0, OtherView()};
  for (int v = 0; v < 2; ++v) {
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, tessary::kUninstallKeyPath, 0, nullptr, 0,
                          KEY_ALL_ACCESS | views[v], nullptr, uninstall[v].put(),
                          nullptr) != ERROR_SUCCESS) {
      return false;
    }
  }
  for (int i = 0; i < kPrograms; ++i) {
    const std::wstring n = std::to_wstring(i);
    UniqueHkey key;
    // Every other program in the other view.
    const int v = i % 2;
    if (::RegCreateKeyExW(uninstall[v].get(), (L"{6F1A" + n + L"-0000-4C2B}_is1").c_str(), 0,
                          nullptr, 0, KEY_ALL_ACCESS | views[v], nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const std::wstring folder = L"C:\\Program Files\\Example Program " + n;
    const bool ok = SetText(key.get(), L"DisplayName", L"Example Program " + n) &&
                    SetText(key.get(), L"DisplayVersion", L"2." + n + L".0.1") &&
                    SetText(key.get(), L"Publisher", L"Example Maker " + std::to_wstring(i % 40)) &&
                    SetText(key.get(), L"UninstallString", L"\"" + folder + L"\\unins000.exe\"") &&
                    SetText(key.get(), L"DisplayIcon", folder + L"\\program.exe,0") &&
                    SetText(key.get(), L"InstallLocation", folder) &&
                    SetText(key.get(), L"InstallDate", L"20261207") &&
                    SetText(key.get(), L"URLInfoAbout", L"http://example.com/" + n) &&
                    SetNumber(key.get(), L"EstimatedSize", 1000 + i) &&
                    SetNumber(key.get(), L"NoModify", 1);
    if (!ok) return false;
  }
  return true;
}

TESSARY_BENCHMARK(InventoryRebuild) {
  Sandbox sandbox;
  if (!sandbox.ok() || !Populate()) return 1;
  std::printf("  %d Uninstall subkeys, 10 values each, half in each registry view, median of %d\n",
              kPrograms, kRounds);

  tessary::InstalledProgramInventory inventory;
  int values = 0;
  const auto [floor, rebuild] = tessary::bench::InterleavedMedians(
      kRounds,
      [&] {
        values = BareEnumeration(HKEY_LOCAL_MACHINE, 0) + BareEnumeration(HKEY_CURRENT_USER, 0) +
                 BareEnumeration(HKEY_LOCAL_MACHINE, OtherView());
      },
      [&] { inventory.Rebuild(); });
  if (values != kPrograms * 10 || inventory.Count() != static_cast<size_t>(kPrograms)) {
    std::printf("  unexpected counts: %d values, %u records\n", values,
                static_cast<unsigned>(inventory.Count()));
    return 1;
  }
  return tessary::bench::ReportRatio("Rebuild", rebuild, "bare enumeration of both views (floor)",
                                     floor, 1.3)
             ? 0
             : 1;
}

TESSARY_BENCHMARK(CompareVersions) {
  constexpr int kPairs = 1000000;
  std::vector<std::wstring> texts;
  texts.reserve(2 * kPairs);
  unsigned seed = 12345;
  auto next = [&seed](unsigned range) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % range;
  };
  for (int i = 0; i < 2 * kPairs; ++i) {
    // Mostly alike, as installed and catalog versions are.
    const wchar_t* separator = next(8) == 0 ? L", " : L".";
    texts.push_back(std::to_wstring(next(3) + 1) + separator + std::to_wstring(next(12)) +
                    separator + std::to_wstring(next(3000)) + separator +
                    std::to_wstring(next(100)));
  }
  std::printf("  %d pairs, median of %d\n", kPairs, kRounds / 2 + 1);
  long long sink = 0;
  const auto [floor, compare] = tessary::bench::InterleavedMedians(
      kRounds / 2 + 1,
      [&] {
        for (int i = 0; i < kPairs; ++i) {
          sink += std::wcscmp(texts[2 * i].c_str(), texts[2 * i + 1].c_str()) > 0;
        }
      },
      [&] {
        for (int i = 0; i < kPairs; ++i) {
          sink += tessary::CompareVersions(texts[2 * i].c_str(), texts[2 * i + 1].c_str());
        }
      });
  std::printf("  %.1f ns per pair (checksum %lld)\n", compare * 1e9 / kPairs, sink);
  tessary::bench::ReportRatio("CompareVersions", compare, "wcscmp of the same pairs (floor)",
                              floor);
  return 0;
}

}  // namespace

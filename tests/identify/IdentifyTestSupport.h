#pragma once
// Fixtures for the identification tests: COM string arguments, Uninstall
// entries, version-carrying files, shortcuts, the rules file, and the seams
// that pose as another Windows release or other Programs folders.
#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "identify/StartMenu.h"
#include "inventory/WindowsVersion.h"
#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

namespace tessary::testing {

// Records `image` as the Add/Remove Programs cache path of `name`.
bool SetArpImagePath(HKEY root, const std::wstring& name, const std::wstring& image);

struct Quad {
  WORD a, b, c, d;
};

// A PE file whose fixed block carries the two versions and whose string
// table, when given, carries "FileVersion" and "ProductVersion" texts.
bool WriteVersionedFile(const std::wstring& path, Quad file, Quad product,
                        std::wstring_view fileString = {}, std::wstring_view productString = {});

// A shell link to `target` (which need not exist), saved at `link`.
bool MakeShortcut(const std::wstring& link, const std::wstring& target);

// Writes `folder`\KaData\KaSoftwareVerIdentify.xml as UTF-8.
bool WriteRules(const std::wstring& folder, std::wstring_view xml);

// Answers CSIDL_COMMON_PROGRAMS and CSIDL_PROGRAMS with these folders; an
// empty one fails.
class ScopedProgramsFolders {
 public:
  ScopedProgramsFolders(std::wstring common, std::wstring user);

 private:
  ScopedSeam<&SetFolderPathQuery> seam_;
};

// A module in a private folder with its own KaData and Programs folders
// ("Common" and "User", made empty), a sandboxed registry, and a Windows
// release that looks up the Programs folders (Vista unless told).
class StartMenuWorld : public ::testing::Test {
 protected:
  StartMenuWorld()
      : module_(dir_.Join(L"Tessary.dll")),
        programs_(dir_.Join(L"Common"), dir_.Join(L"User")),
        version_(6, 0) {}
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"Common")));
    ASSERT_TRUE(CreateDirectories(dir_.Join(L"User")));
  }

  TempDir dir_;
  RegistrySandbox sandbox_;
  ScopedModuleFile module_;
  ScopedProgramsFolders programs_;
  ScopedOsVersion version_;
};

// A private copy of the DLL in its own folder, which holds its own KaData.
class PrivateDll {
 public:
  PrivateDll();
  const std::wstring& folder() const { return copy_.folder(); }
  bool WriteRules(std::wstring_view xml) const {
    return tessary::testing::WriteRules(copy_.folder(), xml);
  }
  const TessaryDll& dll() const { return *dll_; }
  bool ok() const { return dll_ && dll_->ok(); }

 private:
  PrivateDllCopy copy_;
  std::unique_ptr<TessaryDll> dll_;
};

}  // namespace tessary::testing

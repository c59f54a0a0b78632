#include "IdentifyTestSupport.h"

#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>

#include "identify/StartMenu.h"
#include "inventory/WindowsVersion.h"
#include "datafiles/XmlDom.h"
#include "support/PeBuilder.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

std::wstring g_commonPrograms;
std::wstring g_userPrograms;

HRESULT WINAPI PoseAsFolders(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
  const std::wstring& folder = csidl == CSIDL_COMMON_PROGRAMS ? g_commonPrograms : g_userPrograms;
  if (folder.empty() || folder.size() >= MAX_PATH) return E_FAIL;
  wcscpy_s(path, MAX_PATH, folder.c_str());
  return S_OK;
}


}  // namespace

bool SetArpImagePath(HKEY root, const std::wstring& name, const std::wstring& image) {
  BYTE record[552] = {};
  const DWORD size = sizeof(record);
  memcpy(record, &size, sizeof(size));
  const size_t chars = image.size() < 259 ? image.size() : 259;
  memcpy(record + 28, image.c_str(), chars * sizeof(wchar_t));
  return WriteRaw(root,
                  L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache\\" +
                      name,
                  L"SlowInfoCache", REG_BINARY, record, size);
}

bool WriteVersionedFile(const std::wstring& path, Quad file, Quad product,
                        std::wstring_view fileString, std::wstring_view productString) {
  VersionResourceLayout layout;
  layout.fileVersionMS = VersionWord(file.a, file.b);
  layout.fileVersionLS = VersionWord(file.c, file.d);
  layout.productVersionMS = VersionWord(product.a, product.b);
  layout.productVersionLS = VersionWord(product.c, product.d);
  if (!fileString.empty() || !productString.empty()) {
    VersionStringTable table;
    if (!fileString.empty()) table.strings.emplace_back(L"FileVersion", fileString);
    if (!productString.empty()) table.strings.emplace_back(L"ProductVersion", productString);
    layout.stringTables.push_back(table);
    layout.translations = {{0x0409, 0x04b0}};
  }
  return WritePeWithVersion(path, BuildVersionResource(layout));
}

bool MakeShortcut(const std::wstring& link, const std::wstring& target) {
  ComPtr<IShellLinkW> shellLink;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(shellLink.GetAddressOf())))) {
    return false;
  }
  ComPtr<IPersistFile> file;
  if (FAILED(shellLink->QueryInterface(IID_IPersistFile,
                                       reinterpret_cast<void**>(file.GetAddressOf())))) {
    return false;
  }
  if (FAILED(shellLink->SetPath(target.c_str()))) return false;
  return SUCCEEDED(file->Save(link.c_str(), TRUE));
}

bool WriteRules(const std::wstring& folder, std::wstring_view xml) {
  if (!CreateDirectories(folder + L"\\KaData")) return false;
  return WriteFileBytes(folder + L"\\KaData\\KaSoftwareVerIdentify.xml", Utf8(xml));
}

ScopedProgramsFolders::ScopedProgramsFolders(std::wstring common, std::wstring user)
    : seam_(&PoseAsFolders) {
  g_commonPrograms = std::move(common);
  g_userPrograms = std::move(user);
}


PrivateDll::PrivateDll() {
  if (copy_.ok()) dll_ = std::make_unique<TessaryDll>(copy_.path());
}

}  // namespace tessary::testing

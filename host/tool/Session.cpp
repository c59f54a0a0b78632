#include "host/tool/Session.h"

#include "common/Names.h"
#include "common/Text.h"
#include "host/tool/Output.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"

namespace tessary::tool {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kCatalogFile[] = L"catalog.xml";
constexpr wchar_t kRegistryKeyFile[] = L"regkeys.xml";
constexpr wchar_t kIgnoreListFile[] = L"ignorelist.xml";

std::wstring JoinPath(const std::wstring& folder, const wchar_t* name) {
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The component takes a bad data file silently; the tool refuses it first.
ComPtr<IXMLDOMDocument> CheckedXml(const std::wstring& path, std::string_view what) {
  if (!Exists(path)) {
    Fail(2, std::string(what) + " " + Utf8(path), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  }
  ComPtr<IXMLDOMDocument> document = LoadXmlFile(path.c_str());
  if (!document) Fail(2, std::string(what) + " " + Utf8(path) + " is not well-formed XML", E_FAIL);
  return document;
}

std::wstring Text(BSTR text) { return std::wstring(TextToNul(text)); }

}  // namespace

void Fail(int exitCode, std::string_view what, HRESULT hr) {
  throw Failure{exitCode, std::string(what) + ": " + ResultName(hr)};
}

void Check(HRESULT hr, std::string_view what) {
  if (FAILED(hr)) Fail(1, what, hr);
}

Session::Session(Options options) : options_(std::move(options)) {
  if (options_.dataFolder.empty()) options_.dataFolder = ModuleDirectory(nullptr) + L"host";
}

Session::~Session() {
  if (plugin_) plugin_->Detach();
  plugin_.Reset();
  manager_.Reset();
  if (hostStarted_) host_.Shutdown();
}

void Session::LoadDll() {
  if (getClassObject_) return;
  const std::wstring path =
      options_.dllPath.empty() ? ModuleDirectory(nullptr) + L"Tessary.dll" : options_.dllPath;
  dll_.reset(::LoadLibraryW(path.c_str()));
  if (!dll_) Fail(2, "cannot load " + Utf8(path), HRESULT_FROM_WIN32(::GetLastError()));
  getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(
      reinterpret_cast<void*>(::GetProcAddress(dll_.get(), "DllGetClassObject")));
  if (!getClassObject_) {
    Fail(2, Utf8(path) + " has no DllGetClassObject", HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
  }
}

// A class the component (or the registration) cannot give is a failed
// query: the DLL itself was there.
void Session::CreateObject(REFCLSID clsid, REFIID iid, void** object, std::string_view name) {
  const std::string what = "creating " + std::string(name);
  if (options_.registered) {
    const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
    if (FAILED(hr)) Fail(1, what + " through the registration", hr);
    return;
  }
  LoadDll();
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject_(clsid, IID_PPV_ARGS(&factory));
  if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, iid, object);
  if (FAILED(hr)) Fail(1, what, hr);
}

std::wstring Session::DataFile(const wchar_t* name) const {
  return JoinPath(options_.dataFolder, name);
}

void Session::ConfigureHost() {
  const std::wstring catalog = DataFile(kCatalogFile);
  const std::wstring registryKeys = DataFile(kRegistryKeyFile);
  const std::wstring ignoreList = DataFile(kIgnoreListFile);
  CheckedXml(catalog, "catalog file");
  const ComPtr<IXMLDOMDocument> keys = CheckedXml(registryKeys, "registry-key file");
  // The ignore list is optional: without it no update is ignored.
  std::wstring ignoreText;
  if (Exists(ignoreList)) {
    const ComPtr<IXMLDOMDocument> ignored = CheckedXml(ignoreList, "ignore list");
    UniqueBstr xml;
    if (SUCCEEDED(ignored->get_xml(xml.Receive()))) ignoreText = Text(xml.Get());
  }

  Check(host_.Start(), "starting our host");
  hostStarted_ = true;
  host_.Data().SetDataFilePath(host::HostDataService::kCatalogFile, catalog);
  host_.Data().SetDataFilePath(host::HostDataService::kRegistryKeyFile, registryKeys);
  if (!ignoreText.empty()) host_.Data().SetSetting(L"update", L"ignorelist", ignoreText);

  if (const ComPtr<IXMLDOMNode> root = SelectRoot(keys.Get(), L"vedad")) {
    ForEachChildElement(root.Get(), [&](IXMLDOMNode* soft) {
      UniqueBstr name;
      if (AttributeByName(soft, L"name", name) != S_OK || name.Empty()) return;
      std::vector<std::wstring>& list = registryKeys_[LowerCopy(TextToNul(name.Get()))];
      ForEachChildElement(soft, [&](IXMLDOMNode* key) {
        const UniqueBstr text = NodeText(key);
        if (!text.Empty()) list.push_back(Text(text.Get()));
      });
    });
  }
}

IKaSoftStatusManager* Session::Manager() {
  if (manager_) return manager_.Get();
  ComPtr<IKaSoftStatusManager> manager =
      Create<IKaSoftStatusManager>(CLSID_KaSoftStatusManager, "KaSoftStatusManager");
  ConfigureHost();
  ComPtr<IKaHostPlugin> plugin;
  Check(manager.As(&plugin), "KaSoftStatusManager has no IKaHostPlugin");
  Check(plugin->Attach(host_.Services()), "attaching KaSoftStatusManager to our host");
  plugin_ = std::move(plugin);
  manager_ = std::move(manager);
  return manager_.Get();
}

const std::vector<std::wstring>* Session::RegistryKeysOf(std::wstring_view name) {
  Manager();
  const auto found = registryKeys_.find(LowerCopy(name));
  return found == registryKeys_.end() ? nullptr : &found->second;
}

}  // namespace tessary::tool

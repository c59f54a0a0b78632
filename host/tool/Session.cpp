#include "host/tool/Session.h"

#include <algorithm>
#include <optional>

#include "catalog/StreamableXml.h"
#include "common/Names.h"
#include "common/Text.h"
#include "host/tool/Output.h"
#include "datafiles/DataFiles.h"
#include "datafiles/XmlDom.h"
#include "datafiles/XmlLiteFile.h"
#include "facade/AntivirusDetector.h"
#include "identify/IdentificationRules.h"
#include "recommend/RecommendationFile.h"

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

// Where the parser stopped and why: " at line 3, column 7 (reason)". Without
// a position the reason is Wine's placeholder ("error"), so nothing is said.
std::string ParserAccount(const std::wstring& path) {
  const ParseProblem problem = ParserProblem(path);
  if (problem.line <= 0) return {};
  std::string account = " at line " + std::to_string(problem.line);
  if (problem.column > 0) account += ", column " + std::to_string(problem.column);
  if (!problem.reason.empty()) account += " (" + problem.reason + ")";
  return account;
}

// A data file that is not there, or a folder in its place (which the parser
// would call malformed).
void RequireFile(const std::wstring& path, std::string_view what) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Fail(2, std::string(what) + " " + Utf8(path), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    Fail(2, std::string(what) + " " + Utf8(path) + " is a folder, not a file",
         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  }
}

// The first byte of `end` after `from` in `xml`, xml.size() when none.
size_t PastTerminator(std::string_view xml, size_t from, std::string_view end) {
  const size_t at = xml.find(end, from);
  return at == std::string_view::npos ? xml.size() : at + end.size() - 1;
}

// How deep the elements of a file nest, told by its markup alone (comments,
// declarations, CDATA sections and quoted values skipped). Text that is not
// ASCII-compatible (UTF-16) shows no elements.
size_t DeepestNesting(std::string_view xml) {
  size_t depth = 0;
  size_t deepest = 0;
  for (size_t i = 0; i < xml.size(); ++i) {
    if (xml[i] != '<') continue;
    const std::string_view rest = xml.substr(i);
    if (rest.starts_with("<!--")) {
      i = PastTerminator(xml, i, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      i = PastTerminator(xml, i, "]]>");
    } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
      i = PastTerminator(xml, i, ">");
    } else if (rest.starts_with("</")) {
      if (depth > 0) --depth;
      i = PastTerminator(xml, i, ">");
    } else {
      char quote = 0;
      size_t end = i + 1;
      for (; end < xml.size(); ++end) {
        if (quote) {
          if (xml[end] == quote) quote = 0;
        } else if (xml[end] == '"' || xml[end] == '\'') {
          quote = xml[end];
        } else if (xml[end] == '>') {
          break;
        }
      }
      if (end == xml.size()) break;
      if (xml[end - 1] != '/') deepest = std::max(deepest, ++depth);
      i = end;
    }
  }
  return deepest;
}

// Elements nested deeper than this the document parser refuses, well-formed
// or not (Wine's parser reads 257 levels; the depth is said as it is).
constexpr size_t kParserDepth = 256;

// Why the document parser refused a file that may be well-formed: its
// nesting, when deeper than the parser reads; empty otherwise. Said instead of
// "not well-formed", which would send the reader looking for a typo.
std::string NestingAccount(const std::wstring& path) {
  std::string bytes;
  if (FAILED(ReadWholeFile(path.c_str(), 64 << 20, bytes))) return {};
  const size_t depth = DeepestNesting(bytes);
  if (depth <= kParserDepth) return {};
  return " nests its elements " + std::to_string(depth) + " deep, deeper than the XML parser " +
         "reads (" + std::to_string(kParserDepth) + ")";
}

// The component takes a bad data file silently; the tool refuses it first.
ComPtr<IXMLDOMDocument> CheckedXml(const std::wstring& path, std::string_view what) {
  RequireFile(path, what);
  ComPtr<IXMLDOMDocument> document = LoadXmlFile(path.c_str());
  if (!document) {
    std::string why = NestingAccount(path);
    if (why.empty()) why = " is not well-formed XML" + ParserAccount(path);
    Fail(2, std::string(what) + " " + Utf8(path) + why, E_FAIL);
  }
  return document;
}

// A well-formed file the component would read as empty.
[[noreturn]] void Unusable(const std::wstring& path, std::string_view what,
                           std::string_view expected) {
  Fail(2, std::string(what) + " " + Utf8(path) + " is read as empty: expected " +
              std::string(expected),
       E_FAIL);
}

// Every ".xml" file below `folder`, subfolders included, in name order.
void TypeFilesBelow(const std::wstring& folder, std::vector<std::wstring>& files) {
  WIN32_FIND_DATAW found;
  UniqueFindHandle search(::FindFirstFileW(JoinPath(folder, L"*").c_str(), &found));
  if (!search) return;
  std::vector<std::wstring> names;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = JoinPath(folder, name.c_str());
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      TypeFilesBelow(path, files);
    } else if (name.size() > 4 && SameIgnoringCase(name.c_str() + name.size() - 4, L".xml")) {
      names.push_back(path);
    }
  } while (::FindNextFileW(search.get(), &found));
  std::sort(names.begin(), names.end());
  files.insert(files.end(), names.begin(), names.end());
}

std::wstring Text(BSTR text) { return std::wstring(TextToNul(text)); }

// A path as typed, taken from the current folder when relative, so that a
// typed folder and the default one mean the same and messages name it whole.
std::wstring FullPath(const std::wstring& path) {
  if (path.empty()) return path;
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// A folder that is not there is said as a folder, not as the file in it.
void RequireFolder(const std::wstring& folder, std::string_view what) {
  if (!IsFolder(folder)) {
    Fail(2, std::string(what) + " " + Utf8(folder), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  }
}

// The machine a PE file is built for, 0 when it cannot be read.
WORD MachineOf(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!file) return 0;
  IMAGE_DOS_HEADER dos{};
  DWORD read = 0;
  if (!::ReadFile(file.get(), &dos, sizeof(dos), &read, nullptr) || read != sizeof(dos) ||
      dos.e_magic != IMAGE_DOS_SIGNATURE ||
      ::SetFilePointer(file.get(), dos.e_lfanew, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    return 0;
  }
  DWORD signature = 0;
  IMAGE_FILE_HEADER header{};
  if (!::ReadFile(file.get(), &signature, sizeof(signature), &read, nullptr) ||
      read != sizeof(signature) || signature != IMAGE_NT_SIGNATURE ||
      !::ReadFile(file.get(), &header, sizeof(header), &read, nullptr) || read != sizeof(header)) {
    return 0;
  }
  return header.Machine;
}

// Whether the DLL is registered at all: the installed-program list's class
// is the first thing regsvr32 writes.
bool AnythingRegistered() {
  wchar_t clsid[64];
  ::StringFromGUID2(CLSID_KaInstalledSoft, clsid, ARRAYSIZE(clsid));
  const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
  UniqueHkey opened;
  return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) ==
         ERROR_SUCCESS;
}

// The catalog's readers take their content from the first "vedad" element
// wherever it stands (SelectRoot's rule); a file without one is read as
// empty.
ComPtr<IXMLDOMNode> RequireVedad(IXMLDOMDocument* document, const std::wstring& path,
                                 std::string_view what) {
  ComPtr<IXMLDOMNode> root;
  if (SelectRoot(document, L"vedad", root) == E_OUTOFMEMORY) {
    Fail(1, "reading " + Utf8(path), E_OUTOFMEMORY);
  }
  if (!root) Unusable(path, what, "a \"vedad\" element");
  return root;
}

// The updater takes its ignore list from the first "ignorelist" element; a
// list without one ignores nothing, silently.
void RequireIgnoreList(IXMLDOMDocument* document, const std::wstring& path) {
  ComPtr<IXMLDOMNode> root;
  if (SelectRoot(document, L"ignorelist", root) == E_OUTOFMEMORY) {
    Fail(1, "reading " + Utf8(path), E_OUTOFMEMORY);
  }
  if (!root) Unusable(path, "ignore list", "an \"ignorelist\" element");
}

// Whether a file of the plain shape the component streams (StreamableXml.h)
// has an element named `name`; nullopt for any other file, which the document
// parser then judges. That shape is well-formed by itself, and the component
// streams such a file in its host's process anyway, so reading it here risks
// nothing more: a 21 MB catalog costs a pass over its bytes, not a document.
std::optional<bool> StreamedHasElement(const std::wstring& path, std::wstring_view name) {
  XmlLiteFile file;
  if (FAILED(file.Open(path.c_str())) || !IsStreamableXml(file.Bytes())) return std::nullopt;
  XmlNodeType type = XmlNodeType_None;
  HRESULT hr = S_OK;
  while ((hr = file.Read(type)) == S_OK) {
    if (type != XmlNodeType_Element) continue;
    const wchar_t* element = nullptr;
    UINT length = 0;
    if (FAILED(file.Reader()->GetQualifiedName(&element, &length))) return std::nullopt;
    if (std::wstring_view(element, length) == name) return true;
  }
  if (hr != S_FALSE) return std::nullopt;
  return false;
}

// A file the component's readers take their content from the first "vedad"
// element of, wherever it stands.
void CheckVedadFile(const std::wstring& path, std::string_view what) {
  RequireFile(path, what);
  if (const std::optional<bool> vedad = StreamedHasElement(path, L"vedad")) {
    if (!*vedad) Unusable(path, what, "a \"vedad\" element");
    return;
  }
  RequireVedad(CheckedXml(path, what).Get(), path, what);
}

}  // namespace

ParseProblem ParserProblem(const std::wstring& path) {
  ParseProblem problem;
  ComPtr<IXMLDOMDocument> document;
  if (FAILED(::CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IXMLDOMDocument,
                                reinterpret_cast<void**>(document.GetAddressOf()))) ||
      FAILED(document->put_resolveExternals(VARIANT_FALSE))) {
    return problem;
  }
  UniqueVariant source;
  V_VT(&source) = VT_BSTR;
  V_BSTR(&source) = ::SysAllocString(path.c_str());
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!V_BSTR(&source) || FAILED(document->load(source.Get(), &ok)) || ok == VARIANT_TRUE) {
    return problem;
  }
  ComPtr<IXMLDOMParseError> error;
  if (FAILED(document->get_parseError(&error)) || !error) return problem;
  long line = 0;
  long column = 0;
  UniqueBstr reason;
  if (FAILED(error->get_line(&line)) || line <= 0) return problem;
  problem.line = line;
  if (SUCCEEDED(error->get_linepos(&column)) && column > 0) problem.column = column;
  if (SUCCEEDED(error->get_reason(reason.Receive()))) {
    // The message stays one line.
    std::string text = Utf8(TextToNul(reason.Get()));
    for (char& c : text) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    problem.reason = std::move(text);
  }
  return problem;
}

void Fail(int exitCode, std::string_view what, HRESULT hr) {
  throw Failure{exitCode, std::string(what) + ": " + ResultText(hr)};
}

void Check(HRESULT hr, std::string_view what) {
  if (FAILED(hr)) Fail(1, what, hr);
}

Session::Session(Options options) : options_(std::move(options)) {
  options_.dllPath = FullPath(options_.dllPath);
  options_.dataFolder = options_.dataFolder.empty() ? ModuleDirectory(nullptr) + L"host"
                                                    : FullPath(options_.dataFolder);
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
  RequireFolder(FolderOf(path), "DLL folder");
  if (!Exists(path)) Fail(2, Utf8(path), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  dll_.reset(::LoadLibraryW(path.c_str()));
  if (!dll_) {
    const DWORD error = ::GetLastError();
    // A process loads only DLLs of its own bitness: name the tool that can.
    const WORD machine = MachineOf(path);
    constexpr WORD kOwn = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    if (error == ERROR_BAD_EXE_FORMAT &&
        (machine == IMAGE_FILE_MACHINE_I386 || machine == IMAGE_FILE_MACHINE_AMD64) &&
        machine != kOwn) {
      const bool dll32 = machine == IMAGE_FILE_MACHINE_I386;
      Fail(2,
           "cannot load " + Utf8(path) + ": it is a " + (dll32 ? "32" : "64") +
               "-bit DLL and this tessary.exe is " + (dll32 ? "64" : "32") + "-bit; use the " +
               (dll32 ? "32" : "64") + "-bit tessary.exe of the same build",
           HRESULT_FROM_WIN32(error));
    }
    Fail(2, "cannot load " + Utf8(path), HRESULT_FROM_WIN32(error));
  }
  // GetProcAddress's type is not the export's.
  getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(
      // NOLINTNEXTLINE(bugprone-casting-through-void)
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
    if (hr == REGDB_E_CLASSNOTREG && !AnythingRegistered()) {
      throw Failure{1, what + " through the registration: " + ResultText(hr) +
                           "; nothing of Tessary is registered: run regsvr32 Tessary.dll"};
    }
    if (FAILED(hr)) Fail(1, what + " through the registration", hr);
    return;
  }
  LoadDll();
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject_(clsid, IID_PPV_ARGS(&factory));
  if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, iid, object);
  if (FAILED(hr)) Fail(1, what, hr);
}

std::wstring Session::ComponentDataFolder() const {
  if (options_.dllPath.empty()) return ModuleDirectory(nullptr) + L"KaData";
  const size_t slash = options_.dllPath.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L"KaData";
  return options_.dllPath.substr(0, slash + 1) + L"KaData";
}

// Each file is judged by the component's own loader where one can tell an
// unusable file from a missing one.
void Session::CheckComponentData(unsigned files) {
  // A DLL that does not load is the first thing to say.
  if (!options_.registered) LoadDll();
  const std::wstring folder = ComponentDataFolder();
  RequireFolder(folder, "component data folder");
  if (files & kIdentificationRules) {
    const std::wstring path = JoinPath(folder, L"KaSoftwareVerIdentify.xml");
    const ComPtr<IXMLDOMDocument> document = CheckedXml(path, "identification rules");
    switch (rules_.LoadOrRefuse(document.Get())) {
      case RulesRefusal::kNone:
        break;
      case RulesRefusal::kFailedResult:
        Unusable(path, "identification rules", "result 0 on its \"vedad\" element");
      case RulesRefusal::kNoRules:
        Unusable(path, "identification rules", "rules in its \"vedad\" element");
      default:
        Unusable(path, "identification rules", "a \"vedad\" element");
    }
  }
  if (files & kAntivirusRules) {
    const std::wstring path = JoinPath(folder, L"KaAntivirusIdentify.xml");
    CheckedXml(path, "antivirus rules");
    AntivirusDetector detector(path);
    if (detector.Reload() == 0) {
      Unusable(path, "antivirus rules", "a \"KaAntivirus\" element with at least one product");
    }
  }
  if (files & kRecommendations) {
    const std::wstring path = JoinPath(folder, L"KaRecommendSoft.xml");
    CheckedXml(path, "recommendation file");
    RecommendationList catalogs;
    const HRESULT read = ReadRecommendationFile(path.c_str(), catalogs);
    if (read == E_OUTOFMEMORY) Fail(1, "reading " + Utf8(path), read);
    if (read != S_OK) Unusable(path, "recommendation file", "a \"new_onekey\" element");
  }
  if (files & kTypeFiles) {
    const std::wstring types = JoinPath(folder, L"SoftType");
    if (!Exists(types)) {
      Fail(2, "type folder " + Utf8(types), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    }
    std::vector<std::wstring> paths;
    TypeFilesBelow(types, paths);
    // No type file at all leaves every main type unknown, without a word.
    if (paths.empty()) {
      Fail(2, "type folder " + Utf8(types) + " holds no .xml type file",
           HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    }
    for (const std::wstring& path : paths) {
      RequireVedad(CheckedXml(path, "type file").Get(), path, "type file");
    }
  }
}

std::wstring Session::DataFile(const wchar_t* name) const {
  return JoinPath(options_.dataFolder, name);
}

void Session::ConfigureHost() {
  RequireFolder(options_.dataFolder, "data folder");
  const std::wstring catalog = DataFile(kCatalogFile);
  const std::wstring registryKeys = DataFile(kRegistryKeyFile);
  const std::wstring ignoreList = DataFile(kIgnoreListFile);
  CheckVedadFile(catalog, "catalog file");
  const ComPtr<IXMLDOMDocument> keys = CheckedXml(registryKeys, "registry-key file");
  // A "result" other than 0 rejects the whole file, as the catalog's reader
  // rules.
  const ComPtr<IXMLDOMNode> keysRoot = RequireVedad(keys.Get(), registryKeys, "registry-key file");
  UniqueBstr result;
  if (AttributeByName(keysRoot.Get(), L"result", result) == S_OK &&
      TextToInt(result.Get()) != 0) {
    Unusable(registryKeys, "registry-key file", "result 0 on its \"vedad\" element");
  }
  // The ignore list is optional: without it no update is ignored.
  std::wstring ignoreText;
  if (Exists(ignoreList)) {
    const ComPtr<IXMLDOMDocument> ignored = CheckedXml(ignoreList, "ignore list");
    RequireIgnoreList(ignored.Get(), ignoreList);
    UniqueBstr xml;
    if (SUCCEEDED(ignored->get_xml(xml.Receive()))) ignoreText = Text(xml.Get());
  }

  Check(host_.Start(), "starting our host");
  hostStarted_ = true;
  host_.Data().SetDataFilePath(host::HostDataService::kCatalogFile, catalog);
  host_.Data().SetDataFilePath(host::HostDataService::kRegistryKeyFile, registryKeys);
  if (!ignoreText.empty()) host_.Data().SetSetting(L"update", L"ignorelist", ignoreText);

  ForEachChildElement(keysRoot.Get(), [&](IXMLDOMNode* soft) {
    UniqueBstr name;
    if (AttributeByName(soft, L"name", name) != S_OK || name.Empty()) return;
    std::vector<std::wstring>& list = registryKeys_[LowerCopy(TextToNul(name.Get()))];
    ForEachChildElement(soft, [&](IXMLDOMNode* key) {
      const UniqueBstr text = NodeText(key);
      if (!text.Empty()) list.push_back(Text(text.Get()));
    });
  });
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

void Session::SetInstalledCounts(LONG entries, LONG kept) {
  entryCount_ = entries;
  keptCount_ = kept;
}

bool Session::CapReached() {
  if (entryCount_ < 0) {
    // Made for IUnknown, the list reads no values beyond the build's own.
    const ComPtr<IUnknown> object = Create<IUnknown>(CLSID_KaInstalledSoft, "KaInstalledSoft");
    // A component without the list's second interface counts no entries.
    ComPtr<IKaInstalledPrograms2> counted;
    LONG entries = 0;
    LONG kept = 0;
    if (SUCCEEDED(object.As(&counted))) {
      Check(counted->get_Count(&kept), "counting the installed programs");
      Check(counted->get_EntryCount(&entries), "counting the Uninstall entries");
    }
    SetInstalledCounts(entries, kept);
  }
  const bool reached = entryCount_ > keptCount_;
  if (reached && !capTold_) {
    capTold_ = true;
    PrintError("the registry holds " + std::to_string(entryCount_) +
               " Uninstall entries; the component keeps the first 1,023 and answers as if the "
               "others were not installed");
  }
  return reached;
}

const std::vector<std::wstring>* Session::RegistryKeysOf(std::wstring_view name) {
  Manager();
  const auto found = registryKeys_.find(LowerCopy(name));
  return found == registryKeys_.end() ? nullptr : &found->second;
}

}  // namespace tessary::tool

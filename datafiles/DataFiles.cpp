#include "datafiles/DataFiles.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <new>
#include <string>
#include <utility>

#include "com/Module.h"
#include "common/Result.h"
#include "common/Unique.h"

using Microsoft::WRL::ComPtr;

namespace tessary {
namespace {

ModuleFileNameQuery g_moduleFileName = &::GetModuleFileNameW;

// Data files beyond this are not ours; refuse rather than exhaust memory.
constexpr LONGLONG kMaxDeclaredFileBytes = 64LL * 1024 * 1024;

bool ModuleFileName(HMODULE module, wchar_t (&name)[MAX_PATH]) noexcept {
  const DWORD length = g_moduleFileName(module, name, MAX_PATH);
  // A full buffer means the name was cut: no usable path.
  if (length == 0 || length >= MAX_PATH) return false;
  name[length] = L'\0';
  return true;
}

char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsAsciiIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool IsXmlSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Finds encoding="gb2312" in the XML declaration at the start of `bytes`.
// On a match, [start, end) covers the pseudo-attribute and the blanks before
// it, so removing that range leaves a declaration without an encoding.
bool FindGb2312Declaration(std::string_view bytes, size_t& start, size_t& end) noexcept {
  if (bytes.substr(0, 5) != "<?xml") return false;
  const size_t close = bytes.find("?>");
  if (close == std::string_view::npos) return false;
  const std::string_view declaration = bytes.substr(0, close);
  size_t pos = declaration.find("encoding");
  if (pos == std::string_view::npos || pos == 0 || !IsXmlSpace(declaration[pos - 1])) {
    return false;
  }
  start = pos;
  while (start > 5 && IsXmlSpace(declaration[start - 1])) --start;
  pos += 8;
  while (pos < declaration.size() && IsXmlSpace(declaration[pos])) ++pos;
  if (pos == declaration.size() || declaration[pos] != '=') return false;
  ++pos;
  while (pos < declaration.size() && IsXmlSpace(declaration[pos])) ++pos;
  if (pos == declaration.size() || (declaration[pos] != '"' && declaration[pos] != '\'')) {
    return false;
  }
  const char quote = declaration[pos++];
  const size_t valueEnd = declaration.find(quote, pos);
  if (valueEnd == std::string_view::npos) return false;
  if (!EqualsAsciiIgnoreCase(declaration.substr(pos, valueEnd - pos), "gb2312")) return false;
  end = valueEnd + 1;
  return true;
}

// Some parsers refuse a gb2312 declaration that others accept. Decode such a
// file as code page 936 (a superset of gb2312) and parse the text without
// the declared encoding, so one data file works everywhere.
bool LoadDeclaredGb2312(IXMLDOMDocument* document, const wchar_t* path) noexcept {
  try {
    std::string bytes;
    if (FAILED(ReadWholeFile(path, kMaxDeclaredFileBytes, bytes))) return false;
    size_t start = 0;
    size_t end = 0;
    if (!FindGb2312Declaration(bytes, start, end)) return false;
    bytes.erase(start, end - start);
    const int chars =
        ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (chars <= 0) return false;
    UniqueBstr text;
    text.Attach(::SysAllocStringLen(nullptr, static_cast<UINT>(chars)));
    if (!text) return false;
    ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), text.Get(), chars);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    return SUCCEEDED(document->loadXML(text.Get(), &loaded)) && loaded == VARIANT_TRUE;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

HRESULT CreateDocument(ComPtr<IXMLDOMDocument>& document) noexcept {
  ComPtr<IXMLDOMDocument> made;
  RETURN_IF_FAILED(::CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                                      reinterpret_cast<void**>(made.GetAddressOf())));
  RETURN_HR_IF_NULL(E_FAIL, made);
  // Parser versions have differed in this default: a data file must never
  // bring in another file's content, nor make the host read the network.
  RETURN_IF_FAILED(made->put_resolveExternals(VARIANT_FALSE));
  document = std::move(made);
  return S_OK;
}

}  // namespace

HRESULT ReadWholeFile(const wchar_t* path, LONGLONG maxBytes, std::string& bytes) {
  bytes.clear();
  UniqueFileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return HRESULT_FROM_WIN32(::GetLastError());
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.get(), &size)) return HRESULT_FROM_WIN32(::GetLastError());
  if (size.QuadPart > maxBytes) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty() &&
      !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
    bytes.clear();
    return HRESULT_FROM_WIN32(::GetLastError());
  }
  bytes.resize(read);
  return S_OK;
}

ModuleFileNameQuery SetModuleFileNameQuery(ModuleFileNameQuery query) noexcept {
  const ModuleFileNameQuery previous = g_moduleFileName;
  g_moduleFileName = query ? query : &::GetModuleFileNameW;
  return previous;
}

std::wstring DataFilePath(const wchar_t* relativeName) {
  wchar_t path[MAX_PATH];
  if (!ModuleFileName(Module::Handle(), path)) return {};
  if (!::PathAppendW(path, relativeName ? relativeName : L"")) return {};
  return path;
}

std::wstring ModuleDirectory(HMODULE module) {
  wchar_t path[MAX_PATH];
  if (!ModuleFileName(module, path)) return {};
  std::wstring directory(path);
  const size_t slash = directory.rfind(L'\\');
  if (slash != std::wstring::npos) directory.resize(slash + 1);
  return directory;
}

HRESULT LoadXmlFileWithResult(const wchar_t* path, ComPtr<IXMLDOMDocument>& document) noexcept {
  ComPtr<IXMLDOMDocument> loaded;
  if (FAILED(CreateDocument(loaded)) || !loaded) return E_OUTOFMEMORY;
  UniqueVariant source;
  VARIANT* variant = &source;
  V_VT(variant) = VT_BSTR;
  V_BSTR(variant) = ::SysAllocString(path ? path : L"");
  if (!V_BSTR(variant)) return E_OUTOFMEMORY;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr = loaded->load(source.Get(), &ok);
  if ((FAILED(hr) || ok != VARIANT_TRUE) && !(path && LoadDeclaredGb2312(loaded.Get(), path))) {
    return E_FAIL;
  }
  document = std::move(loaded);
  return S_OK;
}

ComPtr<IXMLDOMDocument> LoadXmlFile(const wchar_t* path) noexcept {
  if (!path || !::PathFileExistsW(path)) return nullptr;
  ComPtr<IXMLDOMDocument> document;
  if (FAILED(LoadXmlFileWithResult(path, document))) return nullptr;
  return document;
}

HRESULT LoadXmlTextWithResult(std::wstring_view text, ComPtr<IXMLDOMDocument>& document) noexcept {
  ComPtr<IXMLDOMDocument> loaded;
  if (FAILED(CreateDocument(loaded)) || !loaded) return E_OUTOFMEMORY;
  UniqueBstr source;
  if (!source.CopyFrom(text.data() ? text.data() : L"", static_cast<UINT>(text.size()))) {
    return E_OUTOFMEMORY;
  }
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (FAILED(loaded->loadXML(source.Get(), &ok)) || ok != VARIANT_TRUE) return E_FAIL;
  document = std::move(loaded);
  return S_OK;
}

ComPtr<IXMLDOMDocument> LoadXmlText(std::wstring_view text) noexcept {
  ComPtr<IXMLDOMDocument> document;
  if (FAILED(LoadXmlTextWithResult(text, document))) return nullptr;
  return document;
}

}  // namespace tessary

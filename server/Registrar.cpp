#include "server/Registrar.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <optional>
#include <vector>

#include "common/RegistryReader.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace tessary {
namespace {

constexpr HRESULT kBadScript = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

struct ScriptValue {
  wchar_t kind = L's';  // 's' string, 'd' 32-bit number
  std::wstring text;
};

struct ScriptKey {
  enum class Flag { kNone, kNoRemove, kForceRemove };
  Flag flag = Flag::kNone;
  std::wstring name;
  std::optional<ScriptValue> defaultValue;
  std::vector<std::pair<std::wstring, ScriptValue>> values;
  std::vector<ScriptKey> children;
};

struct ScriptRoot {
  HKEY root = nullptr;
  std::vector<ScriptKey> keys;
};

struct Token {
  enum class Kind { kWord, kQuoted, kOpen, kClose, kEquals, kEnd };
  Kind kind = Kind::kEnd;
  std::wstring text;
};

class Parser {
 public:
  Parser(std::wstring_view text, std::span<const ScriptReplacement> replacements)
      : text_(text), replacements_(replacements) {}

  bool Parse(std::vector<ScriptRoot>& roots) {
    for (;;) {
      Token token = Next();
      if (token.kind == Token::Kind::kEnd) return true;
      if (token.kind != Token::Kind::kWord) return false;
      ScriptRoot root;
      root.root = RootFromName(token.text);
      if (!root.root || Next().kind != Token::Kind::kOpen) return false;
      if (!ParseBody(root.keys, nullptr)) return false;
      roots.push_back(std::move(root));
    }
  }

 private:
  static HKEY RootFromName(const std::wstring& name) {
    struct Known {
      const wchar_t* shortName;
      const wchar_t* longName;
      HKEY key;
    };
    static const Known kRoots[] = {
        {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKU", L"HKEY_USERS", HKEY_USERS},
    };
    for (const Known& known : kRoots) {
      if (::lstrcmpiW(name.c_str(), known.shortName) == 0 ||
          ::lstrcmpiW(name.c_str(), known.longName) == 0) {
        return known.key;
      }
    }
    return nullptr;
  }

  // Reads keys and values until the closing brace. `owner` receives the
  // `val` lines; at the root level there is none.
  bool ParseBody(std::vector<ScriptKey>& keys, ScriptKey* owner) {
    for (;;) {
      Token token = Next();
      if (token.kind == Token::Kind::kClose) return true;
      if (token.kind != Token::Kind::kWord && token.kind != Token::Kind::kQuoted) return false;
      if (token.kind == Token::Kind::kWord && Is(token, L"val")) {
        if (!owner) return false;
        Token name = Next();
        if (!IsName(name) || Next().kind != Token::Kind::kEquals) return false;
        ScriptValue value;
        if (!ParseValue(value)) return false;
        owner->values.emplace_back(Expand(name.text), std::move(value));
        continue;
      }
      ScriptKey key;
      if (token.kind == Token::Kind::kWord && Is(token, L"NoRemove")) {
        key.flag = ScriptKey::Flag::kNoRemove;
        token = Next();
      } else if (token.kind == Token::Kind::kWord && Is(token, L"ForceRemove")) {
        key.flag = ScriptKey::Flag::kForceRemove;
        token = Next();
      }
      if (!IsName(token)) return false;
      key.name = Expand(token.text);
      if (key.name.empty()) return false;
      Token after = Peek();
      if (after.kind == Token::Kind::kEquals) {
        Next();
        ScriptValue value;
        if (!ParseValue(value)) return false;
        key.defaultValue = std::move(value);
        after = Peek();
      }
      if (after.kind == Token::Kind::kOpen) {
        Next();
        if (!ParseBody(key.children, &key)) return false;
      }
      keys.push_back(std::move(key));
    }
  }

  bool ParseValue(ScriptValue& value) {
    Token kind = Next();
    if (kind.kind != Token::Kind::kWord) return false;
    if (Is(kind, L"s")) {
      value.kind = L's';
    } else if (Is(kind, L"d")) {
      value.kind = L'd';
    } else {
      return false;
    }
    Token text = Next();
    if (!IsName(text)) return false;
    value.text = Expand(text.text);
    return true;
  }

  static bool Is(const Token& token, const wchar_t* word) {
    return ::lstrcmpiW(token.text.c_str(), word) == 0;
  }
  static bool IsName(const Token& token) {
    return token.kind == Token::Kind::kWord || token.kind == Token::Kind::kQuoted;
  }

  std::wstring Expand(const std::wstring& text) const {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != L'%') {
        out += text[i];
        continue;
      }
      const size_t close = text.find(L'%', i + 1);
      if (close == std::wstring::npos) {
        out += text.substr(i);
        break;
      }
      const std::wstring_view name(text.data() + i + 1, close - i - 1);
      if (name.empty()) {
        out += L'%';
      } else {
        bool replaced = false;
        for (const ScriptReplacement& r : replacements_) {
          if (r.name == name) {
            out += r.value;
            replaced = true;
            break;
          }
        }
        if (!replaced) out.append(text, i, close - i + 1);
      }
      i = close;
    }
    return out;
  }

  Token Peek() {
    const size_t saved = pos_;
    Token token = Next();
    pos_ = saved;
    return token;
  }

  Token Next() {
    while (pos_ < text_.size() && ::iswspace(text_[pos_])) ++pos_;
    Token token;
    if (pos_ >= text_.size()) return token;
    const wchar_t c = text_[pos_];
    if (c == L'{') {
      // A bare "{guid}" is a name, not a block.
      size_t end = pos_ + 1;
      while (end < text_.size() && (::iswxdigit(text_[end]) || text_[end] == L'-')) ++end;
      if (end > pos_ + 1 && end < text_.size() && text_[end] == L'}') {
        token.kind = Token::Kind::kWord;
        token.text.assign(text_.substr(pos_, end + 1 - pos_));
        pos_ = end + 1;
        return token;
      }
    }
    if (c == L'{' || c == L'}' || c == L'=') {
      ++pos_;
      token.kind = c == L'{' ? Token::Kind::kOpen
                 : c == L'}' ? Token::Kind::kClose
                             : Token::Kind::kEquals;
      return token;
    }
    if (c == L'\'') {
      ++pos_;
      token.kind = Token::Kind::kQuoted;
      while (pos_ < text_.size()) {
        if (text_[pos_] == L'\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
            token.text += L'\'';
            pos_ += 2;
            continue;
          }
          ++pos_;
          return token;
        }
        token.text += text_[pos_++];
      }
      token.kind = Token::Kind::kEnd;  // unterminated quote
      token.text.clear();
      return token;
    }
    token.kind = Token::Kind::kWord;
    while (pos_ < text_.size() && !::iswspace(text_[pos_]) && text_[pos_] != L'{' &&
           text_[pos_] != L'}' && text_[pos_] != L'=' && text_[pos_] != L'\'') {
      token.text += text_[pos_++];
    }
    return token;
  }

  std::wstring_view text_;
  std::span<const ScriptReplacement> replacements_;
  size_t pos_ = 0;
};

LONG WriteValue(HKEY key, const wchar_t* name, const ScriptValue& value) {
  if (value.kind == L'd') {
    const DWORD number = static_cast<DWORD>(::wcstoul(value.text.c_str(), nullptr, 0));
    return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                            sizeof(number));
  }
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()),
                          static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
}

LONG DeleteTree(HKEY parent, const std::wstring& name) {
  const LONG error = ::RegDeleteTreeW(parent, name.c_str());
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

HRESULT RegisterKey(HKEY parent, const ScriptKey& script) {
  if (script.flag == ScriptKey::Flag::kForceRemove) {
    RETURN_IF_WIN32_ERROR(DeleteTree(parent, script.name));
  }
  UniqueHkey key;
  RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(parent, script.name.c_str(), 0, nullptr, 0,
                                          KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr));
  if (script.defaultValue) {
    RETURN_IF_WIN32_ERROR(WriteValue(key.get(), nullptr, *script.defaultValue));
  }
  for (const auto& [name, value] : script.values) {
    RETURN_IF_WIN32_ERROR(WriteValue(key.get(), name.c_str(), value));
  }
  for (const ScriptKey& child : script.children) {
    RETURN_IF_FAILED(RegisterKey(key.get(), child));
  }
  return S_OK;
}

LONG DeleteValue(HKEY key, const wchar_t* name) {
  const LONG error = ::RegDeleteValueW(key, name);
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

HRESULT UnregisterKey(HKEY parent, const ScriptKey& script) {
  if (script.flag == ScriptKey::Flag::kForceRemove) {
    RETURN_IF_WIN32_ERROR(DeleteTree(parent, script.name));
    return S_OK;
  }
  UniqueHkey key;
  const LONG opened =
      ::RegOpenKeyExW(parent, script.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
  RETURN_IF_WIN32_ERROR(opened);
  for (const ScriptKey& child : script.children) {
    RETURN_IF_FAILED(UnregisterKey(key.get(), child));
  }
  if (script.flag == ScriptKey::Flag::kNoRemove) return S_OK;
  if (script.defaultValue) RETURN_IF_WIN32_ERROR(DeleteValue(key.get(), nullptr));
  for (const auto& [name, value] : script.values) {
    RETURN_IF_WIN32_ERROR(DeleteValue(key.get(), name.c_str()));
  }
  // Someone else's keys or values keep the key alive.
  DWORD subkeys = 0;
  DWORD values = 0;
  RETURN_IF_WIN32_ERROR(::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys,
                                           nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                                           nullptr));
  if (subkeys != 0 || values != 0) return S_OK;
  key.reset();
  const LONG deleted = ::RegDeleteKeyW(parent, script.name.c_str());
  return deleted == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(deleted);
}

std::optional<std::wstring> ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::nullopt;
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return std::nullopt;
    path.resize(path.size() * 2);
  }
}

std::wstring GuidString(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}


// The library carries the system's XML DOM interfaces, and registering or
// unregistering it would repoint or delete their Interface keys. Keys that
// belong to another library are saved before and written back after.
struct KeySnapshot {
  struct Value {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
  };
  std::vector<Value> values;
  std::vector<std::pair<std::wstring, KeySnapshot>> children;
};

struct ForeignInterfaces {
  std::vector<std::pair<std::wstring, KeySnapshot>> keys;  // path under HKCR
};

bool SaveKey(HKEY key, KeySnapshot& snapshot) {
  DWORD values = 0, maxName = 0, maxData = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         &maxName, &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  for (DWORD i = 0; i < values; ++i) {
    std::vector<wchar_t> name(maxName + 2);
    KeySnapshot::Value value;
    value.data.resize(maxData + 2);
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(value.data.size());
    if (::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &value.type, value.data.data(),
                        &dataSize) != ERROR_SUCCESS) {
      return false;
    }
    value.name.assign(name.data(), nameLength);
    value.data.resize(dataSize);
    snapshot.values.push_back(std::move(value));
  }
  return SUCCEEDED(ForEachSubkeyName(
      key, UnreadableSubkey::kFail, [&](const wchar_t* name, DWORD length) -> HRESULT {
        UniqueHkey child;
        RETURN_IF_WIN32_ERROR(::RegOpenKeyExW(key, name, 0, KEY_READ, child.put()));
        KeySnapshot childSnapshot;
        RETURN_HR_IF(E_FAIL, !SaveKey(child.get(), childSnapshot));
        snapshot.children.emplace_back(std::wstring(name, length), std::move(childSnapshot));
        return S_OK;
      }));
}

void WriteKey(HKEY parent, const std::wstring& name, const KeySnapshot& snapshot) {
  UniqueHkey key;
  if (::RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const KeySnapshot::Value& value : snapshot.values) {
    ::RegSetValueExW(key.get(), value.name.empty() ? nullptr : value.name.c_str(), 0, value.type,
                     value.data.data(), static_cast<DWORD>(value.data.size()));
  }
  for (const auto& [childName, child] : snapshot.children) WriteKey(key.get(), childName, child);
}

std::wstring ReadDefaultString(HKEY root, const std::wstring& path) {
  wchar_t text[64] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (::RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return text;
}

ForeignInterfaces SaveForeignInterfaces(ITypeLib* library) {
  ForeignInterfaces foreign;
  TLIBATTR* libAttr = nullptr;
  if (FAILED(library->GetLibAttr(&libAttr))) return foreign;
  const std::wstring ours = GuidString(libAttr->guid);
  library->ReleaseTLibAttr(libAttr);
  const UINT count = library->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    if (FAILED(library->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) continue;
    const bool automation = attr->typekind == TKIND_DISPATCH ||
                            (attr->typekind == TKIND_INTERFACE &&
                             (attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)));
    const GUID iid = attr->guid;
    info->ReleaseTypeAttr(attr);
    if (!automation) continue;
    const std::wstring path = L"Interface\\" + GuidString(iid);
    const std::wstring owner = ReadDefaultString(HKEY_CLASSES_ROOT, path + L"\\TypeLib");
    if (owner.empty() || ::lstrcmpiW(owner.c_str(), ours.c_str()) == 0) continue;
    UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
      continue;
    }
    KeySnapshot snapshot;
    if (SaveKey(key.get(), snapshot)) foreign.keys.emplace_back(path, std::move(snapshot));
  }
  return foreign;
}

void RestoreForeignInterfaces(const ForeignInterfaces& foreign) {
  for (const auto& [path, snapshot] : foreign.keys) {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    WriteKey(HKEY_CLASSES_ROOT, path, snapshot);
  }
}

}  // namespace

HRESULT RunRegistryScript(std::wstring_view script,
                          std::span<const ScriptReplacement> replacements,
                          bool registering) noexcept {
  return Guarded([&]() -> HRESULT {
    std::vector<ScriptRoot> roots;
    Parser parser(script, replacements);
    if (!parser.Parse(roots)) return kBadScript;
    for (const ScriptRoot& root : roots) {
      for (const ScriptKey& key : root.keys) {
        RETURN_IF_FAILED(registering ? RegisterKey(root.root, key) : UnregisterKey(root.root, key));
      }
    }
    return S_OK;
  });
}

HRESULT RunRegistryScriptResource(HMODULE module, UINT id,
                                  std::span<const ScriptReplacement> replacements,
                                  bool registering) noexcept {
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND), !resource);
  HGLOBAL loaded = ::LoadResource(module, resource);
  const DWORD size = ::SizeofResource(module, resource);
  const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND), !bytes);
  return Guarded([&]() -> HRESULT {
    std::string_view utf8(bytes, size);
    if (utf8.starts_with("\xEF\xBB\xBF")) utf8.remove_prefix(3);
    std::wstring text;
    if (!utf8.empty()) {
      const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                               static_cast<int>(utf8.size()), nullptr, 0);
      RETURN_HR_IF(kBadScript, length <= 0);
      text.resize(static_cast<size_t>(length));
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                            length);
    }
    return RunRegistryScript(text, replacements, registering);
  });
}

HRESULT RegisterTypeLibrary(HMODULE module) noexcept {
  return Guarded([&]() -> HRESULT {
    auto path = ModulePath(module);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !path);
    Microsoft::WRL::ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(::LoadTypeLibEx(path->c_str(), REGKIND_NONE, &library));
    const ForeignInterfaces foreign = SaveForeignInterfaces(library.Get());
    const HRESULT hr = ::RegisterTypeLib(library.Get(), path->data(), nullptr);
    RestoreForeignInterfaces(foreign);
    return hr;
  });
}

HRESULT UnregisterTypeLibrary(HMODULE module) noexcept {
  return Guarded([&]() -> HRESULT {
    const auto path = ModulePath(module);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !path);
    Microsoft::WRL::ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(::LoadTypeLibEx(path->c_str(), REGKIND_NONE, &library));
    TLIBATTR* attr = nullptr;
    RETURN_IF_FAILED(library->GetLibAttr(&attr));
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    // Unregistering what is not registered is no failure.
    const std::wstring versionKey = L"TypeLib\\" + GuidString(copy.guid) + L"\\" +
                                    std::to_wstring(copy.wMajorVerNum) + L"." +
                                    std::to_wstring(copy.wMinorVerNum);
    UniqueHkey probe;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, probe.put()) !=
        ERROR_SUCCESS) {
      return S_OK;
    }
    probe.reset();
    const ForeignInterfaces foreign = SaveForeignInterfaces(library.Get());
    const HRESULT hr = ::UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum,
                                           copy.lcid, copy.syskind);
    RestoreForeignInterfaces(foreign);
    return hr;
  });
}

HRESULT RegisterServer(HMODULE module, std::span<const ClassEntry> table,
                       std::wstring_view appId) noexcept {
  return Guarded([&]() -> HRESULT {
    const auto path = ModulePath(module);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !path);
    const ScriptReplacement replacements[] = {{L"MODULE", *path}, {L"APPID", appId}};
    RETURN_IF_FAILED(RunRegistryScriptResource(module, kAppIdScript, replacements, true));
    for (const ClassEntry& entry : table) {
      if (!entry.writtenAtRegistration) continue;
      RETURN_IF_FAILED(RunRegistryScriptResource(module, entry.registryScript, replacements, true));
    }
    return RegisterTypeLibrary(module);
  });
}

HRESULT UnregisterServer(HMODULE module, std::span<const ClassEntry> table,
                         std::wstring_view appId) noexcept {
  return Guarded([&]() -> HRESULT {
    const auto path = ModulePath(module);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), !path);
    const ScriptReplacement replacements[] = {{L"MODULE", *path}, {L"APPID", appId}};
    for (const ClassEntry& entry : table) {
      if (!entry.writtenAtRegistration) continue;
      RETURN_IF_FAILED(
          RunRegistryScriptResource(module, entry.registryScript, replacements, false));
    }
    RETURN_IF_FAILED(UnregisterTypeLibrary(module));
    return RunRegistryScriptResource(module, kAppIdScript, replacements, false);
  });
}

}  // namespace tessary

#include "server/RegistryScript.h"

#include <optional>
#include <string>
#include <vector>

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

}  // namespace tessary

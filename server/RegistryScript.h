#pragma once
// The registry-script interpreter: scripts run against HKEY_CLASSES_ROOT (or
// another root they name).
//
// Script grammar (one root block or more):
//   script  := root '{' key* '}'
//   key     := [NoRemove | ForceRemove] name ['=' value] ['{' (key | val)* '}']
//   val     := 'val' name '=' value
//   value   := 's' string | 'd' (string | number)
//   name    := 'quoted' | bare-word        ('' inside quotes is one quote)
// "%NAME%" in names and values is replaced; "%%" is a percent sign.
//
// Registering creates every key and writes every value; ForceRemove first
// deletes the key's whole tree. Unregistering deletes a ForceRemove key's
// tree, and for a plain key the values the script names and then the key
// itself once nothing else is left in it; a NoRemove key is never deleted.
#include <windows.h>

#include <span>
#include <string_view>

namespace tessary {

struct ScriptReplacement {
  std::wstring_view name;
  std::wstring_view value;
};

HRESULT RunRegistryScript(std::wstring_view script,
                          std::span<const ScriptReplacement> replacements,
                          bool registering) noexcept;

// Runs the "REGISTRY" resource `id` of `module` (UTF-8 text).
HRESULT RunRegistryScriptResource(HMODULE module, UINT id,
                                  std::span<const ScriptReplacement> replacements,
                                  bool registering) noexcept;

}  // namespace tessary

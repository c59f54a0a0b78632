#pragma once
// How every reader finds its data file and loads it into MSXML's
// DOMDocument (IXMLDOMDocument, default parser settings). A missing file or an
// unparsable document gives no document.
#include <windows.h>
#include <msxml.h>
#include <wrl/client.h>

#include <string>
#include <string_view>

namespace tessary {

// --- Locating data files ----------------------------------------------------

using ModuleFileNameQuery = DWORD(WINAPI*)(HMODULE module, LPWSTR name, DWORD capacity);

// Replaces GetModuleFileNameW for DataFilePath and ModuleDirectory (null
// restores it) and returns the previous query.
ModuleFileNameQuery SetModuleFileNameQuery(ModuleFileNameQuery query) noexcept;

// The module's file name with `relativeName` appended and resolved, so
// "..\KaData\x.xml" names x.xml in the KaData folder beside the module.
// Empty when the path cannot be formed within MAX_PATH. May throw bad_alloc.
std::wstring DataFilePath(const wchar_t* relativeName);

// The folder of `module` (null: the process's executable) with its trailing
// backslash; a name without a backslash comes back whole. Empty on failure.
// May throw bad_alloc.
std::wstring ModuleDirectory(HMODULE module);

// The file's bytes, when it holds at most `maxBytes`; a missing, unreadable
// or larger file fails with its error. May throw bad_alloc.
HRESULT ReadWholeFile(const wchar_t* path, LONGLONG maxBytes, std::string& bytes);

// --- Loading ------------------------------------------------------------------

// A loaded document, or null when the path is null, names no file, or the
// file does not parse. Files that declare gb2312 load on every platform.
Microsoft::WRL::ComPtr<IXMLDOMDocument> LoadXmlFile(const wchar_t* path) noexcept;

// For callers that test the file's existence themselves: E_OUTOFMEMORY when
// no document can be created, E_FAIL when loading fails, S_OK with the
// document otherwise. `document` is set only on success.
HRESULT LoadXmlFileWithResult(const wchar_t* path,
                              Microsoft::WRL::ComPtr<IXMLDOMDocument>& document) noexcept;

// The same from XML text in memory; null when it does not parse.
Microsoft::WRL::ComPtr<IXMLDOMDocument> LoadXmlText(std::wstring_view text) noexcept;
// With LoadXmlFileWithResult's results.
HRESULT LoadXmlTextWithResult(std::wstring_view text,
                              Microsoft::WRL::ComPtr<IXMLDOMDocument>& document) noexcept;

}  // namespace tessary

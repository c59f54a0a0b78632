#pragma once
// Data files read through the system's streaming XML reader (xmllite.dll).
// The library has no import library here, so its entry point is looked up
// once per module from the system folder, never by a bare name a host's
// folder could shadow.
#include <windows.h>
#include <xmllite.h>
#include <wrl/client.h>

namespace tessary {

// A reader positioned before the first node of the file at `path`, with the
// reader's defaults (document type declarations refused). E_NOTIMPL when the
// system has no streaming reader; otherwise the failure the platform reports.
HRESULT OpenXmlLiteFile(const wchar_t* path, Microsoft::WRL::ComPtr<IXmlReader>& reader) noexcept;

}  // namespace tessary

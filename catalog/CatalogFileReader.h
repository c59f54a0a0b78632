#pragma once
// Reading the catalog file and the registry-key file into a load's content
// (the whole pipeline: CatalogGrammar.h).
#include <windows.h>

#include "catalog/CatalogContent.h"

namespace tessary {

// Reads the file at `path` (which exists) into `content` or `keys`. A file
// that does not parse or has no "vedad" root adds nothing and is no failure;
// only E_OUTOFMEMORY stops a load. With XmlReaderChoice::Streaming a file the
// streaming reader cannot settle is read again with the document parser.
HRESULT ReadCatalogFile(const wchar_t* path, XmlReaderChoice choice,
                        CatalogContent& content) noexcept;
HRESULT ReadRegistryKeyFile(const wchar_t* path, XmlReaderChoice choice,
                            RegistryKeyTable& keys) noexcept;

// The streaming source alone: S_OK with the whole file read, E_OUTOFMEMORY,
// or another failure when it refused a node it cannot render as the
// document parser would (the output is then to be dropped).
HRESULT StreamCatalogFile(const wchar_t* path, CatalogContent& content) noexcept;
HRESULT StreamRegistryKeyFile(const wchar_t* path, RegistryKeyTable& keys) noexcept;

}  // namespace tessary

// The document source's readers, and the choice between them and the
// streaming source's (see CatalogGrammar.h for the whole pipeline).
#include "catalog/CatalogFileReader.h"

#include <msxml.h>

#include "catalog/CatalogGrammar.h"
#include "catalog/DomNodeSource.h"
#include "common/Result.h"
#include "datafiles/DataFiles.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

// The file's document; null when it does not parse, which reads as a file
// without a root.
HRESULT LoadDocument(const wchar_t* path, ComPtr<IXMLDOMDocument>& document) noexcept {
  const HRESULT hr = LoadXmlFileWithResult(path, document);
  RETURN_HR_IF(hr, hr == E_OUTOFMEMORY);
  if (FAILED(hr)) document.Reset();
  return S_OK;
}

HRESULT ReadCatalogDocument(const wchar_t* path, CatalogContent& content) noexcept {
  return Guarded([&]() -> HRESULT {
    ComPtr<IXMLDOMDocument> document;
    RETURN_IF_FAILED(LoadDocument(path, document));
    DomNodeSource source(document.Get());
    return catalog_rules::CatalogRules<DomNodeSource>(source, content).Read();
  });
}

HRESULT ReadRegistryKeyDocument(const wchar_t* path, RegistryKeyTable& table) noexcept {
  return Guarded([&]() -> HRESULT {
    ComPtr<IXMLDOMDocument> document;
    RETURN_IF_FAILED(LoadDocument(path, document));
    DomNodeSource source(document.Get());
    KeyTableBuilder<UniqueBstr> keys;
    RETURN_IF_FAILED(catalog_rules::RegistryKeys(source, keys));
    keys.Build(table);
    return S_OK;
  });
}

}  // namespace

HRESULT ReadCatalogFile(const wchar_t* path, XmlReaderChoice choice,
                        CatalogContent& content) noexcept {
  if (choice == XmlReaderChoice::Streaming) {
    CatalogContent streamed(content.mainTypeObject.Get());
    const HRESULT hr = StreamCatalogFile(path, streamed);
    if (SUCCEEDED(hr) || hr == E_OUTOFMEMORY) {
      if (SUCCEEDED(hr)) content = std::move(streamed);
      return hr;
    }
  }
  return ReadCatalogDocument(path, content);
}

HRESULT ReadRegistryKeyFile(const wchar_t* path, XmlReaderChoice choice,
                            RegistryKeyTable& keys) noexcept {
  if (choice == XmlReaderChoice::Streaming) {
    RegistryKeyTable streamed;
    const HRESULT hr = StreamRegistryKeyFile(path, streamed);
    if (SUCCEEDED(hr) || hr == E_OUTOFMEMORY) {
      if (SUCCEEDED(hr)) keys.swap(streamed);
      return hr;
    }
  }
  return ReadRegistryKeyDocument(path, keys);
}

}  // namespace tessary

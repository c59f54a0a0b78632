#include "bench/Floors.h"

#include <msxml.h>
#include <objbase.h>
#include <wrl/client.h>

#include "common/Unique.h"
#include "datafiles/XmlLiteFile.h"
#include "inventory/InstalledProgramInventory.h"

namespace tessary::bench {

bool BareStream(const std::wstring& path, size_t& characters) {
  tessary::XmlLiteFile file;
  if (FAILED(file.Open(path.c_str()))) return false;
  IXmlReader* reader = file.Reader();
  XmlNodeType type = XmlNodeType_None;
  HRESULT hr = S_OK;
  while ((hr = file.Read(type)) == S_OK) {
    const wchar_t* text = nullptr;
    UINT length = 0;
    if (type == XmlNodeType_Element) {
      reader->GetQualifiedName(&text, &length);
      characters += length;
      for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK;
           more = reader->MoveToNextAttribute()) {
        reader->GetQualifiedName(&text, &length);
        characters += length;
        reader->GetValue(&text, &length);
        characters += length;
      }
    } else if (type == XmlNodeType_Text || type == XmlNodeType_Whitespace) {
      reader->GetValue(&text, &length);
      characters += length;
    }
  }
  return hr == S_FALSE;
}

int BareEnumeration(HKEY root, REGSAM view) {
  tessary::UniqueHkey uninstall;
  if (::RegOpenKeyExW(root, tessary::kUninstallKeyPath, 0, KEY_READ | view, uninstall.put()) !=
      ERROR_SUCCESS) {
    return 0;
  }
  int values = 0;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(uninstall.get(), index, name, &length, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
      break;
    }
    tessary::UniqueHkey subkey;
    if (::RegOpenKeyExW(uninstall.get(), name, 0, KEY_READ | view, subkey.put()) !=
        ERROR_SUCCESS) {
      continue;
    }
    for (DWORD v = 0;; ++v) {
      wchar_t valueName[256];
      DWORD nameLength = 256;
      BYTE data[1024];
      DWORD dataBytes = sizeof(data);
      if (::RegEnumValueW(subkey.get(), v, valueName, &nameLength, nullptr, nullptr, data,
                          &dataBytes) != ERROR_SUCCESS) {
        break;
      }
      ++values;
    }
  }
  return values;
}

int BareVersionReads(const std::vector<std::wstring>& files) {
  int read = 0;
  std::vector<BYTE> block;
  for (const std::wstring& file : files) {
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) continue;
    block.resize(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (::GetFileVersionInfoW(file.c_str(), 0, size, block.data()) &&
        ::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
        fixed) {
      ++read;
    }
  }
  return read;
}

bool BareDocumentLoad(const std::wstring& path) {
  Microsoft::WRL::ComPtr<IXMLDOMDocument> document;
  if (FAILED(::CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                                reinterpret_cast<void**>(document.GetAddressOf())))) {
    return false;
  }
  VARIANT source;
  ::VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = ::SysAllocString(path.c_str());
  VARIANT_BOOL ok = VARIANT_FALSE;
  document->load(source, &ok);
  ::VariantClear(&source);
  return ok == VARIANT_TRUE;
}

}  // namespace tessary::bench

#pragma once
// Data files read through the system's streaming XML reader (xmllite.dll).
// The library has no import library here, so its entry point is looked up
// once per module from the system folder, never by a bare name a host's
// folder could shadow.
#include <windows.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <string>

namespace tessary {

// A data file's bytes and a streaming reader over them, positioned before
// the first node, with the reader's defaults (document type declarations
// refused).
class XmlLiteFile {
 public:
  // E_NOTIMPL when the system has no streaming reader; otherwise the failure
  // the platform reports. May throw bad_alloc.
  HRESULT Open(const wchar_t* path);

  const std::string& Bytes() const noexcept { return bytes_; }
  IXmlReader* Reader() const noexcept { return reader_.Get(); }
  // The reader keeps its own copy: the bytes may go once looked at.
  void DropBytes() noexcept { std::string().swap(bytes_); }

 private:
  std::string bytes_;
  Microsoft::WRL::ComPtr<IXmlReader> reader_;
};

}  // namespace tessary

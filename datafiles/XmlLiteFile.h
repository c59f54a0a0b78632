#pragma once
// Data files read through the system's streaming XML reader (xmllite.dll).
// The library has no import library here, so its entry point is looked up
// once per module from the system folder, never by a bare name a host's
// folder could shadow.
#include <windows.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <string>
#include <utility>

#include "com/ComObject.h"

namespace tessary {

// A file's bytes handed to the streaming reader in reads that end after an
// ASCII byte wherever the read asked for holds one: Wine's reader garbles a
// character beyond ASCII that it carries from one read into the next. A run
// of such characters longer than a read still ends mid-character; callers
// keep long runs from it.
// Nor does a read end inside a comment that begins after the read's start:
// it ends before the comment instead, so the next read holds it whole. Wine's
// reader keeps a stale pointer into its buffer when a comment makes it read
// more and the buffer moves; callers keep comments shorter than a read.
class WholeCharacterStream final : public ComObject<WholeCharacterStream, ISequentialStream> {
 public:
  explicit WholeCharacterStream(std::string bytes) noexcept : bytes_(std::move(bytes)) {}

  const std::string& Bytes() const noexcept { return bytes_; }
  // How many bytes the next read of at most `asked` hands out.
  ULONG ReadLength(ULONG asked) const noexcept;

  STDMETHODIMP Read(void* into, ULONG asked, ULONG* read) noexcept override;
  STDMETHODIMP Write(const void* from, ULONG size, ULONG* written) noexcept override;

 private:
  const std::string bytes_;
  size_t at_ = 0;
};

// What Read gives for a reader astray: Wine's reader, at the end of a file
// cut inside a text, repeats an empty node forever.
inline constexpr HRESULT kXmlReaderAstray = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

// A data file's bytes and a streaming reader over them, positioned before
// the first node, with the reader's defaults (document type declarations
// refused).
class XmlLiteFile {
 public:
  // E_NOTIMPL when the system has no streaming reader; otherwise the failure
  // the platform reports. May throw bad_alloc.
  HRESULT Open(const wchar_t* path);

  // The whole file, held once, by the stream the reader reads.
  const std::string& Bytes() const noexcept;
  IXmlReader* Reader() const noexcept { return reader_.Get(); }

  // The reader's next node: S_OK, S_FALSE at the end of input, the reader's
  // failure, or kXmlReaderAstray for an empty node or more nodes than the
  // file has bytes (every node takes at least one). Every loop over the
  // reader goes through it.
  HRESULT Read(XmlNodeType& type) noexcept;

 private:
  size_t nodes_ = 0;
  Microsoft::WRL::ComPtr<WholeCharacterStream> stream_;
  Microsoft::WRL::ComPtr<IXmlReader> reader_;
};

}  // namespace tessary

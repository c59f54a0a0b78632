// The stream the streaming reader reads: where its reads end, and that the
// reader then reads every comment whole even when its buffer moves on each
// growth.
#include <windows.h>
#include <xmllite.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "datafiles/XmlLiteFile.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;

// What the reader asks for at a time.
constexpr ULONG kAsked = 8188;

// Comments of nearly the longest kept size at every distance from the end
// of the first read, some after a run beyond ASCII.
std::vector<std::string> Documents() {
  const std::string comment = "<!--" + std::string(3990, 'c') + "-->";
  std::vector<std::string> documents;
  for (size_t before = kAsked - 4100; before < kAsked + 8; before += 97) {
    for (const std::string lead : {"", "\xe4\xb8\xad\xe6\x96\x87"}) {
      std::string text = "<r><a>" + std::string(before, 't') + lead + "</a>" + comment +
                         "<b/>" + comment + comment + "</r>";
      documents.push_back(std::move(text));
    }
  }
  return documents;
}

TEST(WholeCharacterStreamTest, NoReadEndsInsideACommentOrACharacter) {
  for (const std::string& document : Documents()) {
    ComPtr<WholeCharacterStream> stream;
    ASSERT_HRESULT_SUCCEEDED(MakeComObject(stream, document));
    std::string handed;
    std::vector<char> buffer(kAsked);
    for (int reads = 0; handed.size() < document.size() && reads < 100; ++reads) {
      ULONG read = 0;
      ASSERT_HRESULT_SUCCEEDED(stream->Read(buffer.data(), kAsked, &read));
      ASSERT_GT(read, 0u);
      handed.append(buffer.data(), read);
      if (handed.size() == document.size()) break;
      const std::string_view so_far(handed);
      const size_t open = so_far.rfind("<!--");
      EXPECT_TRUE(open == std::string_view::npos || so_far.find("-->", open) != std::string_view::npos)
          << "a read ends inside a comment at " << handed.size();
      EXPECT_LT(static_cast<unsigned char>(handed.back()), 0x80u) << "at " << handed.size();
    }
    EXPECT_EQ(handed, document);
  }
}

// An allocator whose every growth moves the block and fills the old one, as
// a checked heap does when it cannot grow a block where it is.
class MovingMalloc final : public IMalloc {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (riid != __uuidof(IUnknown) && riid != __uuidof(IMalloc)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = this;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(void*) Alloc(SIZE_T size) override {
    auto* block = static_cast<SIZE_T*>(::HeapAlloc(::GetProcessHeap(), 0, size + 16));
    if (!block) return nullptr;
    block[0] = size;
    return block + 2;
  }
  STDMETHODIMP_(void*) Realloc(void* old, SIZE_T size) override {
    if (!old) return Alloc(size);
    void* moved = Alloc(size);
    if (!moved) return nullptr;
    const SIZE_T oldSize = GetSize(old);
    std::memcpy(moved, old, oldSize < size ? oldSize : size);
    Free(old);
    return moved;
  }
  STDMETHODIMP_(void) Free(void* block) override {
    if (!block) return;
    std::memset(block, 0xfe, GetSize(block));
    ::HeapFree(::GetProcessHeap(), 0, static_cast<SIZE_T*>(block) - 2);
  }
  STDMETHODIMP_(SIZE_T) GetSize(void* block) override { return static_cast<SIZE_T*>(block)[-2]; }
  STDMETHODIMP_(int) DidAlloc(void*) override { return 1; }
  STDMETHODIMP_(void) HeapMinimize() override {}
};

TEST(WholeCharacterStreamTest, TheReaderReadsEveryCommentWholeWhenItsBufferMoves) {
  using Create = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);
  HMODULE library = ::LoadLibraryW(L"xmllite.dll");
  ASSERT_NE(library, nullptr);
  const auto create = reinterpret_cast<Create>(
      reinterpret_cast<void*>(::GetProcAddress(library, "CreateXmlReader")));
  ASSERT_NE(create, nullptr);
  MovingMalloc malloc;
  for (const std::string& document : Documents()) {
    ComPtr<WholeCharacterStream> stream;
    ASSERT_HRESULT_SUCCEEDED(MakeComObject(stream, document));
    ComPtr<IXmlReader> reader;
    ASSERT_HRESULT_SUCCEEDED(
        create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.GetAddressOf()), &malloc));
    ASSERT_HRESULT_SUCCEEDED(reader->SetInput(static_cast<ISequentialStream*>(stream.Get())));
    std::vector<UINT> comments;
    XmlNodeType type = XmlNodeType_None;
    for (int nodes = 0; nodes < 100 && reader->Read(&type) == S_OK; ++nodes) {
      if (type != XmlNodeType_Comment) continue;
      const wchar_t* value = nullptr;
      UINT length = 0;
      ASSERT_HRESULT_SUCCEEDED(reader->GetValue(&value, &length));
      comments.push_back(length);
    }
    EXPECT_EQ(comments, (std::vector<UINT>{3990, 3990, 3990})) << document.size();
  }
}

}  // namespace
}  // namespace tessary

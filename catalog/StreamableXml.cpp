// One pass over the file's bytes, as a strict parser would read them, that
// stops at the first thing outside the plain shape. It decides only
// whether the streaming reader may see the file; what the file holds is the
// readers' business.
#include "catalog/StreamableXml.h"

#include <array>

namespace tessary {
namespace {

// Well inside the document parser's own limits (names of 50,000
// characters, text of ten million bytes, 256 levels of elements), which
// the streaming reader does not share.
constexpr size_t kMaxName = 1000;
constexpr size_t kMaxRun = 1000000;
constexpr int kMaxDepth = 128;
// The streaming reader walks a comment with a pointer it does not renew when
// it reads more input and moves its buffer: a comment it reads in two parts
// comes out as extra empty comments, or ends the process. The stream hands a
// comment whole in one read (see XmlLiteFile.h), so a comment, with its
// markup and a run beyond ASCII before it, fits in one read of 8,188 bytes.
constexpr size_t kMaxComment = 4000;
// Instructions it reads safely; kept short for want of a reason to trust
// them more.
constexpr size_t kMaxInstruction = 65536;
// Characters beyond ASCII in runs no longer than this: the stream ends each
// read after an ASCII byte, and the reader asks for 8,188 bytes at a time.
constexpr size_t kMaxNonAsciiRun = 4096;

constexpr bool IsBlankUnit(unsigned c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
constexpr bool IsNameStartUnit(unsigned c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
constexpr bool IsNameUnit(unsigned c) noexcept {
  return IsNameStartUnit(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
constexpr unsigned AsciiLower(unsigned c) noexcept { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// ASCII that text and attribute values pass over without a second look.
constexpr std::array<bool, 128> kPlainUnits = [] {
  std::array<bool, 128> plain{};
  for (unsigned c = 0x20; c < 0x80; ++c) plain[c] = true;
  for (char c : {'<', '&', ']', '"', '\''}) plain[static_cast<unsigned char>(c)] = false;
  plain['\t'] = plain['\n'] = plain['\r'] = true;
  return plain;
}();

class ShapeScan {
 public:
  ShapeScan(std::string_view bytes, size_t at) noexcept
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()), at_(at) {}

  // Declaration, then comments, instructions and blanks around one element.
  bool Document() noexcept {
    if (Starts("<?xml") && IsBlankUnit(Unit(at_ + 5)) && !Declaration()) return false;
    // The end before an element is a file the streaming reader does not
    // survive.
    for (SkipBlanks(); !AtStartTag(); SkipBlanks()) {
      if (!Misc()) return false;
    }
    if (!Element()) return false;
    for (;;) {
      SkipBlanks();
      if (at_ == size_) return true;
      if (!Misc()) return false;
    }
  }

 private:
  // Beyond the end: 0, which nothing here takes for markup.
  unsigned Unit(size_t at) const noexcept { return at < size_ ? data_[at] : 0; }

  bool Starts(std::string_view literal) const noexcept {
    if (size_ - at_ < literal.size()) return false;
    for (size_t i = 0; i < literal.size(); ++i) {
      if (data_[at_ + i] != static_cast<unsigned char>(literal[i])) return false;
    }
    return true;
  }
  bool Take(std::string_view literal) noexcept {
    if (!Starts(literal)) return false;
    at_ += literal.size();
    return true;
  }

  bool AtStartTag() const noexcept { return Unit(at_) == '<' && IsNameStartUnit(Unit(at_ + 1)); }

  bool SkipBlanks() noexcept {
    const size_t start = at_;
    while (at_ < size_ && IsBlankUnit(data_[at_])) ++at_;
    return at_ != start;
  }

  bool Name(size_t& start, size_t& length) noexcept {
    start = at_;
    if (!IsNameStartUnit(Unit(at_))) return false;
    ++at_;
    while (at_ < size_ && IsNameUnit(data_[at_])) ++at_;
    length = at_ - start;
    return length <= kMaxName;
  }
  // Names beginning "xml" in any case are the language's own.
  bool IsReserved(size_t start) const noexcept {
    return AsciiLower(Unit(start)) == 'x' && AsciiLower(Unit(start + 1)) == 'm' &&
           AsciiLower(Unit(start + 2)) == 'l';
  }

  // One character XML allows, whole, advancing past it.
  bool Char() noexcept {
    const unsigned c = data_[at_];
    if (c < 0x80) {
      if (c < 0x20 && !IsBlankUnit(c)) return false;
      ++at_;
      return true;
    }
    // The streaming reader garbles a character it carries from one read
    // into the next: no read may have to end inside a run.
    if (at_ != runEnd_) runStart_ = at_;
    if (at_ - runStart_ >= kMaxNonAsciiRun) return false;
    // Shortest forms only, no surrogates, nothing past U+10FFFF.
    size_t more = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (size_ - at_ <= more) return false;
    const unsigned second = data_[at_ + 1];
    if (second < low || second > high) return false;
    for (size_t i = 2; i <= more; ++i) {
      if ((data_[at_ + i] & 0xC0) != 0x80) return false;
    }
    // U+FFFE and U+FFFF.
    if (c == 0xEF && second == 0xBF && data_[at_ + 2] >= 0xBE) return false;
    at_ += more + 1;
    runEnd_ = at_;
    return true;
  }

  void SkipPlain() noexcept {
    while (at_ < size_) {
      const unsigned c = data_[at_];
      if (c >= 0x80 || !kPlainUnits[c]) return;
      ++at_;
    }
  }

  // The five predefined entities; character references and every other
  // entity are the document parser's.
  bool Reference() noexcept {
    return Take("&amp;") || Take("&lt;") || Take("&gt;") || Take("&quot;") || Take("&apos;");
  }

  // Character data up to the next markup; the end of the file inside an
  // element is a cut file.
  bool Text() noexcept {
    const size_t start = at_;
    for (;;) {
      SkipPlain();
      if (at_ == size_) return false;
      const unsigned c = data_[at_];
      if (c == '<') return at_ - start <= kMaxRun;
      if (c == '&') {
        if (!Reference()) return false;
      } else if (Starts("]]>") || !Char()) {
        return false;
      }
    }
  }

  bool Value() noexcept {
    const unsigned quote = Unit(at_);
    if (quote != '"' && quote != '\'') return false;
    const size_t start = ++at_;
    for (;;) {
      SkipPlain();
      if (at_ == size_) return false;
      const unsigned c = data_[at_];
      if (c == quote) return at_++ - start <= kMaxRun;
      if (c == '<') return false;
      if (c == '&') {
        if (!Reference()) return false;
      } else if (!Char()) {
        return false;
      }
    }
  }

  // Characters up to `end`, which they may not hold otherwise.
  bool Until(std::string_view end, size_t limit) noexcept {
    const size_t start = at_;
    while (at_ < size_) {
      if (Take(end)) return at_ - start <= limit;
      if (!Char()) return false;
    }
    return false;
  }

  bool Comment() noexcept {
    // "--" only as the end.
    if (!Until("--", kMaxComment)) return false;
    return Take(">");
  }

  bool Instruction() noexcept {
    size_t start = 0;
    size_t length = 0;
    if (!Name(start, length) || IsReserved(start)) return false;
    if (Take("?>")) return true;
    return SkipBlanks() && Until("?>", kMaxInstruction);
  }

  // A comment or an instruction outside the root.
  bool Misc() noexcept {
    if (Take("<!--")) return Comment();
    if (Take("<?")) return Instruction();
    return false;
  }

  bool Quoted(size_t& start, size_t& length) noexcept {
    SkipBlanks();
    if (!Take("=")) return false;
    SkipBlanks();
    const unsigned quote = Unit(at_);
    if (quote != '"' && quote != '\'') return false;
    start = ++at_;
    while (at_ < size_ && IsNameUnit(data_[at_])) ++at_;
    length = at_ - start;
    return Take(quote == '"' ? "\"" : "'");
  }
  bool QuotedIs(std::string_view expected) noexcept {
    size_t start = 0;
    size_t length = 0;
    if (!Quoted(start, length) || length != expected.size()) return false;
    for (size_t i = 0; i < length; ++i) {
      if (AsciiLower(data_[start + i]) != static_cast<unsigned char>(expected[i])) return false;
    }
    return true;
  }

  // version 1.0, UTF-8 or no encoding, standalone or not.
  bool Declaration() noexcept {
    at_ += 5;
    SkipBlanks();
    if (!Take("version") || !QuotedIs("1.0")) return false;
    bool blank = SkipBlanks();
    if (blank && Take("encoding")) {
      if (!QuotedIs("utf-8")) return false;
      blank = SkipBlanks();
    }
    if (blank && Take("standalone")) {
      const size_t before = at_;
      if (!QuotedIs("yes")) {
        at_ = before;
        if (!QuotedIs("no")) return false;
      }
      SkipBlanks();
    }
    return Take("?>");
  }

  // After '<': the name, attributes with a blank before each, the end.
  bool StartTag(size_t& nameStart, size_t& nameLength, bool& empty) noexcept {
    if (!Name(nameStart, nameLength)) return false;
    for (;;) {
      const bool blank = SkipBlanks();
      if (Take(">")) {
        empty = false;
        return true;
      }
      if (Take("/>")) {
        empty = true;
        return true;
      }
      size_t start = 0;
      size_t length = 0;
      if (!blank || !Name(start, length) || IsReserved(start)) return false;
      SkipBlanks();
      if (!Take("=")) return false;
      SkipBlanks();
      if (!Value()) return false;
    }
  }

  bool SameName(size_t a, size_t b, size_t length) const noexcept {
    for (size_t i = 0; i < length; ++i) {
      if (data_[a + i] != data_[b + i]) return false;
    }
    return true;
  }

  // The root, from its '<' through its end tag.
  bool Element() noexcept {
    struct Open {
      size_t start;
      size_t length;
    };
    Open open[kMaxDepth];
    int depth = 0;
    ++at_;
    bool empty = false;
    if (!StartTag(open[0].start, open[0].length, empty)) return false;
    if (empty) return true;
    depth = 1;
    for (;;) {
      if (!Text()) return false;
      if (Take("</")) {
        size_t start = 0;
        size_t length = 0;
        if (!Name(start, length)) return false;
        const Open& top = open[depth - 1];
        if (length != top.length || !SameName(start, top.start, length)) return false;
        SkipBlanks();
        if (!Take(">")) return false;
        if (--depth == 0) return true;
      } else if (Take("<!--")) {
        if (!Comment()) return false;
      } else if (Take("<![CDATA[")) {
        if (!Until("]]>", kMaxRun)) return false;
      } else if (Take("<?")) {
        if (!Instruction()) return false;
      } else {
        ++at_;
        Open child{};
        if (!StartTag(child.start, child.length, empty)) return false;
        if (!empty) {
          if (depth == kMaxDepth) return false;
          open[depth++] = child;
        }
      }
    }
  }

  const unsigned char* data_;
  size_t size_;
  size_t at_;
  // The run of characters beyond ASCII last read.
  size_t runStart_ = 0;
  size_t runEnd_ = 0;
};

}  // namespace

bool IsStreamableXml(std::string_view bytes) noexcept {
  // UTF-16 (the streaming reader ends its process on a text of 10,000
  // characters in it) and every other encoding are the document parser's.
  const size_t start = bytes.substr(0, 3) == "\xef\xbb\xbf" ? 3 : 0;
  return ShapeScan(bytes, start).Document();
}

}  // namespace tessary

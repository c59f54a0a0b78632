#pragma once
// The one shape of file the streaming reader is given: a complete,
// well-formed document in plain XML that every parser reads alike. The
// system's streaming reader is lenient where the document parser is strict
// (and can end the process on a file with no element), so a file is streamed
// only when its bytes are recognised here; anything else, valid or not, is
// the document parser's.
#include <cstddef>
#include <string_view>

namespace tessary {

// True for UTF-8 (with or without its byte-order mark), an XML declaration
// (version 1.0, UTF-8 or no encoding) or none, one root element and,
// anywhere: ASCII names without colons, only the five predefined entity
// references, characters XML allows (beyond ASCII only in runs of at most 4 KB),
// names, runs of text and nesting well inside the document parser's limits,
// and comments short enough to be handed to the streaming reader in one read.
bool IsStreamableXml(std::string_view bytes) noexcept;

}  // namespace tessary

#pragma once
// Versions from an executable's version resource. Both readers return raw
// text (a string-table value stands as its author wrote it); callers pick the
// file or the product version and normalise it.
#include <windows.h>

#include <cstddef>

namespace tessary {

// Caller-owned output: at most 255 characters and the terminator. Pass it
// empty.
inline constexpr size_t kVersionTextChars = 256;
using VersionText = wchar_t[kVersionTextChars];

// Formats the fixed block as "a.b.c.d". The file version is written only when
// `fileVersion` is still empty; the product version replaces what was there.
// A zero file version ends the read (true, nothing more written), and so does
// a zero product version. Either output may be null. False when the file has
// no readable version resource, or its fixed block is cut short.
bool ReadFixedFileVersion(const wchar_t* path, VersionText* fileVersion,
                          VersionText* productVersion) noexcept;

// Reads the "FileVersion" and "ProductVersion" strings of every translation
// in table order (a later translation's string wins). When either is still
// missing, falls back to ReadFixedFileVersion on the same file. A path in
// double quotes is read without them. Both outputs are required.
bool ReadVersionStrings(const wchar_t* path, VersionText* fileVersion,
                        VersionText* productVersion) noexcept;

}  // namespace tessary

#pragma once
// The bare reads benchmarks measure their figures against: what the
// component cannot avoid doing, with nothing kept.
#include <windows.h>

#include <string>
#include <vector>

namespace tessary::bench {

// Every node of `path` through the streaming reader, with every name,
// attribute and value fetched (their characters added to `characters`): the
// floor of a streaming load. False when the reader fails.
bool BareStream(const std::wstring& path, size_t& characters);

// Opens each subkey of the Uninstall key under `root` in `view` and reads
// every value; the number of values read.
int BareEnumeration(HKEY root, REGSAM view);

// The fixed version block of each file; the number read.
int BareVersionReads(const std::vector<std::wstring>& files);

// One load of `path` by a fresh DOM document; false when it does not parse.
bool BareDocumentLoad(const std::wstring& path);

}  // namespace tessary::bench

#pragma once
// The explanation of one identification, rendered from its steps: which rule
// entries apply, each key tried and the records found under it, each version
// read and from where, each start-menu location, and which rule won. Written
// as XML text, so the host (or a tool) reads it as structured data.
#include <windows.h>

#include <string>
#include <string_view>

#include "identify/Identification.h"
#include "identify/IdentificationRules.h"

namespace tessary {

// `identification` of `rule`, made with its steps. May throw bad_alloc.
std::wstring RenderExplanation(const SoftwareRule& rule, const Identification& identification);

// A name that could not be identified: its status and why.
std::wstring RenderUnidentified(std::wstring_view name, std::wstring_view status,
                                std::wstring_view reason);

// Names of values as explanations write them.
std::wstring PolicyName(int policy);
std::wstring SourceName(int source);
std::wstring ResultText(HRESULT hr);

}  // namespace tessary

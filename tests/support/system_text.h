// The system's own text for a Windows error code, read with FormatMessageW here in the test,
// independent of the product's category: the expected half of the error-line tests.
#pragma once

#include <windows.h>

#include <string>

namespace tendro::test {

// FormatMessageW (system, no inserts) cut at the first carriage return; empty when the system
// has no text for the code.
std::wstring SystemMessage(DWORD code);
// The same as narrow text in the ANSI code page, as the exception's what() holds it.
std::string SystemMessageNarrow(DWORD code);

}  // namespace tendro::test

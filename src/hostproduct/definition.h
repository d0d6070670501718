// Reading a host-product service's definition from the output of its export.
#pragma once

#include <windows.h>

#include <string>
#include <system_error>

#include "hostproduct/cstd_stream.h"

namespace tendro {

// Limit of each wait for the export's output; lowered by tests of the time-out.
extern DWORD DefinitionReadTimeoutMs;

inline constexpr const char* DefinitionVersionErrorText =
    "Corvanta Tendro requires service definition xml version '2'-'4'";
inline constexpr const char* DefinitionTimeoutText = "Service definition export timed out";

// The export command line: <service executable, quoted when it has blanks> --export <name> "".
std::wstring DefinitionExportCommandLine(const std::wstring& shortName);

// Walks the definition document read from `pipe` until its version is checked and the place
// that names the service program's executable is reached (or the document ends). Returns the
// outcome by value: 0 (system) on success, an HRESULT (com) for reader failures, 1208 (system)
// for a missing or unknown version, 1460 (system) when the output stalls past timeoutMs.
std::system_error ReadDefinition(HANDLE pipe, DWORD timeoutMs = DefinitionReadTimeoutMs);

}  // namespace tendro

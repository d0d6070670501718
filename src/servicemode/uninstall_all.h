// --uninstall-all: removes every Tendro service that this very tendro.exe runs (its ImagePath
// names this file with --service=NAME), as --uninstall=NAME removes one. The installer's
// uninstall runs it, so that no service is left pointing at a file that is gone.
#pragma once

#include <string>
#include <vector>

#include "cmdline/long_options.h"

namespace tendro {

// The names of the services whose ImagePath runs `exePath` as a Tendro service.
std::vector<std::wstring> TendroServicesOf(const std::wstring& exePath);

// Removes them all; 0 when every one was removed (or there was none), 1 when one was not
// (each failure gives its Err! line, and the others are removed all the same).
int UninstallAll(int argc, wchar_t** argv, const LongOptions& options);

}  // namespace tendro

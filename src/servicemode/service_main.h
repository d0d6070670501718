// `tendro.exe --service=NAME`: what the service manager runs for the Tendro service NAME.
#pragma once

#include <string>

namespace tendro {

// Connects to the service manager as the service NAME and runs Tendro with NAME's stored
// options until the service is stopped or the system shuts down; the process's exit code.
// Typed at a prompt (no service manager to connect to) it says how the service is started
// and installed, and gives 1.
int RunAsService(const std::wstring& name);

}  // namespace tendro

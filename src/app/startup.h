// Start-up steps of the entry point.
#pragma once

#include "cmdline/cmdline_parser.h"

namespace tendro {

// Process preparation: library search path, UTF-16 console output, COM.
void PrepareProcess();
// "localhost", "127.0.0.1" and the computer's own names.
LocalMachineNames BuildLocalMachineNames();
// Level words 0 "Err!", 1 "Init", 2 "Info".
void SetupLevelWords();
// 2 with -v, otherwise 0 with -q, otherwise 1.
uint32_t VerbosityFor(const CmdLineParser& settings);
// Enables SeDebugPrivilege; throws when the token calls themselves fail.
void EnableDebugPrivilege();
// The whole program after process preparation; returns the exit code.
int RunTendro(int argc, wchar_t** argv);

}  // namespace tendro

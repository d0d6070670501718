// New options for a running Tendro service (the parameter-change control): the stored options
// read again and built into a run as a start-up builds one, which replaces the current run
// between two passes; refused, the current run goes on unchanged.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/monitor_run.h"

namespace tendro {

// The last line of a reload in the service's log, which the install waits for:
// "The new options of service NAME are applied", or the Err! line
// "The new options of service NAME are refused: WHY; Tendro goes on with the options it has".
std::wstring OptionsAppliedLine(const std::wstring& serviceName);
std::wstring OptionsRefusedPrefix(const std::wstring& serviceName);

// Where the service's command line comes from ("tendro.exe" and the stored options, as
// ReadServiceArguments gives them; raised as std::system_error).
using OptionsReader = std::function<void(ArgumentCopies& arguments)>;

// The run that the options now stored for service `serviceName` give, its history carried
// over from `current`; nothing when they are refused (the lines above the last say why).
// What cannot change in place (the log file options; the account, `startAccount` being the
// one the service started as) is said in one line each and left for the next start.
std::unique_ptr<MonitorRun> ReloadRun(MonitorRun& current, const RunBase& base,
                                      const std::wstring& serviceName,
                                      const OptionsReader& readOptions,
                                      const std::wstring& startAccount);

// The account the service manager has for service `serviceName` ("" when it cannot be read).
std::wstring ConfiguredAccount(const std::wstring& serviceName);

}  // namespace tendro

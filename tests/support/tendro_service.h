// A Tendro service for tests and benchmarks: installed with tendro.exe --install over the
// given options, logging to a file of its own; stopped and removed (with its log files) when
// the object goes.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "common/handle.h"
#include "support/run_tendro.h"

namespace tendro::test {

class TendroService {
public:
    explicit TendroService(std::vector<std::wstring> options);
    ~TendroService();
    TendroService(const TendroService&) = delete;
    TendroService& operator=(const TendroService&) = delete;

    const std::wstring& Name() const { return name_; }
    const std::wstring& LogPath() const { return log_; }
    // tendro.exe --install over it again with `options` and its log file (or `logFile`).
    RunResult Reinstall(std::vector<std::wstring> options, const std::wstring& logFile = {});
    // Stores `options` (with its log file) in the registry, as an editor would.
    void StoreOptions(std::vector<std::wstring> options);
    bool Control(DWORD control);  // ControlService: pause, continue, paramchange
    bool StartNoWait();
    // Starts it and waits (20 s at most) for RUNNING.
    bool Start();
    // Asks for the stop and waits for STOPPED: the milliseconds it took, or INFINITE.
    DWORD Stop(DWORD timeoutMs);
    SERVICE_STATUS_PROCESS Status() const;
    bool WaitFor(DWORD state, DWORD timeoutMs) const;
    // The log file as text (it is UTF-8), and a wait for a text in it (`times` times).
    std::wstring Log() const;
    bool WaitForLog(const std::wstring& text, DWORD timeoutMs, int times = 1) const;

private:
    std::wstring name_, log_;
    ScHandle scm_, service_;
};

}  // namespace tendro::test

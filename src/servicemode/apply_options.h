// --install over a Tendro service that is running: the new options are applied at once
// through the parameter-change control, and the install says what the service made of them,
// as the service's log file tells it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace tendro {

class RunningServiceUpdate {
public:
    // Before the new options are stored: the log file that the service writes now (by its
    // stored options) and how far it goes.
    explicit RunningServiceUpdate(std::wstring serviceName);

    // After they are stored: a running or paused service is sent the parameter change, and
    // the outcome it logs is printed (what only its next start can change, the refusal with
    // the reasons above it, or that it has not said within ApplyWaitMs); a stopped one takes
    // the new options at its next start. The install's exit code: 1 when they were refused or
    // nothing was heard.
    int Apply(SC_HANDLE service);

    static constexpr uint32_t ApplyWaitMs = 60000;

private:
    std::wstring name_;
    std::wstring logPath_;
    uint64_t logSize_ = 0;
};

}  // namespace tendro

// --install over a Tendro service that is running: the new options are applied at once
// through the parameter-change control, and the install says what the service made of them,
// as the service records it in its Parameters\Reload key.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tendro {

// After the new options of service `name` are stored: a running or paused service is sent the
// parameter change, and the outcome it records is printed (what only its next start can
// change, or the refusal with the reasons above it); a stopped one takes the new options at
// its next start, and so does a running one whose account changes (`newAccount`, "" when
// unchanged): its process, still of the old account, may no longer read them. Refused, or
// nothing heard within ApplyWaitMs, `restoreOptions` stores the options of before again and
// says so (the end of the Err! line); after a time-out the control is sent once more, so that
// a service that took the new ones late reads the stored ones again. `accountSid` ("" for
// LocalSystem) is given the right to record. The install's exit code: 1 when they were
// refused or nothing was heard.
int ApplyToRunningService(SC_HANDLE service, const std::wstring& name,
                          const std::wstring& accountSid, const std::wstring& newAccount,
                          const std::function<std::wstring()>& restoreOptions);

inline constexpr uint32_t ApplyWaitMs = 60000;

}  // namespace tendro

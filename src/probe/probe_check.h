// One probe of a service's endpoint: a TCP connection or an HTTP(S) GET, bounded by a limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cmdline/long_options.h"

namespace tendro {

// Winsock for the life of the object.
class WinsockSession {
public:
    WinsockSession() noexcept;
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    // 0 when Winsock started, otherwise its error.
    int StartError() const noexcept { return startError_; }

private:
    int startError_ = 0;
};

// Runs one probe of `target`, ending within `limitMs` milliseconds. Nothing when it passed;
// otherwise a short reason ("connection refused", "timed out after 2000 ms",
// "HTTP status 503", ...).
std::optional<std::wstring> RunProbe(const ProbeTarget& target, int32_t limitMs);

}  // namespace tendro

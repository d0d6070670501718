// One probe of a service's endpoint: a TCP connection or an HTTP(S) GET, bounded by a limit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cmdline/long_options.h"
#include "common/stop_signal.h"

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

struct ProbeWork;

// The probes of one service, one after the other. A probe ended by its limit or by the stop
// may leave work behind that cannot be cancelled: a name lookup in the system's resolver, or
// a WinHTTP request whose closing is still under way. The slot keeps the one such piece of
// its last probe, and the next probe first waits for it, within its own limit (it times out
// when that work does not end in time). So a resolver that never answers holds at most one
// thread per probed service, however many passes go by.
class ProbeSlot {
public:
    ProbeSlot();
    ~ProbeSlot();
    ProbeSlot(ProbeSlot&&) noexcept;
    ProbeSlot& operator=(ProbeSlot&&) noexcept;

private:
    friend std::optional<std::wstring> RunProbe(const ProbeTarget&, int32_t, ProbeSlot&,
                                                const StopSignal&);
    std::shared_ptr<ProbeWork> pending_;
};

// The reason of a probe that the stop ended.
inline constexpr const wchar_t* kProbeStopped = L"stopped";

// Runs one probe of `target`, ending within `limitMs` milliseconds as a whole (name lookup,
// connection, request and answer), or at once when `stop` is raised. Nothing when it passed;
// otherwise a short reason ("connection refused", "timed out after 2000 ms",
// "HTTP status 503", ..., kProbeStopped).
std::optional<std::wstring> RunProbe(const ProbeTarget& target, int32_t limitMs, ProbeSlot& slot,
                                     const StopSignal& stop = StopSignal::Never());

}  // namespace tendro

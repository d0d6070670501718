// The IDs of Tendro's events, their types and how many insertion strings each carries; the
// texts are the message table of event_messages.mc, compiled into tendro.exe.
#pragma once

#include <windows.h>

#include <array>

namespace tendro {

// The source in the Application log.
inline constexpr const wchar_t* EventSourceName = L"Tendro";

enum class EventId : DWORD {
    TendroStarted = 100,      // %2 how many services, %3 which
    TendroStopped = 101,      // %2 why
    TendroStartFailed = 102,  // %2 the reason
    TendroSystemError = 103,  // %2 what failed, %3 error code, %4 its text
    ServiceDown = 200,        // %2 service, %3 what was found
    ServiceUp = 201,          // %2 service, %3 seconds the outage lasted
    ResponseRan = 202,        // %2 failed service, %3 stopped, %4 started
    ResponseStepFailed = 203, // %2 service, %3 "stop" or "start", %4 error code, %5 its text
    RestartsHeld = 204,       // %2 service, %3 failures, %4 window seconds, %5 hold seconds
    ProcessTerminated = 205,  // %2 service, %3 process id, %4 why
    ShutdownNoResponse = 206, // %2 service, %3 what shuts down ("Windows" or a machine)
};

struct EventKind {
    EventId id;
    WORD type;         // EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE
    size_t strings;    // insertion strings, %1 (the Tendro service's name) included
};

inline constexpr std::array<EventKind, 11> EventKinds{{
    {EventId::TendroStarted, EVENTLOG_INFORMATION_TYPE, 3},
    {EventId::TendroStopped, EVENTLOG_INFORMATION_TYPE, 2},
    {EventId::TendroStartFailed, EVENTLOG_ERROR_TYPE, 2},
    {EventId::TendroSystemError, EVENTLOG_ERROR_TYPE, 4},
    {EventId::ServiceDown, EVENTLOG_WARNING_TYPE, 3},
    {EventId::ServiceUp, EVENTLOG_INFORMATION_TYPE, 3},
    {EventId::ResponseRan, EVENTLOG_INFORMATION_TYPE, 4},
    {EventId::ResponseStepFailed, EVENTLOG_ERROR_TYPE, 5},
    {EventId::RestartsHeld, EVENTLOG_WARNING_TYPE, 5},
    {EventId::ProcessTerminated, EVENTLOG_WARNING_TYPE, 4},
    {EventId::ShutdownNoResponse, EVENTLOG_WARNING_TYPE, 3},
}};

// The kind of `id`; every EventId has one.
constexpr const EventKind& KindOf(EventId id) {
    for (const EventKind& kind : EventKinds)
        if (kind.id == id) return kind;
    return EventKinds[0];
}

}  // namespace tendro

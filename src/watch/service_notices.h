// The service manager's change notices for the services of the group: NotifyServiceStatusChangeW
// on a service handle of the watch's own, for the stopped and stop-pending states. The manager
// delivers a notice as an asynchronous procedure call to the thread that armed it, during one
// of that thread's alertable waits; closing the handle cancels a notice not yet delivered.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/monitor_hooks.h"
#include "common/handle.h"
#include "common/text.h"
#include "service/service_control.h"

namespace tendro {

class ServiceNotices {
public:
    // How a notice is asked for: the system's call, or a stand-in in tests.
    using NotifyCall = DWORD(WINAPI*)(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW notify);

    explicit ServiceNotices(NotifyCall notify = &::NotifyServiceStatusChangeW) : notify_(notify) {}
    ~ServiceNotices();
    ServiceNotices(const ServiceNotices&) = delete;
    ServiceNotices& operator=(const ServiceNotices&) = delete;

    // The service's status, read silently through the watch's own handle (opened when needed);
    // false when it cannot be read.
    bool ReadStatus(const ServiceControl& service, SERVICE_STATUS_PROCESS& status);

    // Arms the notice of a service unless one is still outstanding. A service whose notices
    // cannot be had is left to the passes from then on (said once at level 0).
    void Arm(const ServiceControl& service);

    // Runs the notices already queued to this thread, so that they are dropped, and frees the
    // requests that closed handles cancelled.
    void DropQueued();

    // Ends the watch of every service that is no longer in the group.
    void KeepOnly(const ServiceObjects& services);

    // While collecting (a sink is given), a notice that comes in wakes the pause for its
    // service; outside, it is dropped.
    void Collect(PauseWaits* sink) { sink_ = sink; }

    // Cancelled requests not yet freed (they may still be delivered).
    size_t CancelledRequests() const { return cancelled_.size(); }

private:
    // The buffer of one request: it must stay where it is until the notice is delivered or
    // the request is cancelled, so it lives on its own and is never moved.
    struct Request {
        SERVICE_NOTIFYW notify{};
        ServiceNotices* owner = nullptr;
        std::wstring name;
        bool outstanding = false;    // armed and not yet delivered
        bool markedForDelete = false;
        bool cancelled = false;      // its handle is closed
        bool closeFailed = false;    // ... but the close failed: it may still come, keep it
    };
    struct Watched {
        std::wstring name;
        std::wstring machine;
        std::wstring shortName;
        SharedScHandle scm;  // keeps the manager handle that the handle was opened through
        SharedToken token;
        ScHandle handle;
        std::unique_ptr<Request> request;
        bool failed = false;  // notices could not be had: polling only
    };

    static void CALLBACK Delivered(void* parameter);
    Watched& Entry(const ServiceControl& service);
    bool Open(Watched& watched, DWORD& error);
    // Asks for the next notice; an answer that the watch lags behind the manager gets a fresh
    // manager handle for the machine and a second try.
    void Notify(Watched& watched);
    DWORD NotifyOnce(Watched& watched);
    // A fresh manager handle for the machine of `lagging`, and every watched service of that
    // machine reopened through it and armed again where it was armed.
    bool Reconnect(Watched& lagging, DWORD& error);
    // Closes the handle: an outstanding request is cancelled and kept aside until a drain
    // of the queued calls, as the manager may still deliver a notice that was on its way.
    void Close(Watched& watched);
    void Fail(Watched& watched, DWORD error);

    NotifyCall notify_;
    std::map<std::wstring, Watched, NoCaseLess> watched_;
    std::map<std::wstring, SharedScHandle, NoCaseLess> managers_;  // reopened after a lag
    std::vector<std::unique_ptr<Request>> cancelled_;
    PauseWaits* sink_ = nullptr;
};

}  // namespace tendro

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
#include <utility>
#include <vector>

#include "common/handle.h"
#include "common/text.h"
#include "service/service_control.h"

namespace tendro {

class ServiceNotices {
public:
    ServiceNotices() = default;
    ~ServiceNotices();
    ServiceNotices(const ServiceNotices&) = delete;
    ServiceNotices& operator=(const ServiceNotices&) = delete;

    // The service's status, read silently through the watch's own handle (opened when needed);
    // false when it cannot be read.
    bool ReadStatus(const ServiceControl& service, SERVICE_STATUS_PROCESS& status);

    // Arms the notice of a service unless one is still outstanding. A service whose notices
    // cannot be had is left to the passes from then on (said once at level 0).
    void Arm(const ServiceControl& service);

    // Runs the notices already queued to this thread, so that they are dropped.
    void DropQueued();

    // Ends the watch of every service that is no longer in the group.
    void KeepOnly(const ServiceObjects& services);

    // While collecting, a notice that comes in names its service as the one that woke the
    // wait; outside, it is dropped.
    void Collect(bool on) { collecting_ = on; }
    // The service whose notice came while collecting ("" for none); forgotten once taken.
    std::wstring TakeWoken() { return std::exchange(woken_, std::wstring()); }

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
    };
    struct Watched {
        SharedScHandle scm;  // keeps the connection that the handle was opened through
        SharedToken token;
        ScHandle handle;
        std::unique_ptr<Request> request;
        bool failed = false;  // notices could not be had: polling only
    };

    static void CALLBACK Delivered(void* parameter);
    bool Open(Watched& watched, const ServiceControl& service, DWORD& error);
    // Closes the handle: an outstanding request is cancelled and kept aside, as the manager
    // may still deliver a notice that was on its way.
    void Close(Watched& watched);
    void Fail(Watched& watched, const ServiceControl& service, DWORD error);

    std::map<std::wstring, Watched, NoCaseLess> watched_;
    std::vector<std::unique_ptr<Request>> cancelled_;
    bool collecting_ = false;
    std::wstring woken_;
};

}  // namespace tendro

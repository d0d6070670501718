#include "watch/service_notices.h"

#include <algorithm>
#include <utility>

#include "log/log.h"

namespace tendro {

namespace {

// The notices lag behind the manager's states: the manager's handle and the service's must be
// opened again.
constexpr DWORD ErrorNotifyClientLagging = 1294;
constexpr DWORD NoticeMask = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_STOP_PENDING;

}  // namespace

ServiceNotices::~ServiceNotices() {
    sink_ = nullptr;
    for (auto& [name, watched] : watched_) Close(watched);
    DropQueued();
    // A request whose handle would not close may yet be delivered while the program ends: its
    // buffer is left to the end of the process rather than freed under it.
    for (auto& request : cancelled_) (void)request.release();
}

void CALLBACK ServiceNotices::Delivered(void* parameter) {
    auto* notify = static_cast<SERVICE_NOTIFYW*>(parameter);
    auto* request = static_cast<Request*>(notify->pContext);
    request->outstanding = false;
    if (request->cancelled) return;
    if (notify->dwNotificationStatus == ERROR_SERVICE_MARKED_FOR_DELETE)
        request->markedForDelete = true;
    if (PauseWaits* sink = request->owner->sink_) sink->WakeFor(request->name);
}

ServiceNotices::Watched& ServiceNotices::Entry(const ServiceControl& service) {
    Watched& watched = watched_[service.name];
    if (!watched.handle) {
        watched.name = service.name;
        watched.machine = service.machine;
        watched.shortName = service.shortName;
        auto reopened = managers_.find(service.machine);
        watched.scm = reopened != managers_.end() ? reopened->second : service.scm;
        watched.token = service.token;
    }
    return watched;
}

bool ServiceNotices::Open(Watched& watched, DWORD& error) {
    if (!watched.scm) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    ImpersonationScope impersonation(watched.token.get());
    watched.handle.reset(
        ::OpenServiceW(watched.scm.get(), watched.shortName.c_str(), SERVICE_QUERY_STATUS));
    error = watched.handle ? ERROR_SUCCESS : ::GetLastError();
    return static_cast<bool>(watched.handle);
}

void ServiceNotices::Close(Watched& watched) {
    SC_HANDLE handle = watched.handle.release();
    const bool closed = handle == nullptr || ::CloseServiceHandle(handle) != 0;
    if (watched.request && watched.request->outstanding) {
        watched.request->cancelled = true;
        watched.request->closeFailed = !closed;
        cancelled_.push_back(std::move(watched.request));
    }
}

void ServiceNotices::Fail(Watched& watched, DWORD error) {
    Close(watched);
    watched.failed = true;
    WriteLog(LogError, FormatText(L"Can't watch service %s for changes: %s", watched.name.c_str(),
                                  WindowsErrorText(error).c_str()));
}

bool ServiceNotices::ReadStatus(const ServiceControl& service, SERVICE_STATUS_PROCESS& status) {
    Watched& watched = Entry(service);
    DWORD error = 0;
    if (!watched.handle && !Open(watched, error)) return false;
    ImpersonationScope impersonation(watched.token.get());
    DWORD needed = 0;
    return ::QueryServiceStatusEx(watched.handle.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != 0;
}

void ServiceNotices::Arm(const ServiceControl& service) {
    Watched& watched = Entry(service);
    if (watched.failed) return;
    if (watched.request && watched.request->outstanding) return;
    // The manager asks for the handle of a service marked for deletion to be closed.
    if (watched.request && watched.request->markedForDelete) {
        Close(watched);
        watched.request.reset();
        Entry(service);
    }
    DWORD error = 0;
    if (!watched.handle && !Open(watched, error)) {
        // A service on its way out is the pass's business, not a failure of the watch.
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE && error != ERROR_SERVICE_DOES_NOT_EXIST)
            Fail(watched, error);
        return;
    }
    Notify(watched);
}

DWORD ServiceNotices::NotifyOnce(Watched& watched) {
    if (!watched.request) {
        watched.request = std::make_unique<Request>();
        watched.request->owner = this;
        watched.request->name = watched.name;
    }
    Request& request = *watched.request;
    request.notify = SERVICE_NOTIFYW{};
    request.notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    request.notify.pfnNotifyCallback = &ServiceNotices::Delivered;
    request.notify.pContext = &request;
    ImpersonationScope impersonation(watched.token.get());
    DWORD result = notify_(watched.handle.get(), NoticeMask, &request.notify);
    if (result == ERROR_SUCCESS) request.outstanding = true;
    return result;
}

void ServiceNotices::Notify(Watched& watched) {
    DWORD result = NotifyOnce(watched);
    if (result == ErrorNotifyClientLagging) {
        DWORD error = 0;
        if (!Reconnect(watched, error)) {
            Fail(watched, error);
            return;
        }
        result = NotifyOnce(watched);
    }
    if (result == ERROR_SUCCESS) return;
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE) {
        Close(watched);
        return;
    }
    Fail(watched, result);
}

bool ServiceNotices::Reconnect(Watched& lagging, DWORD& error) {
    SharedScHandle manager;
    {
        ImpersonationScope impersonation(lagging.token.get());
        manager = MakeSharedScHandle(
            ::OpenSCManagerW(lagging.machine.c_str(), nullptr, SC_MANAGER_CONNECT));
        error = manager ? ERROR_SUCCESS : ::GetLastError();
    }
    if (!manager) return false;
    managers_[lagging.machine] = manager;
    for (auto& [name, watched] : watched_) {
        if (!watched.handle || !EqualsNoCase(watched.machine, lagging.machine)) continue;
        const bool armed = watched.request && watched.request->outstanding;
        // Opened through the new manager handle before the old handle goes.
        ScHandle reopened;
        {
            ImpersonationScope impersonation(watched.token.get());
            reopened.reset(::OpenServiceW(manager.get(), watched.shortName.c_str(),
                                          SERVICE_QUERY_STATUS));
        }
        Close(watched);
        watched.scm = manager;
        watched.handle = std::move(reopened);
        // One that does not open again is opened (or said to fail) at the next pass's end.
        if (watched.handle && armed) NotifyOnce(watched);
    }
    return lagging.handle || Open(lagging, error);
}

void ServiceNotices::DropQueued() {
    PauseWaits* sink = std::exchange(sink_, nullptr);
    // Each alertable wait may run only some of the queued calls: wait until none is left.
    while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
    }
    sink_ = sink;
    // No notice is queued after its handle is closed, and the drain has run any queued before:
    // the cancelled requests are free to go.
    std::erase_if(cancelled_, [](const auto& request) { return !request->closeFailed; });
}

void ServiceNotices::KeepOnly(const ServiceObjects& services) {
    for (auto it = watched_.begin(); it != watched_.end();) {
        if (services.count(it->first) != 0) {
            ++it;
            continue;
        }
        Close(it->second);
        it = watched_.erase(it);
    }
}

}  // namespace tendro

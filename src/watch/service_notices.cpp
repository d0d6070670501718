#include "watch/service_notices.h"

#include <algorithm>

#include "log/log.h"

namespace tendro {

namespace {

// The notices lag behind the manager's states: the handle must be opened again.
constexpr DWORD ErrorNotifyClientLagging = 1294;
constexpr DWORD NoticeMask = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_STOP_PENDING;

}  // namespace

ServiceNotices::~ServiceNotices() {
    for (auto& [name, watched] : watched_) Close(watched);
    DropQueued();
    // A request still outstanding after its handle is closed may yet be delivered while the
    // program ends: its buffer is left to the end of the process rather than freed under it.
    for (auto& request : cancelled_)
        if (request->outstanding) request.release();
}

void CALLBACK ServiceNotices::Delivered(void* parameter) {
    auto* notify = static_cast<SERVICE_NOTIFYW*>(parameter);
    auto* request = static_cast<Request*>(notify->pContext);
    request->outstanding = false;
    if (request->cancelled) return;
    if (notify->dwNotificationStatus == ERROR_SERVICE_MARKED_FOR_DELETE)
        request->markedForDelete = true;
    ServiceNotices& owner = *request->owner;
    if (owner.collecting_ && owner.woken_.empty()) owner.woken_ = request->name;
}

bool ServiceNotices::Open(Watched& watched, const ServiceControl& service, DWORD& error) {
    if (!service.scm) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    watched.scm = service.scm;
    watched.token = service.token;
    ImpersonationScope impersonation(watched.token.get());
    watched.handle.reset(
        ::OpenServiceW(watched.scm.get(), service.shortName.c_str(), SERVICE_QUERY_STATUS));
    error = watched.handle ? ERROR_SUCCESS : ::GetLastError();
    return static_cast<bool>(watched.handle);
}

void ServiceNotices::Close(Watched& watched) {
    if (watched.request && watched.request->outstanding) {
        watched.request->cancelled = true;
        cancelled_.push_back(std::move(watched.request));
    }
    watched.handle.reset();
}

void ServiceNotices::Fail(Watched& watched, const ServiceControl& service, DWORD error) {
    Close(watched);
    watched.failed = true;
    WriteLog(LogError, FormatText(L"Can't watch service %s for changes: %s", service.name.c_str(),
                                  WindowsErrorText(error).c_str()));
}

bool ServiceNotices::ReadStatus(const ServiceControl& service, SERVICE_STATUS_PROCESS& status) {
    Watched& watched = watched_[service.name];
    DWORD error = 0;
    if (!watched.handle && !Open(watched, service, error)) return false;
    ImpersonationScope impersonation(watched.token.get());
    DWORD needed = 0;
    return ::QueryServiceStatusEx(watched.handle.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != 0;
}

void ServiceNotices::Arm(const ServiceControl& service) {
    Watched& watched = watched_[service.name];
    if (watched.failed) return;
    if (watched.request && watched.request->outstanding) return;
    // The manager asks for the handle of a service marked for deletion to be closed.
    if (watched.request && watched.request->markedForDelete) {
        Close(watched);
        watched.request.reset();
    }
    DWORD error = 0;
    if (!watched.handle && !Open(watched, service, error)) {
        // A service on its way out is the pass's business, not a failure of the watch.
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE && error != ERROR_SERVICE_DOES_NOT_EXIST)
            Fail(watched, service, error);
        return;
    }
    if (!watched.request) {
        watched.request = std::make_unique<Request>();
        watched.request->owner = this;
        watched.request->name = service.name;
    }
    Request& request = *watched.request;
    auto notify = [&] {
        request.notify = SERVICE_NOTIFYW{};
        request.notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
        request.notify.pfnNotifyCallback = &ServiceNotices::Delivered;
        request.notify.pContext = &request;
        ImpersonationScope impersonation(watched.token.get());
        return ::NotifyServiceStatusChangeW(watched.handle.get(), NoticeMask, &request.notify);
    };
    DWORD result = notify();
    if (result == ErrorNotifyClientLagging) {
        watched.handle.reset();
        if (!Open(watched, service, error)) {
            Fail(watched, service, error);
            return;
        }
        result = notify();
    }
    if (result == ERROR_SUCCESS) {
        request.outstanding = true;
        return;
    }
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE) {
        Close(watched);
        return;
    }
    Fail(watched, service, result);
}

void ServiceNotices::DropQueued() {
    const bool collecting = std::exchange(collecting_, false);
    // Each alertable wait may run only some of the queued calls: wait until none is left.
    while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
    }
    collecting_ = collecting;
    woken_.clear();
    std::erase_if(cancelled_, [](const auto& request) { return !request->outstanding; });
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

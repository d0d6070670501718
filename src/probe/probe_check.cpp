#include "probe/probe_check.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwctype>
#include <memory>

#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"

namespace tendro {

namespace {

struct SocketTraits {
    using type = SOCKET;
    static type empty() noexcept { return INVALID_SOCKET; }
    static bool valid(type s) noexcept { return s != INVALID_SOCKET; }
    static void close(type s) noexcept { ::closesocket(s); }
};
using Socket = UniqueHandle<SocketTraits>;

struct InternetTraits {
    using type = HINTERNET;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::WinHttpCloseHandle(h); }
};
using Internet = UniqueHandle<InternetTraits>;

struct AddressListDeleter {
    void operator()(ADDRINFOW* list) const noexcept { ::FreeAddrInfoW(list); }
};
using AddressList = std::unique_ptr<ADDRINFOW, AddressListDeleter>;

// The time left of one probe's limit.
class Deadline {
public:
    explicit Deadline(int32_t limitMs)
        : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)) {}
    // Whole milliseconds left, 0 once the limit is reached.
    int32_t RemainingMs() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now());
        return static_cast<int32_t>(std::max<int64_t>(0, left.count()));
    }

private:
    std::chrono::steady_clock::time_point end_;
};

enum class Waited { Done, TimedOut, Stopped };

// The one wait of a probe: for `event`, until the deadline or the stop.
Waited WaitWithin(HANDLE event, const Deadline& deadline, const StopSignal& stop) {
    HANDLE events[] = {event, stop.Event()};
    DWORD result = ::WaitForMultipleObjects(2, events, FALSE,
                                            static_cast<DWORD>(deadline.RemainingMs()));
    if (result == WAIT_OBJECT_0) return Waited::Done;
    if (result == WAIT_OBJECT_0 + 1) return Waited::Stopped;
    return Waited::TimedOut;
}

std::wstring TimedOut(int32_t limitMs) {
    return L"timed out after " + std::to_wstring(limitMs) + L" ms";
}

std::wstring Unfinished(Waited waited, int32_t limitMs) {
    return waited == Waited::Stopped ? std::wstring(kProbeStopped) : TimedOut(limitMs);
}

std::wstring ErrorReason(DWORD code) {
    std::wstring text = WindowsErrorText(code);
    while (!text.empty() && (text.back() == L'.' || std::iswspace(text.back()))) text.pop_back();
    if (text.empty()) return L"error " + std::to_wstring(code);
    return L"error " + std::to_wstring(code) + L" (" + text + L")";
}

// A socket result of our own: the stop ended the wait.
constexpr int kSocketStopped = -1;

std::wstring SocketReason(int code, int32_t limitMs) {
    switch (code) {
        case kSocketStopped: return kProbeStopped;
        case WSAECONNREFUSED: return L"connection refused";
        case WSAETIMEDOUT: return TimedOut(limitMs);
        case WSAENETUNREACH: return L"network unreachable";
        case WSAEHOSTUNREACH: return L"host unreachable";
        case WSAECONNRESET: return L"connection reset";
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA: return L"host not found";
        case WSATRY_AGAIN: return L"host name lookup failed";
        default: return ErrorReason(static_cast<DWORD>(code));
    }
}

}  // namespace

// Work of a probe that may outlive it; `finished` is set once it has ended.
struct ProbeWork {
    Handle finished{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    virtual ~ProbeWork() = default;
};

namespace {

// A name lookup on a thread of its own, which the probe abandons at its deadline: the system
// resolver cannot be cancelled. The thread holds the lookup until it returns.
struct Lookup final : ProbeWork {
    std::wstring host;
    std::wstring port;
    int result = WSAHOST_NOT_FOUND;
    AddressList addresses;
};

ADDRINFOW TcpHints(int flags) {
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

DWORD WINAPI RunLookup(void* parameter) {
    std::unique_ptr<std::shared_ptr<Lookup>> held(static_cast<std::shared_ptr<Lookup>*>(parameter));
    Lookup& lookup = **held;
    ADDRINFOW hints = TcpHints(0);
    ADDRINFOW* list = nullptr;
    lookup.result = ::GetAddrInfoW(lookup.host.c_str(), lookup.port.c_str(), &hints, &list);
    if (lookup.result == 0) lookup.addresses.reset(list);
    ::SetEvent(lookup.finished.get());
    return 0;
}

// The addresses of HOST:PORT: an address literal at once, a name through the system resolver
// within the deadline. 0 or the lookup's error; a lookup that is still under way is left in
// `pending`.
int LookUp(const ProbeTarget& target, const Deadline& deadline, const StopSignal& stop,
           AddressList& addresses, std::shared_ptr<ProbeWork>& pending) {
    ADDRINFOW hints = TcpHints(AI_NUMERICHOST);
    std::wstring port = std::to_wstring(target.port);
    ADDRINFOW* list = nullptr;
    if (::GetAddrInfoW(target.host.c_str(), port.c_str(), &hints, &list) == 0) {
        addresses.reset(list);
        return 0;
    }

    auto lookup = std::make_shared<Lookup>();
    if (!lookup->finished) return static_cast<int>(::GetLastError());
    lookup->host = target.host;
    lookup->port = port;
    auto parameter = std::make_unique<std::shared_ptr<Lookup>>(lookup);
    Handle thread(::CreateThread(nullptr, 0, RunLookup, parameter.get(), 0, nullptr));
    if (!thread) return static_cast<int>(::GetLastError());
    parameter.release();  // the thread's now
    pending = lookup;
    Waited waited = WaitWithin(lookup->finished.get(), deadline, stop);
    if (waited == Waited::Stopped) return kSocketStopped;
    if (waited == Waited::TimedOut) return WSAETIMEDOUT;
    addresses = std::move(lookup->addresses);
    return lookup->result;
}

// A connection to one address, waited for until the deadline or the stop.
// 0 when connected, WSAETIMEDOUT when the time ran out, kSocketStopped, otherwise the error.
int ConnectWithin(const ADDRINFOW& address, const Deadline& deadline, const StopSignal& stop) {
    Socket socket(::socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    if (!socket) return ::WSAGetLastError();
    Handle ready(::WSACreateEvent());
    if (!ready) return ::WSAGetLastError();
    // Also makes the socket non-blocking.
    if (::WSAEventSelect(socket.get(), ready.get(), FD_CONNECT) != 0) return ::WSAGetLastError();
    if (::connect(socket.get(), address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
        return 0;
    int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error;

    Waited waited = WaitWithin(ready.get(), deadline, stop);
    if (waited == Waited::Stopped) return kSocketStopped;
    if (waited == Waited::TimedOut) return WSAETIMEDOUT;
    WSANETWORKEVENTS events{};
    if (::WSAEnumNetworkEvents(socket.get(), ready.get(), &events) != 0)
        return ::WSAGetLastError();
    if (!(events.lNetworkEvents & FD_CONNECT)) return WSAETIMEDOUT;
    return events.iErrorCode[FD_CONNECT_BIT];
}

std::optional<std::wstring> ProbeTcp(const ProbeTarget& target, int32_t limitMs,
                                     const Deadline& deadline, const StopSignal& stop,
                                     std::shared_ptr<ProbeWork>& pending) {
    AddressList addresses;
    if (int result = LookUp(target, deadline, stop, addresses, pending))
        return SocketReason(result, limitMs);
    int lastError = WSAHOST_NOT_FOUND;
    // Each address in the resolver's order, while time is left.
    for (const ADDRINFOW* address = addresses.get(); address; address = address->ai_next) {
        if (deadline.RemainingMs() == 0) return TimedOut(limitMs);
        lastError = ConnectWithin(*address, deadline, stop);
        if (lastError == 0) return std::nullopt;
        if (lastError == WSAETIMEDOUT || lastError == kSocketStopped) break;
    }
    return SocketReason(lastError, limitMs);
}

std::wstring HttpErrorReason(DWORD code, int32_t limitMs) {
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT: return TimedOut(limitMs);
        case ERROR_WINHTTP_CANNOT_CONNECT: return L"cannot connect";
        case ERROR_WINHTTP_CONNECTION_ERROR: return L"connection reset";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return L"host not found";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return L"no valid HTTP answer";
        case ERROR_WINHTTP_SECURE_FAILURE: return L"TLS failure";
        default: return ErrorReason(code);
    }
}

void SetNumberOption(HINTERNET handle, DWORD option, DWORD value) {
    // An option this WinHTTP does not know is left at its default.
    ::WinHttpSetOption(handle, option, &value, sizeof(value));
}

// One asynchronous WinHTTP request. WinHTTP's callback only records how far the request got
// and wakes the probe, which makes every call itself; the callback's hold on the exchange
// ends with the request handle's closing, which also sets `finished`.
struct HttpExchange final : ProbeWork {
    enum Stage : int { Opened, Sent, HeadersRead };
    Handle progress{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<int> stage{Opened};
    std::atomic<DWORD> error{0};

    void Reached(Stage reached) {
        stage = reached;
        ::SetEvent(progress.get());
    }
    void Failed(DWORD code) {
        error = code == 0 ? ERROR_WINHTTP_INTERNAL_ERROR : code;
        ::SetEvent(progress.get());
    }
};
using HeldExchange = std::shared_ptr<HttpExchange>;

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, void* information,
                              DWORD) {
    auto* held = reinterpret_cast<HeldExchange*>(context);
    if (!held) return;
    HttpExchange& exchange = **held;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            exchange.Reached(HttpExchange::Sent);
            break;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            exchange.Reached(HttpExchange::HeadersRead);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            exchange.Failed(static_cast<WINHTTP_ASYNC_RESULT*>(information)->dwError);
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            // The last callback of the request.
            ::SetEvent(exchange.finished.get());
            delete held;
            break;
        default: break;
    }
}

std::optional<std::wstring> ProbeHttp(const ProbeTarget& target, int32_t limitMs,
                                      const Deadline& deadline, const StopSignal& stop,
                                      std::shared_ptr<ProbeWork>& pending) {
    auto failure = [&](DWORD code) -> std::optional<std::wstring> {
        if (deadline.RemainingMs() == 0) return TimedOut(limitMs);
        return HttpErrorReason(code, limitMs);
    };
    auto exchange = std::make_shared<HttpExchange>();
    if (!exchange->finished || !exchange->progress) return failure(::GetLastError());
    // Straight to the service, never through a proxy.
    Internet session(::WinHttpOpen(L"Tendro-Probe/2.6", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                   WINHTTP_FLAG_ASYNC));
    if (!session) return failure(::GetLastError());
    Internet connection(::WinHttpConnect(session.get(), target.host.c_str(), target.port, 0));
    if (!connection) return failure(::GetLastError());
    const bool secure = target.scheme == ProbeTarget::Https;
    Internet request(::WinHttpOpenRequest(connection.get(), L"GET", target.path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return failure(::GetLastError());

    // From the callback's installation on, the request handle's closing frees `held`.
    auto held = std::make_unique<HeldExchange>(exchange);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(held.get());
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context,
                            sizeof(context)))
        return failure(::GetLastError());
    if (::WinHttpSetStatusCallback(request.get(), OnRequestStatus,
                                   WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                       WINHTTP_CALLBACK_FLAG_HANDLES,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return failure(::GetLastError());
    held.release();
    pending = exchange;

    // The answer itself counts: no redirects, no authentication, no cookies, a fresh
    // connection every time.
    SetNumberOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY,
                    WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
    SetNumberOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                    WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES |
                        WINHTTP_DISABLE_AUTHENTICATION | WINHTTP_DISABLE_KEEP_ALIVE);
    SetNumberOption(request.get(), WINHTTP_OPTION_CONNECT_RETRIES, 1);
    // A probe asks whether the service answers, not whom to trust: any certificate will do.
    if (secure)
        SetNumberOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS,
                        SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                            SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE);
    // The probe's own wait bounds the whole request; WinHTTP's limits per step only make sure
    // that a request left behind at the deadline ends as well.
    ::WinHttpSetTimeouts(request.get(), limitMs, limitMs, limitMs, limitMs);
    SetNumberOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, limitMs);

    // Waits until the request has reached `stage`: nothing then, otherwise the reason.
    auto reach = [&](HttpExchange::Stage stage) -> std::optional<std::wstring> {
        for (;;) {
            if (DWORD code = exchange->error.load()) return failure(code);
            if (exchange->stage.load() >= stage) return std::nullopt;
            Waited waited = WaitWithin(exchange->progress.get(), deadline, stop);
            if (waited != Waited::Done) return Unfinished(waited, limitMs);
        }
    };
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, context))
        return failure(::GetLastError());
    if (auto reason = reach(HttpExchange::Sent)) return reason;
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) return failure(::GetLastError());
    if (auto reason = reach(HttpExchange::HeadersRead)) return reason;

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX))
        return failure(::GetLastError());
    if (status >= 200 && status <= 399) return std::nullopt;
    return L"HTTP status " + std::to_wstring(status);
}

}  // namespace

WinsockSession::WinsockSession() noexcept {
    WSADATA data;
    startError_ = ::WSAStartup(MAKEWORD(2, 2), &data);
}

WinsockSession::~WinsockSession() {
    if (startError_ == 0) ::WSACleanup();
}

ProbeSlot::ProbeSlot() = default;
ProbeSlot::~ProbeSlot() = default;
ProbeSlot::ProbeSlot(ProbeSlot&&) noexcept = default;
ProbeSlot& ProbeSlot::operator=(ProbeSlot&&) noexcept = default;

std::optional<std::wstring> RunProbe(const ProbeTarget& target, int32_t limitMs, ProbeSlot& slot,
                                     const StopSignal& stop) {
    Deadline deadline(limitMs);
    if (slot.pending_) {
        Waited waited = WaitWithin(slot.pending_->finished.get(), deadline, stop);
        if (waited != Waited::Done) return Unfinished(waited, limitMs);
        slot.pending_.reset();
    }
    if (target.scheme == ProbeTarget::Tcp)
        return ProbeTcp(target, limitMs, deadline, stop, slot.pending_);
    return ProbeHttp(target, limitMs, deadline, stop, slot.pending_);
}

}  // namespace tendro

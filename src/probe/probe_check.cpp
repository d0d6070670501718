#include "probe/probe_check.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
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

std::wstring TimedOut(int32_t limitMs) {
    return L"timed out after " + std::to_wstring(limitMs) + L" ms";
}

std::wstring ErrorReason(DWORD code) {
    std::wstring text = WindowsErrorText(code);
    while (!text.empty() && (text.back() == L'.' || std::iswspace(text.back()))) text.pop_back();
    if (text.empty()) return L"error " + std::to_wstring(code);
    return L"error " + std::to_wstring(code) + L" (" + text + L")";
}

std::wstring SocketReason(int code, int32_t limitMs) {
    switch (code) {
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

// The addresses of HOST:PORT: an address literal without a lookup, a name through the
// system resolver.
int LookUp(const ProbeTarget& target, AddressList& addresses) {
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    std::wstring port = std::to_wstring(target.port);
    ADDRINFOW* list = nullptr;
    int result = ::GetAddrInfoW(target.host.c_str(), port.c_str(), &hints, &list);
    if (result != 0) {
        hints.ai_flags = 0;
        result = ::GetAddrInfoW(target.host.c_str(), port.c_str(), &hints, &list);
    }
    if (result == 0) addresses.reset(list);
    return result;
}

// A connection to one address: a non-blocking connect, waited for with select.
// 0 when connected, WSAETIMEDOUT when the time ran out, otherwise the error.
int ConnectWithin(const ADDRINFOW& address, const Deadline& deadline) {
    Socket socket(::socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    if (!socket) return ::WSAGetLastError();
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket.get(), FIONBIO, &nonBlocking) != 0) return ::WSAGetLastError();
    if (::connect(socket.get(), address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
        return 0;
    int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error;

    int32_t remaining = deadline.RemainingMs();
    timeval wait{remaining / 1000, (remaining % 1000) * 1000};
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket.get(), &writable);
    FD_SET(socket.get(), &failed);
    int ready = ::select(0, nullptr, &writable, &failed, &wait);
    if (ready == 0) return WSAETIMEDOUT;
    if (ready == SOCKET_ERROR) return ::WSAGetLastError();
    int socketError = 0;
    int size = sizeof(socketError);
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError),
                     &size) != 0)
        return ::WSAGetLastError();
    if (socketError != 0) return socketError;
    return FD_ISSET(socket.get(), &writable) ? 0 : WSAECONNREFUSED;
}

std::optional<std::wstring> ProbeTcp(const ProbeTarget& target, int32_t limitMs) {
    Deadline deadline(limitMs);
    AddressList addresses;
    if (int result = LookUp(target, addresses)) return SocketReason(result, limitMs);
    int lastError = WSAHOST_NOT_FOUND;
    // Each address in the resolver's order, while time is left.
    for (const ADDRINFOW* address = addresses.get(); address; address = address->ai_next) {
        if (deadline.RemainingMs() == 0) return TimedOut(limitMs);
        lastError = ConnectWithin(*address, deadline);
        if (lastError == 0) return std::nullopt;
        if (lastError == WSAETIMEDOUT) break;
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

std::optional<std::wstring> ProbeHttp(const ProbeTarget& target, int32_t limitMs) {
    Deadline deadline(limitMs);
    auto failure = [&](DWORD code) -> std::optional<std::wstring> {
        if (deadline.RemainingMs() == 0) return TimedOut(limitMs);
        return HttpErrorReason(code, limitMs);
    };
    // Straight to the service, never through a proxy.
    Internet session(::WinHttpOpen(L"Tendro-Probe/2.6", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return failure(::GetLastError());
    Internet connection(::WinHttpConnect(session.get(), target.host.c_str(), target.port, 0));
    if (!connection) return failure(::GetLastError());
    const bool secure = target.scheme == ProbeTarget::Https;
    Internet request(::WinHttpOpenRequest(connection.get(), L"GET", target.path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return failure(::GetLastError());
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

    // Each step gets what is left of the limit: the name lookup, the connection and the
    // sending of the request first, then the wait for the answer (which some WinHTTP
    // versions already begin inside WinHttpSendRequest).
    int remaining = deadline.RemainingMs();
    if (remaining == 0) return TimedOut(limitMs);
    if (!::WinHttpSetTimeouts(request.get(), remaining, remaining, remaining, remaining))
        return failure(::GetLastError());
    SetNumberOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, remaining);
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return failure(::GetLastError());
    remaining = deadline.RemainingMs();
    if (remaining == 0) return TimedOut(limitMs);
    SetNumberOption(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, remaining);
    SetNumberOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, remaining);
    if (!::WinHttpReceiveResponse(request.get(), nullptr)) return failure(::GetLastError());

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

std::optional<std::wstring> RunProbe(const ProbeTarget& target, int32_t limitMs) {
    if (target.scheme == ProbeTarget::Tcp) return ProbeTcp(target, limitMs);
    return ProbeHttp(target, limitMs);
}

}  // namespace tendro

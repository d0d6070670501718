#include "hostproduct/com_error.h"

#include <oleauto.h>

#include <atomic>
#include <memory>

#include "common/error.h"
#include "common/text.h"

namespace tendro {

namespace {

constexpr unsigned FacilityInternet = 12;

unsigned FacilityOf(int value) { return (static_cast<unsigned>(value) >> 16) & 0x1FFF; }

// FormatMessageW with an allocated buffer; the trailing "\r\n" is cut off.
std::wstring FormatWithFlags(DWORD flags, HMODULE module, DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                               module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                               reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::unique_ptr<void, decltype(&::LocalFree)> owner(buffer, &::LocalFree);
    if (n == 0 || buffer == nullptr) return {};
    std::wstring text(buffer, n);
    if (!text.empty() && text.back() == L'\n') {
        text.pop_back();
        if (!text.empty() && text.back() == L'\r') text.pop_back();
    }
    return text;
}

std::wstring ComErrorText(HRESULT hr) {
    DWORD code = static_cast<DWORD>(hr);
    if (FacilityOf(hr) == FacilityInternet) {
        if (HMODULE urlmon = ::GetModuleHandleW(L"urlmon.dll"))
            return FormatWithFlags(FORMAT_MESSAGE_FROM_HMODULE, urlmon, code);
    }
    std::wstring text = FormatWithFlags(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
    if (!text.empty()) return text;
    if (code >= 0x80040201u && code <= 0x8004FFFFu)
        return FormatText(L"IDispatch error #%d", static_cast<int>(code - 0x80040200u));
    return FormatText(L"Unknown error 0x%0lX", static_cast<unsigned long>(code));
}

class ComErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "com"; }

    std::string message(int value) const override {
        return ToNarrow(ComErrorText(static_cast<HRESULT>(value)), CP_ACP);
    }

    std::error_condition default_error_condition(int value) const noexcept override {
        switch (FacilityOf(value)) {
        case 0:
        case FACILITY_WIN32:
        case FACILITY_WINDOWS:
            return system_error_category().default_error_condition(value & 0xFFFF);
        default:
            return std::error_condition(value, *this);
        }
    }
};

std::atomic<ComErrorHandler> installedHandler{nullptr};

struct BstrDeleter {
    void operator()(BSTR text) const noexcept { ::SysFreeString(text); }
};

}  // namespace

const std::error_category& com_error_category() {
    static const ComErrorCategory category;
    return category;
}

std::system_error ComError(HRESULT hr, const std::string& text) {
    std::error_code code(static_cast<int>(hr), com_error_category());
    // Without a text of its own the message is the category's text alone.
    return text.empty() ? std::system_error(code) : std::system_error(code, text);
}

void RaiseComError(HRESULT hr, IErrorInfo* info) {
    std::string text;
    if (info != nullptr) {
        BSTR raw = nullptr;
        if (SUCCEEDED(info->GetDescription(&raw)) && raw != nullptr) {
            std::unique_ptr<OLECHAR, BstrDeleter> description(raw);
            std::wstring wide(raw, ::SysStringLen(raw));
            while (!wide.empty() &&
                   (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.'))
                wide.pop_back();
            text = ToNarrow(wide, CP_ACP);
        }
    }
    throw ComError(hr, text);
}

ComErrorHandler SetComErrorHandler(ComErrorHandler handler) {
    return installedHandler.exchange(handler);
}

void InstallComErrorHandler() { SetComErrorHandler(&RaiseComError); }

void IssueComError(HRESULT hr) {
    IErrorInfo* raw = nullptr;
    if (::GetErrorInfo(0, &raw) != S_OK) raw = nullptr;
    struct Releaser {
        IErrorInfo* info;
        ~Releaser() {
            if (info) info->Release();
        }
    } release{raw};
    if (ComErrorHandler handler = installedHandler.load()) handler(hr, raw);
    RaiseComError(hr, raw);
}

}  // namespace tendro

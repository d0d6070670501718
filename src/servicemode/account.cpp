#include "servicemode/account.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <utility>

#include "common/handle.h"
#include "common/text.h"
#include "log/log.h"

namespace tendro {

namespace {

constexpr size_t PasswordRoom = 1024;  // characters; a longer line is refused
constexpr NTSTATUS NoRightsStatus = static_cast<NTSTATUS>(0xC0000034);  // object name not found

struct LsaPolicyTraits {
    using type = LSA_HANDLE;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::LsaClose(h); }
};
using LsaPolicy = UniqueHandle<LsaPolicyTraits>;

struct LsaMemoryTraits {
    using type = PLSA_UNICODE_STRING;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::LsaFreeMemory(h); }
};
using LsaRights = UniqueHandle<LsaMemoryTraits>;

struct BuiltInAccount {
    const wchar_t* fullName;
    const wchar_t* shortName;
    const wchar_t* sid;
};
const BuiltInAccount BuiltInAccounts[] = {
    {L"NT AUTHORITY\\LocalService", L"LocalService", L"LS"},
    {L"NT AUTHORITY\\NetworkService", L"NetworkService", L"NS"},
};

std::vector<BYTE> LookUpSid(const std::wstring& account) {
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use{};
    ::LookupAccountNameW(nullptr, account.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    std::vector<BYTE> sid(sidSize ? sidSize : 1);
    std::wstring domain(domainSize ? domainSize : 1, L'\0');
    if (!sidSize || !::LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sidSize,
                                          domain.data(), &domainSize, &use))
        FailServiceCommand(::GetLastError(), L"Can't find the account " + account);
    return sid;
}

std::wstring SidText(const std::wstring& account) {
    std::vector<BYTE> sid = LookUpSid(account);
    LocalMemory text;
    if (!::ConvertSidToStringSidW(sid.data(), reinterpret_cast<wchar_t**>(text.put())))
        FailServiceCommand(::GetLastError(), L"Can't read the SID of the account " + account);
    return static_cast<const wchar_t*>(text.get());
}

// Line end, cut off: CR LF or LF.
void StripLineEnd(std::wstring& text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
}

void ReadConsolePassword(HANDLE input, DWORD mode, const std::wstring& account,
                         Password& password) {
    WriteConsoleText(STD_OUTPUT_HANDLE, L"Password for " + account + L": ");
    // Ctrl+C still ends the program, but with the echo switched on again.
    static HANDLE promptInput;
    static DWORD promptMode;
    promptInput = input;
    promptMode = mode;
    auto restore = [](DWORD) -> BOOL {
        ::SetConsoleMode(promptInput, promptMode);
        return FALSE;
    };
    ::SetConsoleCtrlHandler(restore, TRUE);
    ::SetConsoleMode(input, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT);
    wchar_t buffer[PasswordRoom] = {};
    DWORD read = 0;
    BOOL ok = ::ReadConsoleW(input, buffer, PasswordRoom - 1, &read, nullptr);
    DWORD error = ::GetLastError();
    ::SetConsoleMode(input, mode);
    ::SetConsoleCtrlHandler(restore, FALSE);
    WriteConsoleText(STD_OUTPUT_HANDLE, L"\n");
    if (ok) password.text().assign(buffer, read);
    ::SecureZeroMemory(buffer, sizeof(buffer));
    if (!ok) FailServiceCommand(error, L"Can't read the password for " + account);
}

// The bytes of one line: in UTF-16 (a byte-order mark first) read two at a time, so that the
// line end is found as a character and not as the first half of one.
void ReadPipedPassword(HANDLE input, const std::wstring& account, Password& password) {
    char bytes[2 * PasswordRoom] = {};
    size_t count = 0;
    bool lineEnd = false;
    size_t unit = 1;
    while (count < sizeof(bytes)) {
        DWORD read = 0;
        if (!::ReadFile(input, bytes + count, 1, &read, nullptr) || read == 0) break;
        ++count;
        if (count == 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') ||
                           (bytes[0] == '\xFE' && bytes[1] == '\xFF')))
            unit = 2;
        if (count % unit != 0) continue;
        const bool newline = unit == 1 ? bytes[count - 1] == '\n'
                                       : (bytes[count - 2] == '\n' && bytes[count - 1] == 0) ||
                                             (bytes[count - 2] == 0 && bytes[count - 1] == '\n');
        if (newline) {
            lineEnd = true;
            break;
        }
    }
    const bool tooLong = !lineEnd && count == sizeof(bytes);
    const wchar_t* problem = tooLong ? nullptr
                                     : DecodePasswordBytes(std::string_view(bytes, count),
                                                           password.text());
    ::SecureZeroMemory(bytes, sizeof(bytes));
    if (tooLong) FailServiceCommand(0, L"The password for " + account + L" is too long");
    if (problem)
        FailServiceCommand(0, L"The password for " + account + L" on standard input " + problem);
}

}  // namespace

const wchar_t* DecodePasswordBytes(std::string_view bytes, std::wstring& text) {
    text.clear();
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const bool little = bytes.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE;
    const bool big = bytes.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF;
    if (little || big) {
        if (bytes.size() % 2 != 0) return L"is not whole UTF-16 text";
        const size_t length = bytes.size() / 2 - 1;
        if (length > text.capacity()) return L"is too long";
        text.resize(length);
        for (size_t i = 0; i < length; ++i) {
            const unsigned char hi = b[2 + 2 * i + (little ? 1 : 0)];
            const unsigned char lo = b[2 + 2 * i + (little ? 0 : 1)];
            text[i] = static_cast<wchar_t>(hi << 8 | lo);
        }
        for (size_t i = 0; i < length; ++i) {  // surrogates only in pairs
            const bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF;
            const bool low = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
            const bool paired = high && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
            if (low || (high && !paired)) {
                SecureErase(text);
                return L"is not valid UTF-16 text";
            }
            if (paired) ++i;
        }
    } else {
        if (bytes.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) bytes.remove_prefix(3);
        const int size = static_cast<int>(bytes.size());
        const int length = size ? ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                        size, nullptr, 0)
                                : 0;
        if (size > 0 && length <= 0) return L"is not valid UTF-8 text (nor UTF-16 with a byte-order mark)";
        if (static_cast<size_t>(length) > text.capacity()) return L"is too long";
        text.resize(static_cast<size_t>(length));
        if (length > 0)
            ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), length);
    }
    if (text.find(L'\0') != std::wstring::npos) {
        SecureErase(text);
        return L"holds a NUL character";
    }
    return nullptr;
}

[[noreturn]] void FailServiceCommand(DWORD code, std::wstring text) {
    throw ServiceCommandError{code, std::move(text), {}};
}

ServiceAccount ResolveServiceAccount(const std::wstring& given) {
    ServiceAccount account;
    account.given = given;
    if (given.empty()) return account;
    for (const BuiltInAccount& builtIn : BuiltInAccounts) {
        if (EqualsNoCase(given, builtIn.fullName) || EqualsNoCase(given, builtIn.shortName)) {
            account.name = builtIn.fullName;
            account.sid = builtIn.sid;
            return account;
        }
    }
    // The service manager takes a local account as ".\user".
    bool qualified = given.find_first_of(L"\\@") != std::wstring::npos;
    account.name = qualified ? given : L".\\" + given;
    account.managed = given.back() == L'$';
    account.needsPassword = !account.managed;
    account.needsLogonRight = true;
    account.sid = SidText(given);
    return account;
}

bool AccountTakesPassword(const std::wstring& startName) {
    if (startName.empty() || EqualsNoCase(startName, L"LocalSystem") || startName.back() == L'$')
        return false;
    for (const BuiltInAccount& builtIn : BuiltInAccounts)
        if (EqualsNoCase(startName, builtIn.fullName) || EqualsNoCase(startName, builtIn.shortName))
            return false;
    return true;
}

ServiceAccount AccountOfInstalledService(const std::wstring& startName) {
    ServiceAccount account;
    if (startName.empty() || EqualsNoCase(startName, L"LocalSystem")) return account;
    account.name = startName;
    account.given = startName.starts_with(L".\\") ? startName.substr(2) : startName;
    for (const BuiltInAccount& builtIn : BuiltInAccounts)
        if (EqualsNoCase(startName, builtIn.fullName) || EqualsNoCase(startName, builtIn.shortName)) {
            account.sid = builtIn.sid;
            return account;
        }
    account.managed = account.given.back() == L'$';
    account.sid = SidText(account.given);
    return account;
}

Password::Password() { text_.reserve(PasswordRoom); }
Password::~Password() { SecureErase(text_); }

void ReadPassword(const std::wstring& account, Password& password) {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        FailServiceCommand(0, L"No password for " + account + L": standard input is closed");
    if (::GetConsoleMode(input, &mode))
        ReadConsolePassword(input, mode, account, password);
    else
        ReadPipedPassword(input, account, password);
    StripLineEnd(password.text());
    if (password.text().empty())
        FailServiceCommand(0, L"No password for " + account + L" on standard input");
}

bool GrantServiceLogonRight(const ServiceAccount& account) {
    if (!account.needsLogonRight) return false;
    std::vector<BYTE> sid = LookUpSid(account.given);
    LSA_OBJECT_ATTRIBUTES attributes{};
    LsaPolicy policy;
    NTSTATUS status = ::LsaOpenPolicy(nullptr, &attributes,
                                      POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, policy.put());
    if (status != 0)
        FailServiceCommand(::LsaNtStatusToWinError(status), L"Can't open the local security policy");

    std::wstring right = L"SeServiceLogonRight";
    LsaRights rights;
    ULONG count = 0;
    status = ::LsaEnumerateAccountRights(policy.get(), sid.data(), rights.put(), &count);
    if (status != 0 && status != NoRightsStatus)
        FailServiceCommand(::LsaNtStatusToWinError(status),
                           L"Can't read the rights of the account " + account.given);
    for (ULONG i = 0; status == 0 && i < count; ++i) {
        const LSA_UNICODE_STRING& held = rights.get()[i];
        if (std::wstring_view(held.Buffer, held.Length / sizeof(wchar_t)) == right) return false;
    }
    LSA_UNICODE_STRING add{static_cast<USHORT>(right.size() * sizeof(wchar_t)),
                           static_cast<USHORT>(right.size() * sizeof(wchar_t)), right.data()};
    status = ::LsaAddAccountRights(policy.get(), sid.data(), &add, 1);
    if (status != 0)
        FailServiceCommand(::LsaNtStatusToWinError(status),
                           L"Can't grant the account " + account.given +
                               L" the right to log on as a service");
    return true;
}

}  // namespace tendro

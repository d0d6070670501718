// The account of an installed service: its name for the service manager, its SID for the
// Parameters key's DACL, its password (read from standard input, never from the command
// line) and the right to log on as a service.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tendro {

// A failed step of --install or --uninstall: the system's code (0: none) and what failed.
struct ServiceCommandError {
    DWORD code = 0;
    std::wstring text;
};
[[noreturn]] void FailServiceCommand(DWORD code, std::wstring text);

struct ServiceAccount {
    std::wstring given;        // as typed after --account= (empty: LocalSystem)
    std::wstring name;         // for the service manager (empty: LocalSystem)
    std::wstring sid;          // SDDL form for the read ACE: "LS", "NS" or "S-1-..." (empty: none)
    bool needsPassword = false;
    bool needsLogonRight = false;  // LocalSystem and the two built-in service accounts have it
};

// Classifies and looks up the account; NT AUTHORITY\LocalService and NetworkService (also as
// "LocalService", "NetworkService", without regard to case) and a managed account ending in
// '$' take no password. Raises ServiceCommandError when the account does not resolve.
ServiceAccount ResolveServiceAccount(const std::wstring& given);

// A password that overwrites its characters with zeros when it goes; its storage is reserved
// once so that no copy is left behind in freed memory.
class Password {
public:
    Password();
    ~Password();
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;

    const wchar_t* get() const { return text_.c_str(); }
    std::wstring& text() { return text_; }

private:
    std::wstring text_;
};

// Reads the password of `account` from standard input: at a console a prompt without echo,
// from a pipe or file one line (UTF-8, the CR LF or LF stripped). Raises ServiceCommandError
// when there is none.
void ReadPassword(const std::wstring& account, Password& password);

// Grants SeServiceLogonRight to the account when it lacks it; true when it was granted now.
// Raises ServiceCommandError when the rights cannot be read or changed.
bool GrantServiceLogonRight(const ServiceAccount& account);

}  // namespace tendro

// The account of an installed service: its name for the service manager, its SID for the
// Parameters key's DACL, its password (read from standard input, never from the command
// line) and the right to log on as a service.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace tendro {

// A failed step of --install or --uninstall: the system's code (0: none) and what failed.
struct ServiceCommandError {
    DWORD code = 0;
    std::wstring text;
    std::wstring after;  // said after the system's text: what the undo could not put back
};
[[noreturn]] void FailServiceCommand(DWORD code, std::wstring text);

struct ServiceAccount {
    std::wstring given;        // as typed after --account= (empty: LocalSystem)
    std::wstring name;         // for the service manager (empty: LocalSystem)
    std::wstring sid;          // SDDL form for the read ACE: "LS", "NS" or "S-1-..." (empty: none)
    bool needsPassword = false;
    bool managed = false;          // a managed service account (NAME$): its password is none
    bool needsLogonRight = false;  // LocalSystem and the two built-in service accounts have it
};

// The account of an installed service from its configured start name (".\user",
// "NT AUTHORITY\LocalService", "LocalSystem", ...): kept as it is, so it takes no password
// and no right is granted.
ServiceAccount AccountOfInstalledService(const std::wstring& startName);
// Whether the account of that start name logs on with a password of its own.
bool AccountTakesPassword(const std::wstring& startName);

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
// from a pipe or file one line (see DecodePasswordBytes; the CR LF or LF stripped). Raises
// ServiceCommandError when there is none, or when the line is not valid text.
void ReadPassword(const std::wstring& account, Password& password);

// The bytes of a piped password as text in `text` (a Password's, whose room it keeps to):
// UTF-8, a byte-order mark dropped; UTF-16 LE or BE when a byte-order mark begins it. Null on
// success, else what is wrong with them ("holds a NUL character", ...), `text` then empty.
const wchar_t* DecodePasswordBytes(std::string_view bytes, std::wstring& text);

// Grants SeServiceLogonRight to the account when it lacks it; true when it was granted now.
// Raises ServiceCommandError when the rights cannot be read or changed.
bool GrantServiceLogonRight(const ServiceAccount& account);

}  // namespace tendro

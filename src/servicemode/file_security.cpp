#include "servicemode/file_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "common/handle.h"
#include "servicemode/account.h"

namespace tendro {

namespace {

constexpr const wchar_t* SystemSid = L"S-1-5-18";
constexpr const wchar_t* AdministratorsSid = L"S-1-5-32-544";
constexpr const wchar_t* TrustedInstallerSid =
    L"S-1-5-80-956008885-3572952549-2243434932-2563963394-2164473548";
constexpr const wchar_t* EveryoneSid = L"S-1-1-0";
constexpr const wchar_t* CreatorOwnerSid = L"S-1-3-0";  // stands for the owner in inherited ACEs
constexpr const wchar_t* OwnerRightsSid = L"S-1-3-4";   // the owner's rights themselves

// The rights that let an account take over an object of each kind.
constexpr DWORD TakeOver = DELETE | WRITE_DAC | WRITE_OWNER;
DWORD RightsThatCount(PathSecurity::Kind kind) {
    switch (kind) {
        case PathSecurity::Program: return TakeOver | FILE_WRITE_DATA | FILE_APPEND_DATA;
        case PathSecurity::ProgramFolder:
            return TakeOver | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;
        case PathSecurity::FolderAbove: break;
    }
    // Adding a folder above (which every user may do at C:\) replaces nothing.
    return TakeOver | FILE_DELETE_CHILD;
}

std::wstring SidString(PSID sid) {
    LocalMemory text;
    if (!sid || !::ConvertSidToStringSidW(sid, reinterpret_cast<wchar_t**>(text.put()))) return {};
    return static_cast<const wchar_t*>(text.get());
}

std::wstring TokenUserSid() {
    Handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return {};
    return SidString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

}  // namespace

SidSet TrustedAccounts() {
    SidSet trusted{SystemSid, AdministratorsSid, TrustedInstallerSid};
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    BOOL member = FALSE;
    if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
        ::CheckTokenMembership(nullptr, administrators, &member) && member) {
        std::wstring own = TokenUserSid();
        if (!own.empty()) trusted.insert(own);
    }
    return trusted;
}

std::wstring OwnAccountSid() {
    std::wstring own = TokenUserSid();
    return own == SystemSid ? std::wstring() : own;
}

std::vector<PathThreat> FindPathThreats(const std::vector<PathSecurity>& chain,
                                        const SidSet& trusted) {
    std::vector<PathThreat> threats;
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    for (const PathSecurity& item : chain) {
        LocalMemory security;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(item.sddl.c_str(), SDDL_REVISION_1,
                                                                     security.put(), nullptr)) {
            threats.push_back({item.path, EveryoneSid, false});  // unreadable: trust nothing
            continue;
        }
        PSID ownerSid = nullptr;
        BOOL defaulted = FALSE, present = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorOwner(security.get(), &ownerSid, &defaulted);
        ::GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted);
        const std::wstring owner = SidString(ownerSid);
        const bool ownerTrusted = trusted.count(owner) > 0;
        if (!owner.empty() && !ownerTrusted) threats.push_back({item.path, owner, true});
        if (!present || !dacl) {  // no DACL: everyone may do everything
            threats.push_back({item.path, EveryoneSid, false});
            continue;
        }
        const DWORD counted = RightsThatCount(item.kind);
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACE_HEADER* header = nullptr;
            if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
                header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
                continue;
            if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what is made inside only
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            DWORD mask = ace->Mask;
            ::MapGenericMask(&mask, &mapping);
            if ((mask & counted) == 0) continue;
            std::wstring sid = SidString(&ace->SidStart);
            if (sid == CreatorOwnerSid) continue;
            if (sid == OwnerRightsSid) {
                if (ownerTrusted) continue;
                sid = owner;
            }
            if (trusted.count(sid) == 0) threats.push_back({item.path, sid, false});
        }
    }
    return threats;
}

std::vector<PathSecurity> ReadPathChain(const std::wstring& programPath) {
    std::vector<PathSecurity> chain;
    std::wstring path = programPath;
    PathSecurity::Kind kind = PathSecurity::Program;
    while (!path.empty()) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        PSID owner = nullptr;
        PACL dacl = nullptr;
        DWORD error = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              &owner, nullptr, &dacl, nullptr, &raw);
        LocalMemory security(raw);
        LocalMemory text;
        if (error == ERROR_SUCCESS &&
            !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                security.get(), SDDL_REVISION_1,
                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                reinterpret_cast<wchar_t**>(text.put()), nullptr))
            error = ::GetLastError();
        if (error != ERROR_SUCCESS) FailServiceCommand(error, L"Can't read the security of " + path);
        chain.push_back({path, static_cast<const wchar_t*>(text.get()), kind});
        kind = kind == PathSecurity::Program ? PathSecurity::ProgramFolder : PathSecurity::FolderAbove;
        // Up to the root: "C:\" or "\\server\share".
        size_t slash = path.find_last_of(L'\\');
        if (slash == std::wstring::npos || path.size() <= 3) break;
        std::wstring parent = path.substr(0, slash);
        if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
        if (parent.starts_with(L"\\\\") && std::count(parent.begin(), parent.end(), L'\\') < 4) break;
        if (parent.empty() || parent == path) break;
        path = parent;
    }
    return chain;
}

std::wstring AccountName(const std::wstring& sid) {
    LocalMemory raw;
    if (!::ConvertStringSidToSidW(sid.c_str(), raw.put())) return sid;
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use{};
    if (!::LookupAccountSidW(nullptr, raw.get(), name, &nameSize, domain, &domainSize, &use))
        return sid;
    return domainSize > 0 && domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

std::wstring ProgramPathRefusal(const std::vector<PathThreat>& threats) {
    if (threats.empty()) return {};
    const PathThreat& first = threats.front();
    return L"Not installed: " + AccountName(first.sid) +
           (first.owner ? L" owns " : L" may change or replace ") + first.path +
           L", so it could run another program as the service; put tendro.exe in a folder that "
           L"only administrators can change, such as %ProgramFiles%\\Tendro";
}

std::wstring LogFolderSddl(const std::wstring& accountSid) {
    std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (!accountSid.empty()) sddl += L"(A;OICI;0x1301bf;;;" + accountSid + L")";  // modify
    return sddl;
}

DWORD CreateLogFolder(const std::wstring& folder, const std::wstring& accountSid, bool& created) {
    created = false;
    if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return 0;
    // Owned by Administrators when the creator may give it them (an elevated install).
    for (const std::wstring& owner : {std::wstring(L"O:BA"), std::wstring()}) {
        LocalMemory security;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                (owner + LogFolderSddl(accountSid)).c_str(), SDDL_REVISION_1, security.put(),
                nullptr))
            return ::GetLastError();
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.get(), FALSE};
        if (::CreateDirectoryW(folder.c_str(), &attributes)) {
            created = true;
            return 0;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS) return 0;
        if (error != ERROR_INVALID_OWNER) return error;
    }
    return ERROR_INVALID_OWNER;
}

std::wstring LogFolderRefusal(const std::wstring& folder, DWORD attributes,
                              const std::wstring& ownerSid, const SidSet& trusted) {
    std::wstring why;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = L"it is a reparse point (a junction or a link that sends the files elsewhere)";
    else if (trusted.count(ownerSid) == 0)
        why = L"it is owned by " + AccountName(ownerSid) + L", not by SYSTEM or Administrators";
    if (why.empty()) return {};
    return L"Won't log into folder " + folder + L": " + why +
           L"; remove it, and tendro.exe --install makes it anew";
}

std::wstring CheckLogFolder(const std::wstring& folder) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};
    PSECURITY_DESCRIPTOR raw = nullptr;
    PSID owner = nullptr;
    DWORD error = ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &raw);
    LocalMemory security(raw);
    return LogFolderRefusal(folder, attributes, error == ERROR_SUCCESS ? SidString(owner) : L"",
                            TrustedAccounts());
}

}  // namespace tendro

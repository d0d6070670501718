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
constexpr DWORD ModifyRights = 0x1301bf;  // what the service's account may do in its log folder

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

// "S-1-5-20" for "NS" or "S-1-5-20"; empty for a SID that is none.
std::wstring SidForm(const std::wstring& sid) {
    LocalMemory raw;
    if (sid.empty() || !::ConvertStringSidToSidW(sid.c_str(), raw.put())) return {};
    return SidString(raw.get());
}

// Groups that every user, or any user, is in: no entry for one of them is a service's account.
bool BroadGroup(const std::wstring& sid) {
    static const SidSet groups{EveryoneSid, L"S-1-5-11", L"S-1-5-4", L"S-1-5-32-545",
                               L"S-1-5-32-546", L"S-1-5-2", L"S-1-5-7", L"S-1-5-32-547"};
    return groups.count(sid) > 0 || (sid.starts_with(L"S-1-5-21-") &&
                                     (sid.ends_with(L"-513") || sid.ends_with(L"-514")));
}

// The accounts that installs gave a log folder: non-inherited entries of at most modify rights
// for one account each, with their rights.
std::vector<std::pair<std::wstring, DWORD>> InstalledAccountEntries(PACL dacl) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERITED_ACE)) continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        const std::wstring sid = SidString(&ace->SidStart);
        if ((ace->Mask & ~ModifyRights) == 0 && !sid.empty() && !BroadGroup(sid) &&
            sid != CreatorOwnerSid && sid != OwnerRightsSid)
            entries.emplace_back(sid, ace->Mask);
    }
    return entries;
}

// A security descriptor from SDDL with its owner and DACL; false when the text is none.
bool ParseSecurity(const std::wstring& sddl, LocalMemory& security, PSID& owner, PACL& dacl,
                   BOOL& present) {
    BOOL defaulted = FALSE;
    owner = nullptr;
    dacl = nullptr;
    present = FALSE;
    if (sddl.empty() || !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            sddl.c_str(), SDDL_REVISION_1, security.put(), nullptr))
        return false;
    ::GetSecurityDescriptorOwner(security.get(), &owner, &defaulted);
    ::GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted);
    return true;
}

// The owner and DACL of a file or folder as SDDL; 0 or the error.
DWORD ReadSecurity(const std::wstring& path, std::wstring& sddl) {
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
            security.get(), SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            reinterpret_cast<wchar_t**>(text.put()), nullptr))
        error = ::GetLastError();
    if (error == ERROR_SUCCESS) sddl = static_cast<const wchar_t*>(text.get());
    return error;
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
        if (item.reparsePoint) threats.push_back({item.path, L"", false, true});
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
        std::wstring sddl;
        if (DWORD error = ReadSecurity(path, sddl))
            FailServiceCommand(error, L"Can't read the security of " + path);
        // The attributes of the link itself: its target's DACL tells nothing of who may
        // point it elsewhere. A drive's root is where its volume is mounted, by administrators
        // (Wine shows a root that is a Unix link as a reparse point).
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            FailServiceCommand(::GetLastError(), L"Can't read the attributes of " + path);
        const bool root = path.size() == 3 && path[1] == L':';
        chain.push_back({path, sddl, kind, !root && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)});
        kind = kind == PathSecurity::Program ? PathSecurity::ProgramFolder : PathSecurity::FolderAbove;
        // Up to the root: "C:\".
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

std::wstring NetworkPathRefusal(const std::wstring& programPath, UINT driveType) {
    const bool local = driveType != DRIVE_REMOTE &&
                       (!programPath.starts_with(L"\\\\") ||
                        (programPath.starts_with(L"\\\\?\\") && programPath.size() > 6 &&
                         programPath[5] == L':'));
    if (local) return {};
    return L"Not installed: " + programPath +
           L" is on a network path, where the server's administrators and the share's "
           L"permissions decide who may replace it; copy tendro.exe to a local folder that only "
           L"administrators can change, such as %ProgramFiles%\\Tendro";
}

UINT DriveTypeOf(const std::wstring& path) {
    std::wstring local = path.starts_with(L"\\\\?\\") ? path.substr(4) : path;
    if (local.size() < 3 || local[1] != L':' || local[2] != L'\\') return DRIVE_REMOTE;
    return ::GetDriveTypeW(local.substr(0, 3).c_str());
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
    return L"Not installed: " +
           (first.reparsePoint ? first.path + L" is a junction or a link (a reparse point) that "
                                              L"may be pointed elsewhere"
                               : AccountName(first.sid) +
                                     (first.owner ? L" owns " : L" may change or replace ") +
                                     first.path) +
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

std::wstring ProtectedLogFolderDacl(const std::wstring& current, const std::wstring& accountSid) {
    LocalMemory security;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    if (!ParseSecurity(current, security, owner, dacl, present)) return {};
    const std::wstring account = SidForm(accountSid);
    std::wstring sddl = LogFolderSddl(account);
    for (const auto& [sid, mask] : InstalledAccountEntries(present ? dacl : nullptr)) {
        if (sid == account || sid == SystemSid || sid == AdministratorsSid) continue;
        wchar_t rights[16];
        swprintf(rights, 16, L"0x%lx", static_cast<unsigned long>(mask));
        sddl += L"(A;OICI;" + std::wstring(rights) + L";;;" + sid + L")";
    }
    return sddl;
}

DWORD ProtectLogFolder(const std::wstring& folder, const std::wstring& accountSid) {
    std::wstring current;
    if (DWORD error = ReadSecurity(folder, current)) return error;
    LocalMemory security;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    if (!ParseSecurity(ProtectedLogFolderDacl(current, accountSid), security, owner, dacl, present))
        return ::GetLastError();
    return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr);
}

bool MayMakeLogFolder() {
    return TrustedAccounts().count(TokenUserSid()) > 0;
}

std::wstring LogFolderRefusal(const std::wstring& folder, DWORD attributes,
                              const std::wstring& security, const SidSet& trusted, bool withDacl) {
    std::wstring why;
    const std::wstring anew = L"; remove it, and tendro.exe --install makes it anew";
    LocalMemory parsed;
    PSID ownerSid = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        why = L"it is missing, and only SYSTEM or an administrator may make it; tendro.exe "
              L"--install makes it";
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        why = L"it is a reparse point (a junction or a link that sends the files elsewhere)" + anew;
    } else if (!ParseSecurity(security, parsed, ownerSid, dacl, present) || !ownerSid) {
        why = L"its owner cannot be read" + anew;
    } else if (const std::wstring owner = SidString(ownerSid); trusted.count(owner) == 0) {
        why = L"it is owned by " + AccountName(owner) + L", not by SYSTEM or Administrators" + anew;
    } else if (withDacl) {
        SidSet allowed = trusted;
        for (const auto& entry : InstalledAccountEntries(present ? dacl : nullptr))
            allowed.insert(entry.first);
        const std::vector<PathThreat> threats =
            FindPathThreats({{folder, security, PathSecurity::ProgramFolder}}, allowed);
        if (!threats.empty())
            why = AccountName(threats.front().sid) +
                  L" may add or delete files in it; tendro.exe --install gives it a DACL that "
                  L"lets only SYSTEM, Administrators and the services' accounts do that";
    }
    return why.empty() ? why : L"Won't log into folder " + folder + L": " + why;
}

std::wstring CheckLogFolder(const std::wstring& folder, const std::wstring& accountSid,
                            bool dacl) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    std::wstring security;
    if (attributes != INVALID_FILE_ATTRIBUTES) ReadSecurity(folder, security);
    SidSet trusted = TrustedAccounts();
    if (const std::wstring account = SidForm(accountSid); !account.empty()) trusted.insert(account);
    return LogFolderRefusal(folder, attributes, security, trusted, dacl);
}

std::wstring LogFileRefusal(const std::wstring& path, DWORD attributes,
                            const std::wstring& security, const SidSet& trusted) {
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};
    std::wstring why;
    LocalMemory parsed;
    PSID ownerSid = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = L"it is a reparse point (a link that sends the lines elsewhere)";
    else if (!ParseSecurity(security, parsed, ownerSid, dacl, present) || !ownerSid)
        why = L"its owner cannot be read";
    else if (const std::wstring owner = SidString(ownerSid); trusted.count(owner) == 0)
        why = L"it is owned by " + AccountName(owner) +
              L", not by SYSTEM, Administrators or the service's account";
    return why.empty() ? why
                       : L"Won't log into file " + path + L": " + why +
                             L"; remove it, and the service makes it anew";
}

std::wstring CheckLogFile(const std::wstring& path, const std::wstring& accountSid) {
    Handle file(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr));
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    std::wstring security;
    BY_HANDLE_FILE_INFORMATION info{};
    if (file && ::GetFileInformationByHandle(file.get(), &info)) {
        attributes = info.dwFileAttributes;
        PSECURITY_DESCRIPTOR raw = nullptr;
        PSID owner = nullptr;
        LocalMemory text;
        if (::GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &raw) == ERROR_SUCCESS) {
            LocalMemory descriptor(raw);
            if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                    raw, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION,
                    reinterpret_cast<wchar_t**>(text.put()), nullptr))
                security = static_cast<const wchar_t*>(text.get());
        }
    } else if (const DWORD error = ::GetLastError();
               file || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)) {
        attributes = 0;  // there, but not to be read: its owner cannot be read
    }
    SidSet trusted = TrustedAccounts();
    if (const std::wstring account = SidForm(accountSid); !account.empty()) trusted.insert(account);
    return LogFileRefusal(path, attributes, security, trusted);
}

}  // namespace tendro

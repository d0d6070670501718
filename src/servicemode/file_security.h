// Who can take over a file or a folder that a Tendro service trusts: the program's path,
// checked before an install registers anything, and the default log folder
// (%ProgramData%\Tendro), made by the install with a protected DACL and checked by the service
// before it logs into it.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace tendro {

// SIDs in SDDL's string form ("S-1-5-18", never an alias).
using SidSet = std::set<std::wstring>;

// SYSTEM, Administrators and TrustedInstaller; with the account that runs this process when
// it is an administrator (an elevated install; a service's own account).
SidSet TrustedAccounts();

// One file or folder of the program's path, its security as SDDL (owner and DACL).
struct PathSecurity {
    enum Kind {
        Program,        // tendro.exe: written, deleted, its DACL or owner changed
        ProgramFolder,  // its folder: files added or deleted in it (another program, a DLL)
        FolderAbove,    // each folder above: it or a child deleted (renamed away), its DACL changed
    };
    std::wstring path;
    std::wstring sddl;
    Kind kind = Program;
};

// Who, other than a trusted account, may take over the path: an ACE of the DACL that grants
// any of the rights of the object's kind, a null DACL (Everyone), or an owner (who may always
// change the DACL).
struct PathThreat {
    std::wstring path;
    std::wstring sid;  // string form
    bool owner = false;
};
std::vector<PathThreat> FindPathThreats(const std::vector<PathSecurity>& chain,
                                        const SidSet& trusted);

// The program file and every folder above it, read from the file system. Raises
// ServiceCommandError when a security descriptor cannot be read.
std::vector<PathSecurity> ReadPathChain(const std::wstring& programPath);

// The refusal of an install from `programPath` when anyone but a trusted account can take it
// over: path, account and the advice; empty when there is none.
std::wstring ProgramPathRefusal(const std::vector<PathThreat>& threats);

// The account's name ("DOMAIN\user", "Everyone"), or the SID when it has none.
std::wstring AccountName(const std::wstring& sid);

// The default log folder's security: SYSTEM and Administrators full control, the service's
// account (SDDL SID or alias; empty: LocalSystem, no ACE of its own) modify, nothing inherited.
std::wstring LogFolderSddl(const std::wstring& accountSid);
// Creates `folder` with that security when it is missing (`created` then true); 0, or the
// error of the creation.
DWORD CreateLogFolder(const std::wstring& folder, const std::wstring& accountSid, bool& created);
// The SID of the account that runs this process; empty for SYSTEM.
std::wstring OwnAccountSid();

// Why a service must not log into the default folder: a reparse point (a junction or a link
// sends the files elsewhere), or an owner that is not trusted. Empty when it may.
std::wstring LogFolderRefusal(const std::wstring& folder, DWORD attributes,
                              const std::wstring& ownerSid, const SidSet& trusted);
// The same for the folder as the file system has it (nothing said of a missing folder).
std::wstring CheckLogFolder(const std::wstring& folder);

}  // namespace tendro

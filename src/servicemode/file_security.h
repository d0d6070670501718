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
    bool reparsePoint = false;  // a junction or a link: whoever owns it may point it elsewhere
};

// Who, other than a trusted account, may take over the path: an ACE of the DACL that grants
// any of the rights of the object's kind, a null DACL (Everyone), an owner (who may always
// change the DACL), or a reparse point (sid empty).
struct PathThreat {
    std::wstring path;
    std::wstring sid;  // string form
    bool owner = false;
    bool reparsePoint = false;
};
std::vector<PathThreat> FindPathThreats(const std::vector<PathSecurity>& chain,
                                        const SidSet& trusted);

// The program file and every folder above it, read from the file system (a reparse point's
// own attributes, never its target's). Raises ServiceCommandError when a security descriptor
// cannot be read.
std::vector<PathSecurity> ReadPathChain(const std::wstring& programPath);

// The refusal of an install from a network path: a UNC path, or a drive of `driveType`
// DRIVE_REMOTE (the server's administrators and the share's permissions decide who may replace
// the program). Empty for a local path.
std::wstring NetworkPathRefusal(const std::wstring& programPath, UINT driveType);
// GetDriveTypeW of a path's drive ("C:\", "\\?\C:\"); DRIVE_REMOTE for any other path.
UINT DriveTypeOf(const std::wstring& path);

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
// The DACL (SDDL) that an install gives a folder that is there: SYSTEM and Administrators full
// control, the service accounts that earlier installs gave it (see LogFolderRefusal) and
// `accountSid` modify, nothing else and nothing inherited. Empty when `current` cannot be read.
std::wstring ProtectedLogFolderDacl(const std::wstring& current, const std::wstring& accountSid);
// Gives `folder` that DACL; 0 or the error.
DWORD ProtectLogFolder(const std::wstring& folder, const std::wstring& accountSid);
// The SID of the account that runs this process; empty for SYSTEM.
std::wstring OwnAccountSid();
// Whether this process runs as SYSTEM or as an administrator: only such may make the default
// log folder (anyone else would own it, and be refused).
bool MayMakeLogFolder();

// Why a service must not log into the default folder: missing (`attributes`
// INVALID_FILE_ATTRIBUTES), a reparse point (a junction or a link sends the files elsewhere),
// an owner that is not trusted or cannot be read (`security`, owner and DACL as SDDL, empty),
// or a DACL that lets anyone but the trusted accounts add or delete files in it. A non-inherited
// entry of at most modify rights for one account (not a group such as Users) is a service
// account that an install gave the folder, and trusted. The DACL only when `dacl`. Empty when
// it may.
std::wstring LogFolderRefusal(const std::wstring& folder, DWORD attributes,
                              const std::wstring& security, const SidSet& trusted,
                              bool dacl = true);
// The same for the folder as the file system has it, with this process's trusted accounts and
// `accountSid` (the service's account; empty for SYSTEM).
std::wstring CheckLogFolder(const std::wstring& folder, const std::wstring& accountSid,
                            bool dacl = true);

// Why a service must not log into the file `path` in the default folder, one that may be
// older than the folder's protection: a reparse point, or an owner (`security` as SDDL) that
// is not trusted or cannot be read; the owner may give anyone its rights. Empty when it may, or
// when the file is missing (`attributes` INVALID_FILE_ATTRIBUTES: it is made then).
std::wstring LogFileRefusal(const std::wstring& path, DWORD attributes,
                            const std::wstring& security, const SidSet& trusted);
// The same for the file as the file system has it (the reparse point itself, never its
// target), with this process's trusted accounts and `accountSid`.
std::wstring CheckLogFile(const std::wstring& path, const std::wstring& accountSid);

}  // namespace tendro

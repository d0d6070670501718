// Registry reading and writing: the value readers of the host product's records and the
// processor descriptions, and what the service install stores (string lists, keys with their
// own security). Every key lives in a RegKey.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/handle.h"

namespace tendro {

// A string value into `out`. A missing value that is not mandatory gives defaultText (empty
// for nullptr) and false; any other failure of a mandatory or present value is raised.
bool ReadRegString(HKEY key, const wchar_t* name, std::wstring& out, bool mandatory,
                   const wchar_t* defaultText);
// A DWORD value; 0 and false when it is missing, raised on any other failure.
bool ReadRegDword(HKEY key, const wchar_t* name, uint32_t& out);
// A time as seconds since 1970: a REG_SZ "%m-%e-%Y %H:%M:%S" in local time or a REG_QWORD.
// A missing value or an unreadable text leaves `out` as it is.
void ReadRegTime(HKEY key, const wchar_t* name, int64_t& out);

// A REG_MULTI_SZ, one string per entry (an entry may not be empty: the format ends at one).
LSTATUS WriteRegMultiString(HKEY key, const wchar_t* name, const std::vector<std::wstring>& items);
// A REG_MULTI_SZ read back; ERROR_INVALID_DATATYPE for a value of another type.
LSTATUS ReadRegMultiString(HKEY key, const wchar_t* name, std::vector<std::wstring>& items);

// Opens `path` under `parent`, creating it with the security descriptor `security` (nullptr:
// inherited) when it is missing; `created` says which.
LSTATUS CreateRegKey(HKEY parent, const std::wstring& path, PSECURITY_DESCRIPTOR security,
                     REGSAM access, RegKey& key, bool* created = nullptr);
// Replaces the key's DACL (and whether it is protected) with the one of `security`.
LSTATUS SetRegKeyDacl(HKEY key, PSECURITY_DESCRIPTOR security);
// The key's DACL as a self-relative security descriptor.
LSTATUS ReadRegKeyDacl(HKEY key, std::vector<BYTE>& security);
// Deletes `path` under `parent` with all its subkeys and values; a missing key is no failure.
LSTATUS DeleteRegTree(HKEY parent, const std::wstring& path);

}  // namespace tendro

// What a Tendro service keeps in the registry: its options, one argument per string, in the
// value "Options" of HKLM\SYSTEM\CurrentControlSet\Services\NAME\Parameters; and the test of
// whether a service is one of Tendro's.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "reload/reload.h"

namespace tendro {

inline constexpr const wchar_t* StoredOptionsValue = L"Options";

// "SYSTEM\CurrentControlSet\Services\NAME\Parameters", under HKEY_LOCAL_MACHINE.
std::wstring ParametersKeyPath(const std::wstring& serviceName);

// What the latest reload came to, in Parameters\Reload: a volatile key that the install makes
// before it sends the control, which only SYSTEM, Administrators and the service's account
// change. "Sequence" (REG_DWORD) goes one up at each reload, after "Outcome" (REG_MULTI_SZ:
// "applied" or "refused", then the outcome's lines) is written.
inline constexpr const wchar_t* ReloadSequenceValue = L"Sequence";
inline constexpr const wchar_t* ReloadOutcomeValue = L"Outcome";
std::wstring ReloadKeyPath(const std::wstring& serviceName);
// Written by the service; nothing when the key cannot be opened.
void RecordReloadOutcome(const std::wstring& serviceName, const ReloadOutcome& outcome);

// The arguments stored for the service NAME, in order; raised (std::system_error, "system"
// category) when the key or the value cannot be read.
std::vector<std::wstring> ReadStoredOptions(const std::wstring& serviceName);

// The service's command line: "tendro.exe" and the stored options, in copies that are
// overwritten with zeros when they go (the -l values hold passwords); raised as
// ReadStoredOptions.
void ReadServiceArguments(const std::wstring& serviceName, ArgumentCopies& arguments);

// The ImagePath of a Tendro service: "FULL PATH" --service=NAME (that argument quoted too
// when NAME holds a blank).
std::wstring TendroImagePath(const std::wstring& exePath, const std::wstring& serviceName);

// True when `imagePath` runs a tendro.exe (in any folder) with --service=NAME among its
// arguments (file and service names compared without regard to case).
bool IsTendroService(const std::wstring& imagePath, const std::wstring& serviceName);

}  // namespace tendro

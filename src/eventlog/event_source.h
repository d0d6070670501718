// The source "Tendro" of the Application log: registered by --install, removed by the
// --uninstall of the last Tendro service.
#pragma once

#include <windows.h>

#include <string>

namespace tendro {

// "SYSTEM\CurrentControlSet\Services\EventLog\Application\Tendro", under HKEY_LOCAL_MACHINE.
std::wstring EventSourceKeyPath();

// Writes the source's key: EventMessageFile (REG_EXPAND_SZ) `messageFile`, the tendro.exe
// that holds the message table, and TypesSupported 7. ERROR_SUCCESS or the Windows error.
LSTATUS RegisterTendroEventSource(const std::wstring& messageFile);

// Removes the source's key; a missing one is no failure.
LSTATUS RemoveTendroEventSource();

// Whether a Tendro service other than `except` is installed (raised when the service manager
// cannot be asked).
bool OtherTendroServiceInstalled(const std::wstring& except);

}  // namespace tendro

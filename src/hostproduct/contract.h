// What the program relies on from the host product, Corvanta Pro: registry places, value
// names, arguments of its service executable and its XML namespace. Test programs that stand
// in for the host product use the same constants.
#pragma once

namespace tendro::host {

// Installation record: HKLM\SOFTWARE\Corvanta Technologies\<registry name>.
inline constexpr const wchar_t* InstallKeyPrefix = L"SOFTWARE\\Corvanta Technologies\\";
inline constexpr const wchar_t* RegistryName = L"Corvanta Pro";
inline constexpr const wchar_t* RegistryNameOem = L"Corvanta Pro OEM";

inline constexpr const wchar_t* ValueInitiallyConfigured = L"InitiallyConfigured";
inline constexpr const wchar_t* ValueLastConfigured = L"LastConfigured";
inline constexpr const wchar_t* ValueInstallationDir = L"InstallationDir";
inline constexpr const wchar_t* ValueServiceExe = L"ServiceExe";
inline constexpr const wchar_t* ValueProductName = L"ProductName";
inline constexpr const wchar_t* ValueProductShortName = L"ProductShortName";
inline constexpr const wchar_t* ValueHelpFile = L"HelpFile";
inline constexpr const wchar_t* ValueTurnOffSession0Switch = L"TurnOffSession0Switch";
inline constexpr const wchar_t* ValueTurnOffInSessionCommands = L"TurnOffInSessionCommands";
inline constexpr const wchar_t* ValueTurnOffOnboardingCues = L"TurnOffOnboardingCues";

inline constexpr const wchar_t* DefaultServiceExe = L"Corvanta.exe";
inline constexpr const wchar_t* DefaultProductName = L"Corvanta Pro";
inline constexpr const wchar_t* DefaultProductShortName = L"Corvanta";
inline constexpr const wchar_t* DefaultHelpFile = L"https://www.corvanta.example/tendro/guide";
inline constexpr const wchar_t* SupportUrl = L"https://support.corvanta.example/";

// Arguments of the service executable.
inline constexpr const wchar_t* ListArgument = L"--list";
inline constexpr const wchar_t* ExportArgument = L"--export";

// Run-time record of a service: HKLM\SYSTEM\CurrentControlSet\services\<short name>\RuntimeInfo\ProcessInfo.
inline constexpr const wchar_t* ProcessInfoKeyFormat =
    L"SYSTEM\\CurrentControlSet\\services\\%s\\RuntimeInfo\\ProcessInfo";
inline constexpr const wchar_t* ValueProcessId = L"ProcessID";
inline constexpr const wchar_t* ValueProcessState = L"ProcessState";

// Namespace of the version attribute of a service definition's root element.
inline constexpr const wchar_t* XmlNamespace = L"urn:corvanta:service";

}  // namespace tendro::host

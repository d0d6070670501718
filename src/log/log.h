// The console log: one timestamped line per message on standard output, in UTF-16.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tendro {

// Levels: 0 "Err!" (always printed), 1 "Init" (not in quiet mode), 2 "Info" (verbose only).
constexpr uint32_t LogError = 0;
constexpr uint32_t LogInit = 1;
constexpr uint32_t LogInfo = 2;

// Process-wide verbosity: a message of level L prints when L <= Verbosity.
extern uint32_t Verbosity;

// Fills the level-word table; done once at start-up before anything is logged.
void SetLevelWord(uint32_t level, std::wstring word);

// Writes one line unconditionally: "<word>: <local time>: <text>".
void WriteLog(uint32_t level, const std::wstring& text);
// Formats one argument into the message and logs it when level <= Verbosity.
void WriteLogFormat(uint32_t level, const wchar_t* format, const std::wstring& argument);
void WriteLogFormat(uint32_t level, const wchar_t* format, int32_t argument);
// Verbose-only detail line with one floating-point value, always at level 2.
void WriteLogDetail(const wchar_t* format, double value);

// Where the program's standard output goes: the log lines and every raw text written for
// STD_OUTPUT_HANDLE. STD_OUTPUT_HANDLE unless changed; STD_ERROR_HANDLE, or 0 for nowhere.
void SetStandardOutputTarget(DWORD stdHandle);

// Called with the level and the text of every line WriteLog writes, wherever the lines go;
// an empty function removes the observer.
using LogObserver = std::function<void(uint32_t level, const std::wstring& text)>;
void SetLogObserver(LogObserver observer);

// The system's one-line text for a Windows error code.
std::wstring WindowsErrorText(DWORD code);

// Raw output outside the log (usage text, error lines): UTF-16 text on the given standard
// handle (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE), "\n" written as CR LF. Text for
// STD_OUTPUT_HANDLE goes where SetStandardOutputTarget says.
void WriteConsoleText(DWORD stdHandle, std::wstring_view text);

}  // namespace tendro

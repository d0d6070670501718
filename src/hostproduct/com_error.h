// COM failure codes (HRESULT values) as std::system_error: the "com" error category and the
// handler that turns a failing HRESULT, with its optional IErrorInfo, into an exception.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <system_error>

namespace tendro {

// The "com" category: messages from the system (or urlmon.dll for FACILITY_INTERNET codes),
// equivalent conditions in the system category for Win32 codes. One instance per process.
const std::error_category& com_error_category();

// An exception for `hr` in the com category; an empty text leaves the category's message alone.
std::system_error ComError(HRESULT hr, const std::string& text = {});

// The COM error handler: raises ComError(hr, description) where the description comes from
// `info` with trailing line breaks and full stops removed.
[[noreturn]] void RaiseComError(HRESULT hr, IErrorInfo* info);

using ComErrorHandler = void (*)(HRESULT hr, IErrorInfo* info);
// Makes RaiseComError the process's COM error handler (done once at start-up).
void InstallComErrorHandler();
// Replaces the handler; returns the previous one (null when none was installed).
ComErrorHandler SetComErrorHandler(ComErrorHandler handler);
// Reports a failing HRESULT to the installed handler together with the thread's current error
// information. Raises ComError itself when no handler is installed or the handler returns.
[[noreturn]] void IssueComError(HRESULT hr);

}  // namespace tendro

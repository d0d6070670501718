#include "logfile/log_file.h"

#include <shlobj.h>

#include "common/text.h"
#include "servicemode/file_security.h"

namespace tendro {

namespace {

Handle OpenForAppending(const std::wstring& path, bool ownLink) {
    return Handle(::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | (ownLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                                nullptr));
}

bool Missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

std::unique_ptr<LogFile> LogFile::Open(LogFileSettings settings, DWORD& error) {
    // The rotation renames by path: a relative one is made whole once.
    wchar_t full[MAX_PATH * 4];
    DWORD n = ::GetFullPathNameW(settings.path.c_str(), MAX_PATH * 4, full, nullptr);
    if (n > 0 && n < MAX_PATH * 4) settings.path.assign(full, n);
    std::unique_ptr<LogFile> log(new LogFile(std::move(settings)));
    if (!log->Reopen()) {
        error = ::GetLastError();
        return nullptr;
    }
    error = 0;
    return log;
}

bool LogFile::Reopen() {
    file_ = OpenForAppending(settings_.path, settings_.ownLink);
    LARGE_INTEGER size{};
    if (!file_ || !::GetFileSizeEx(file_.get(), &size)) {
        DWORD error = ::GetLastError();
        file_.reset();
        ::SetLastError(error);
        return false;
    }
    size_ = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void LogFile::LogNotes(const std::vector<std::wstring>& notes) {
    for (const std::wstring& note : notes) WriteLog(LogError, note);
}

void LogFile::WriteLine(uint32_t level, const std::wstring& text, const std::wstring& line) {
    (void)level, (void)text;
    std::vector<std::wstring> notes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notes = Append(line);
    }
    LogNotes(notes);
}

void LogFile::WriteText(DWORD stdHandle, std::wstring_view text) {
    if (stdHandle != STD_ERROR_HANDLE) return;  // the usage text is not logged
    std::vector<std::wstring> notes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notes = Append(text);
    }
    LogNotes(notes);
}

std::wstring LogFile::Numbered(uint32_t n) const {
    return n == 0 ? settings_.path : settings_.path + L"." + std::to_wstring(n);
}

std::vector<std::wstring> LogFile::Append(std::wstring_view text) {
    std::wstring crlf;
    crlf.reserve(text.size() + 4);
    for (wchar_t c : text) {
        if (c == L'\n') crlf.push_back(L'\r');
        crlf.push_back(c);
    }
    const std::string bytes = ToNarrow(crlf, CP_UTF8);
    std::vector<std::wstring> notes;

    if (retryCountdown_ > 0) --retryCountdown_;
    if (file_ && size_ > 0 && size_ + bytes.size() > settings_.maxBytes && retryCountdown_ == 0) {
        DWORD error = Rotate();
        if (error == 0) {
            rotationFailing_ = false;
        } else {
            // One line for a run of failed tries; the next try comes some lines later.
            if (!rotationFailing_)
                notes.push_back(L"Can't rotate log file " + settings_.path + L": " +
                                WindowsErrorText(error) + L" Appending to it.");
            rotationFailing_ = true;
            retryCountdown_ = LogRotationRetryLines;
        }
    }
    if (!file_) Reopen();  // a new PATH could not be made before

    DWORD written = 0;
    const bool whole = file_ &&
                       ::WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                   &written, nullptr) &&
                       written == bytes.size();
    size_ += written;
    if (!whole) {
        ++lostLines_;
        return notes;
    }
    if (lostLines_ > 0) {
        notes.push_back(FormatText(L"%llu lines could not be written to log file %s",
                                   static_cast<unsigned long long>(lostLines_),
                                   settings_.path.c_str()));
        lostLines_ = 0;
    }
    return notes;
}

DWORD LogFile::Rotate() {
    // Every step is a rename, undone (newest first) when a later one fails, so that a failed
    // rotation loses no file. The step that a reader most often blocks comes first: PATH (held
    // here, moved with its handle) to a name of its own.
    std::vector<std::pair<std::wstring, std::wstring>> done;  // from, to
    auto move = [&done](const std::wstring& from, const std::wstring& to) -> DWORD {
        if (::MoveFileExW(from.c_str(), to.c_str(), 0)) {
            done.emplace_back(from, to);
            return 0;
        }
        DWORD error = ::GetLastError();
        return Missing(error) ? 0 : error;
    };
    auto undo = [&done](DWORD error) {
        for (auto step = done.rbegin(); step != done.rend(); ++step)
            ::MoveFileExW(step->second.c_str(), step->first.c_str(), 0);
        return error;
    };
    const std::wstring unique = L"-" + std::to_wstring(::GetTickCount64()) + L"-" +
                                std::to_wstring(++dropped_);
    const std::wstring rotating = settings_.path + L".rotating" + unique;
    if (!::MoveFileExW(settings_.path.c_str(), rotating.c_str(), 0)) return ::GetLastError();
    done.emplace_back(settings_.path, rotating);
    // PATH.keep goes: renamed to a name of its own (a reader that holds it open, sharing
    // delete, then does not keep its name taken), deleted once everything else has moved.
    const std::wstring doomed = Numbered(settings_.keep) + L".deleted" + unique;
    if (settings_.keep > 0)
        if (DWORD error = move(Numbered(settings_.keep), doomed)) return undo(error);
    // PATH.i becomes PATH.i+1, then the old PATH becomes PATH.1.
    for (uint32_t i = settings_.keep; i > 1; --i)
        if (DWORD error = move(Numbered(i - 1), Numbered(i))) return undo(error);
    if (settings_.keep == 0) {
        ::DeleteFileW(rotating.c_str());
    } else {
        if (!::MoveFileExW(rotating.c_str(), Numbered(1).c_str(), 0)) return undo(::GetLastError());
        ::DeleteFileW(doomed.c_str());
    }
    Reopen();  // when it fails, the next line tries again
    return 0;
}

std::wstring DefaultLogFilePath(const std::wstring& serviceName) {
    std::wstring folder;
    wchar_t* known = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known)) && known)
        folder = known;
    ::CoTaskMemFree(known);
    if (folder.empty()) {
        wchar_t buffer[MAX_PATH + 1];
        DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH + 1);
        folder = n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring(L"C:\\ProgramData");
    }
    return folder + L"\\Tendro\\" + serviceName + L".log";
}

namespace {

// The default log file of a service: its folder made when missing (changed only by SYSTEM,
// Administrators and the service's account; made only by SYSTEM or an administrator, who
// would not own it otherwise), and refused when another may have made it or may add files;
// the file refused when it is a reparse point or another's.
std::unique_ptr<LogFile> OpenDefaultLogFile(const std::wstring& serviceName,
                                            LogFileSettings settings, std::wstring& refusal) {
    settings.path = DefaultLogFilePath(serviceName);
    const std::wstring folder = settings.path.substr(0, settings.path.rfind(L'\\'));
    const std::wstring own = OwnAccountSid();
    bool created = false;
    DWORD error = MayMakeLogFolder() ? CreateLogFolder(folder, own, created) : 0;
    refusal = error ? std::wstring() : CheckLogFolder(folder, own);
    // A file from before the folder was protected: a user's, or a link that they made.
    if (refusal.empty() && !error) refusal = CheckLogFile(settings.path, own);
    if (!refusal.empty()) return nullptr;
    settings.ownLink = true;
    std::unique_ptr<LogFile> file = error ? nullptr : LogFile::Open(settings, error);
    if (!file) refusal = L"Can't open log file " + settings.path + L": " + WindowsErrorText(error);
    return file;
}

LogFileSettings SettingsOf(const LongOptions& options) {
    LogFileSettings settings;
    settings.maxBytes = static_cast<uint64_t>(options.logSizeMb) << 20;
    settings.keep = static_cast<uint32_t>(options.logKeep);
    return settings;
}

}  // namespace

std::unique_ptr<LogFile> OpenLogFileOf(const LongOptions& options, const std::wstring& serviceName,
                                       std::wstring& refusal) {
    if (options.logFile.empty() && serviceName.empty()) return nullptr;
    LogFileSettings settings = SettingsOf(options);
    if (options.logFile.empty()) return OpenDefaultLogFile(serviceName, settings, refusal);
    settings.path = options.logFile;
    DWORD error = 0;
    std::unique_ptr<LogFile> file = LogFile::Open(settings, error);
    if (!file)
        refusal = L"Invalid value for option --log-file: \"" + settings.path + L"\" (can't open it: " +
                  WindowsErrorText(error) + L")";
    return file;
}

std::unique_ptr<LogFile> OpenStartupFailureLog(const std::wstring& serviceName) {
    std::wstring refusal;
    return OpenDefaultLogFile(serviceName, SettingsOf(LongOptions()), refusal);
}

}  // namespace tendro

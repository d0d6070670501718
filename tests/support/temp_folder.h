// Files for tests: a temporary folder removed with everything in it, and readers that choose
// what they share.
#pragma once

#include <windows.h>

#include <optional>
#include <set>
#include <string>

#include "common/handle.h"

namespace tendro::test {

// A folder of its own under the temporary folder (or at `path`), removed with everything in it.
class TempFolder {
public:
    explicit TempFolder(std::wstring path = {});
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    void Keep() { keep_ = true; }  // leaves the folder for whoever reads it next
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }
    std::set<std::wstring> Names() const;

private:
    std::wstring path_;
    bool keep_ = false;
};

// What a file handle reads from the start of the file to its end.
std::string ReadFromStart(HANDLE file);
// An existing file opened for reading; `share` is what the reader lets others do meanwhile.
Handle OpenForReading(const std::wstring& path, DWORD share);
// The whole file (shared for everything), or nothing when it cannot be opened.
std::optional<std::string> ReadWhole(const std::wstring& path);

}  // namespace tendro::test

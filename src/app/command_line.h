// The command line as shown in the log, with -l passwords masked.
#pragma once

#include <string>
#include <vector>

namespace tendro {

struct SplitArgument {
    std::wstring text;
    std::vector<size_t> source;  // index in the raw line of each character of text
};

// Splits a raw command line the way the runtime builds argv, remembering where each
// character came from. Every text is built in storage reserved once, so that the caller can
// overwrite it with zeros (EraseSplit) without copies left behind.
std::vector<SplitArgument> SplitCommandLine(const std::wstring& raw);
void EraseSplit(std::vector<SplitArgument>& split) noexcept;

// The raw command line with every character that the parse masked in an argument
// (original versus parsed argv) replaced by '*' at its place in the raw line.
std::wstring MaskCommandLine(const std::wstring& raw, const std::vector<std::wstring>& original,
                             const std::vector<std::wstring>& parsed);

// Copies of the arguments that may hold passwords: made with the exact size and overwritten
// with zeros when they go.
class ArgumentCopies {
public:
    ArgumentCopies() = default;
    ArgumentCopies(wchar_t** argv, int argc);
    ~ArgumentCopies();
    ArgumentCopies(const ArgumentCopies&) = delete;
    ArgumentCopies& operator=(const ArgumentCopies&) = delete;

    std::vector<std::wstring>& items() { return items_; }
    const std::vector<std::wstring>& items() const { return items_; }

private:
    std::vector<std::wstring> items_;
};

// Whether the "CLI:" line will be logged, decided from the option letters alone as the parse
// reads them: not with -h (the usage is printed instead), and not with -q unless -v is given.
bool CommandLineIsLogged(int argc, wchar_t** argv);

// In the copy to be shown: every character after the first '=' of each -l value that does not
// have the credential form (judged on `typed`, the arguments before the parse, when it has
// the same length) becomes '*', the whole value when it has no '='.
void MaskMalformedCredentials(std::vector<std::wstring>& shown,
                              const std::vector<std::wstring>& typed);

// The text of the "CLI:" line: GetCommandLineW() masked against the arguments as they were
// before the parse (`original`) and as the parse left them (argv), malformed -l values masked
// too. Every copy made on the way is overwritten with zeros before it is released.
std::wstring LoggedCommandLine(const std::vector<std::wstring>& original, wchar_t** argv,
                               int argc);

}  // namespace tendro

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
// character came from.
std::vector<SplitArgument> SplitCommandLine(const std::wstring& raw);

// The raw command line with every character that the parse masked in an argument
// (original versus parsed argv) replaced by '*' at its place in the raw line.
std::wstring MaskCommandLine(const std::wstring& raw, const std::vector<std::wstring>& original,
                             const std::vector<std::wstring>& parsed);

}  // namespace tendro

#include "app/command_line.h"

namespace tendro {

std::vector<SplitArgument> SplitCommandLine(const std::wstring& raw) {
    std::vector<SplitArgument> arguments;
    size_t i = 0, n = raw.size();
    auto blank = [&](size_t k) { return k < n && (raw[k] == L' ' || raw[k] == L'\t'); };

    // The program name: quoted up to the next quote, else up to the first blank.
    SplitArgument program;
    if (i < n && raw[i] == L'"') {
        for (++i; i < n && raw[i] != L'"'; ++i) {
            program.text.push_back(raw[i]);
            program.source.push_back(i);
        }
        if (i < n) ++i;
    } else {
        for (; i < n && !blank(i); ++i) {
            program.text.push_back(raw[i]);
            program.source.push_back(i);
        }
    }
    arguments.push_back(std::move(program));

    while (true) {
        while (blank(i)) ++i;
        if (i >= n) break;
        SplitArgument argument;
        bool quoted = false;
        while (i < n && (quoted || !blank(i))) {
            size_t first = i;
            while (i < n && raw[i] == L'\\') ++i;
            size_t slashes = i - first;
            if (i < n && raw[i] == L'"') {
                for (size_t k = 0; k < slashes / 2; ++k) {
                    argument.text.push_back(L'\\');
                    argument.source.push_back(first + 2 * k + 1);
                }
                if (slashes % 2 == 1) {
                    argument.text.push_back(L'"');
                    argument.source.push_back(i);
                    ++i;
                } else if (quoted && i + 1 < n && raw[i + 1] == L'"') {
                    argument.text.push_back(L'"');
                    argument.source.push_back(i + 1);
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                for (size_t k = first; k < i; ++k) {
                    argument.text.push_back(L'\\');
                    argument.source.push_back(k);
                }
                if (i < n && (quoted || !blank(i))) {
                    argument.text.push_back(raw[i]);
                    argument.source.push_back(i);
                    ++i;
                }
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::wstring MaskCommandLine(const std::wstring& raw, const std::vector<std::wstring>& original,
                             const std::vector<std::wstring>& parsed) {
    std::vector<SplitArgument> split = SplitCommandLine(raw);
    std::wstring masked = raw;
    bool consistent = split.size() == original.size();
    for (size_t a = 1; a < original.size() && a < parsed.size(); ++a) {
        if (original[a] == parsed[a]) continue;
        if (!consistent || split[a].text != original[a] || parsed[a].size() != original[a].size()) {
            consistent = false;
            break;
        }
        for (size_t k = 0; k < original[a].size(); ++k)
            if (original[a][k] != parsed[a][k]) masked[split[a].source[k]] = L'*';
    }
    if (consistent) return masked;

    // The line could not be matched to the arguments: show the parsed (masked) arguments
    // instead, so that a password never reaches the log.
    std::wstring rebuilt = parsed.empty() ? std::wstring() : parsed[0];
    for (size_t a = 1; a < parsed.size(); ++a) {
        bool quote = parsed[a].empty() || parsed[a].find_first_of(L" \t\"") != std::wstring::npos;
        rebuilt += quote ? L" \"" + parsed[a] + L"\"" : L" " + parsed[a];
    }
    return rebuilt;
}

}  // namespace tendro

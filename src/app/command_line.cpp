#include "app/command_line.h"

#include <windows.h>

#include "cmdline/cmdline_parser.h"
#include "common/text.h"

namespace tendro {

namespace {

// A text copy of its own, overwritten with zeros when it goes.
struct ErasedText {
    std::wstring text;
    ~ErasedText() { SecureErase(text); }
};

// Each argument takes at least one character and one blank: room for all of them at once, so
// that the vector never moves its texts (short ones live inside it).
size_t MostArguments(size_t length) { return length / 2 + 2; }

SplitArgument& NewArgument(std::vector<SplitArgument>& arguments, size_t length) {
    SplitArgument& argument = arguments.emplace_back();
    argument.text.reserve(length);
    argument.source.reserve(length);
    return argument;
}

}  // namespace

void EraseSplit(std::vector<SplitArgument>& split) noexcept {
    for (SplitArgument& argument : split) SecureErase(argument.text);
}

std::vector<SplitArgument> SplitCommandLine(const std::wstring& raw) {
    std::vector<SplitArgument> arguments;
    size_t i = 0, n = raw.size();
    arguments.reserve(MostArguments(n));
    auto blank = [&](size_t k) { return k < n && (raw[k] == L' ' || raw[k] == L'\t'); };

    // The program name: quoted up to the next quote, else up to the first blank.
    SplitArgument& program = NewArgument(arguments, n);
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

    while (true) {
        while (blank(i)) ++i;
        if (i >= n) break;
        SplitArgument& argument = NewArgument(arguments, n - i);
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
    }
    return arguments;
}

std::wstring MaskCommandLine(const std::wstring& raw, const std::vector<std::wstring>& original,
                             const std::vector<std::wstring>& parsed) {
    std::vector<SplitArgument> split = SplitCommandLine(raw);
    struct SplitEraser {
        std::vector<SplitArgument>& split;
        ~SplitEraser() { EraseSplit(split); }
    } eraseSplit{split};
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
    SecureErase(masked);

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

namespace tendro {

ArgumentCopies::ArgumentCopies(wchar_t** argv, int argc) {
    items_.reserve(static_cast<size_t>(argc > 0 ? argc : 0));
    for (int i = 0; i < argc; ++i) items_.emplace_back(argv[i] ? argv[i] : L"");
}

ArgumentCopies::~ArgumentCopies() {
    for (std::wstring& item : items_) SecureErase(item);
}

bool CommandLineIsLogged(int argc, wchar_t** argv) {
    bool help = false, quiet = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        switch (OptionLetter(argv[i])) {
            case L'H': help = true; break;
            case L'Q': quiet = true; break;
            case L'V': verbose = true; break;
            default: break;
        }
    }
    return !help && (verbose || !quiet);
}

void MaskMalformedCredentials(std::vector<std::wstring>& shown,
                              const std::vector<std::wstring>& typed) {
    // Decided on the arguments as typed when they are at hand; the parse's masking leaves the
    // credential form of a well-formed value intact, so the shown copy serves as well.
    const std::vector<std::wstring>& basis = typed.size() == shown.size() ? typed : shown;
    for (size_t i = 1; i + 1 < shown.size(); ++i) {
        if (OptionLetter(basis[i].c_str()) != L'L' || MatchCredentials(basis[i + 1])) continue;
        std::wstring& value = shown[i + 1];
        size_t equals = value.find(L'=');
        for (size_t k = equals == std::wstring::npos ? 0 : equals + 1; k < value.size(); ++k)
            value[k] = L'*';
    }
}

std::wstring LoggedCommandLine(const std::vector<std::wstring>& original, wchar_t** argv,
                               int argc) {
    ArgumentCopies shown(argv, argc);
    MaskMalformedCredentials(shown.items(), original);
    ErasedText raw{::GetCommandLineW()};
    return MaskCommandLine(raw.text, original, shown.items());
}

}  // namespace tendro

#include "checkmode/check_line.h"

namespace tendro {

namespace {

std::wstring Join(const std::vector<std::wstring>& items, const wchar_t* separator) {
    std::wstring joined;
    for (const auto& item : items) {
        if (!joined.empty()) joined += separator;
        joined += item;
    }
    return joined;
}

std::wstring Count(size_t n) { return std::to_wstring(n); }

}  // namespace

std::wstring OneLineText(const std::wstring& text) {
    std::wstring result;
    bool blank = false;
    for (wchar_t c : text) {
        if (c == L'\r' || c == L'\n' || c == L'\t' || c == L' ') {
            blank = !result.empty();
            continue;
        }
        if (blank) result += L' ';
        blank = false;
        result += c == L'|' ? L'/' : c;
    }
    return result;
}

CheckLine ComposeCheckLine(const CheckFindings& findings) {
    const size_t total = findings.up.size() + findings.down.size() + findings.unread.size();
    std::vector<std::wstring> parts;
    CheckLine line;
    if (!findings.down.empty()) {
        line.exitCode = CheckCritical;
        parts.push_back(Count(findings.down.size()) + L" of " + Count(total) +
                        L" services down: " + Join(findings.down, L", "));
    } else {
        line.exitCode = findings.unread.empty() && findings.killed.empty() ? CheckOk
                        : findings.killed.empty()                          ? CheckUnknown
                                                                           : CheckCritical;
        parts.push_back(Count(findings.up.size()) + L" of " + Count(total) + L" services up");
    }
    if (!findings.killed.empty()) {
        line.exitCode = CheckCritical;
        parts.push_back(L"process over its limits killed: " + Join(findings.killed, L", "));
    }
    if (!findings.unread.empty())
        parts.push_back(L"state not read: " + Join(findings.unread, L", "));

    const wchar_t* status = line.exitCode == CheckOk         ? L"OK"
                            : line.exitCode == CheckCritical ? L"CRITICAL"
                                                             : L"UNKNOWN";
    std::wstring text = OneLineText(Join(parts, L", "));
    if (!findings.actions.empty()) text += L"; " + OneLineText(Join(findings.actions, L", "));
    line.text = std::wstring(L"TENDRO ") + status + L" - " + text + L" | up=" +
                Count(findings.up.size()) + L";;;0;" + Count(total) + L" down=" +
                Count(findings.down.size()) + L";;;0;" + Count(total);
    return line;
}

CheckLine UnknownCheckLine(const std::wstring& reason) {
    return {CheckUnknown, L"TENDRO UNKNOWN - " + OneLineText(reason)};
}

}  // namespace tendro

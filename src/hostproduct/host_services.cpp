#include "hostproduct/host_services.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <string>
#include <vector>

#include "common/error.h"
#include "hostproduct/contract.h"
#include "hostproduct/host_product_info.h"
#include "process/child_process.h"
#include "process/read_channels.h"

namespace tendro {

namespace {

std::wstring DecodeListing(const std::string& bytes) {
    if (bytes.empty()) return {};
    if (bytes.size() > static_cast<size_t>(INT32_MAX))
        ThrowSystemError(ERROR_NO_UNICODE_TRANSLATION, "Host product's service list is not valid UTF-8");
    int size = static_cast<int>(bytes.size());
    int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (length == 0)
        ThrowSystemError(ERROR_NO_UNICODE_TRANSLATION, "Host product's service list is not valid UTF-8");
    std::wstring text(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), length);
    return text;
}

}  // namespace

void ListHostServices(ServiceList& names, DWORD waitLimitMs) {
    child_process child =
        launch_child(QuotedServiceExePath() + L" " + host::ListArgument);
    child.stdin_write.reset();  // the child sees the end of its input at once

    std::string output;
    // Standard error is read too and dropped: a child that writes much there cannot block.
    // The end of standard output completes the listing, even while standard error stays open
    // (a helper of the product may have inherited it).
    channel channels[] = {
        {child.stdout_read.get(),
         [&output](const char* data, uint32_t count) {
             if (count > HostListMaxBytes - output.size())
                 ThrowSystemError(ERROR_INVALID_DATA, HostListTooLargeText);
             output.append(data, count);
         },
         true},
        {child.stderr_read.get(), [](const char*, uint32_t) {}},
    };
    if (!read_channels(channels, 2, waitLimitMs))
        ThrowSystemError(ERROR_TIMEOUT, "Host product's service executable did not finish its service list");

    std::wstring text = DecodeListing(output);
    std::vector<std::wstring> lines;
    boost::algorithm::split(lines, text, boost::algorithm::is_any_of(L"\r\n"));
    for (auto& line : lines)
        if (!line.empty()) names.push_back(std::move(line));
}

void CmdLineParser::LoadCVServices() { ListHostServices(hostServices, HostListWaitLimitMs); }

}  // namespace tendro

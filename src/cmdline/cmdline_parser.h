// The settings of a run: options, credentials and the service name lists.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "cmdline/connections.h"
#include "common/text.h"
#include "service/service_control.h"

namespace tendro {

// Names that mean the local machine ("localhost", "127.0.0.1", the computer's own names).
using LocalMachineNames = std::set<std::wstring, NoCaseLess>;
// Ordered lists that allow removing the entry under the cursor while walking.
using ServiceList = std::list<std::wstring>;
// Strike counts of the process limits, keyed by the exact service name.
using StrikeCounts = std::unordered_map<std::wstring, int32_t>;
using CredentialMap = std::map<std::wstring, std::wstring, NoCaseLess>;

// Positions of '=', ':' and '@' in a well-formed -l value "server=user:pwd@domain".
struct CredentialParts {
    size_t equals;
    size_t colon;
    size_t at;
};
std::optional<CredentialParts> MatchCredentials(std::wstring_view text);

// The option letter of an argument as the parse reads it: the character after a leading '-'
// or '/', upper-cased ('\0' or any other character for an argument that is no option).
wchar_t OptionLetter(const wchar_t* argument);

class CmdLineParser {
public:
    enum Flag : uint32_t {
        MonitorAll = 0x1,           // -a
        ShowHelp = 0x2,             // -h
        StopOnly = 0x4,             // -j
        RunOnce = 0x8,              // -o
        PassiveMode = 0x10,         // -p
        QuietMode = 0x20,           // -q
        VerboseMode = 0x40,         // -v
        RestartFailedOnly = 0x80,   // -r
        SkipManualStopped = 0x100,  // -k
        RereadList = 0x200,         // -d
        RestartFromFailure = 0x400, // -g
    };

    uint32_t flags = 0;
    int32_t cpuThreshold = -1;
    int32_t frequency = 30;
    int32_t ignoreIntervals = 0;
    int32_t memoryThreshold = -1;
    CredentialMap logonUsers;
    CredentialMap passwords;
    ServiceList monitoredServices;
    ServiceList specifiedServices;
    ServiceList hostServices;
    ServiceList excludedServices;

    CmdLineParser() = default;
    CmdLineParser(const CmdLineParser&) = delete;
    CmdLineParser& operator=(const CmdLineParser&) = delete;
    ~CmdLineParser();

    bool Has(Flag flag) const { return (flags & flag) != 0; }

    // Reads the arguments (argv[argc] is null). May overwrite password characters in argv.
    int32_t ParseCommandLine(wchar_t** argv, int argc, const LocalMachineNames& localNames);
    // Records the credentials of one -l value "server=user:pwd@domain".
    void ReadCredentials(wchar_t* argument, const LocalMachineNames& localNames);
    // Logs the settings summary.
    void PrintSettings() const;

    // Rewrites local server words in specifiedServices and refuses repeated names.
    bool CheckSpecifiedServices(const LocalMachineNames& localNames);
    // Fills monitoredServices: the -s names, then with -a the host services less the -e names.
    void AssembleMonitoredServices();
    // Connects the service manager of every machine in use; passwords are erased afterwards.
    bool ConnectServiceManagers(Connections& connections);
    bool ConnectServiceManager(Connections& connections, const std::wstring& machine);
    // Overwrites every password with zeros and removes them.
    void ErasePasswords();

    // Builds monitoredServices, the service objects and the strike counts. 1 when the whole
    // list was examined, 0 when it stopped at a fatal service.
    int32_t ValidateServices(Connections& connections, StrikeCounts& strikeCounts,
                             ServiceObjects& services);

    // Runs the host product's service executable with "--list" into hostServices.
    void LoadCVServices();
};

// The 53-line usage text and its printing (standard output, no log line).
std::wstring UsageText();
void PrintUsage();

}  // namespace tendro

// --watch over re-reads: tendro.exe -v -a -d --watch -f 1 over two services of the host
// product's stand-in, one of which is disabled and enabled again in turn, so that re-reads
// drop a watched (armed) service and take it back. tendro.exe's handle count and memory are
// read at the start and then every 100 re-reads: they stay flat. Wine's GetProcessHandleCount
// gives 0 for every process, and its private-bytes figure too: the handles are then counted in
// the system's handle list, and the memory is read as working set and pagefile usage.
//
//   watch_leak_bench.exe [re-reads] [plain]   (default 2000, about one a second; "plain" runs
//                                             without --watch, for comparison)
//
// Run it in a prefix of its own (it installs the host product's record):
//   TENDRO_WINEPREFIX=$PWD/build/wineprefix-bench tools/wine-run build/bin/watch_leak_bench.exe 2000
//
// Target: at the end at most MaxHandleGrowth handles and MaxPrivateGrowthKb of private memory
// more than after the first re-reads. Exit code 1 when missed.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <cstdio>
#include <vector>
#include <cwchar>
#include <string>

#include "common/handle.h"
#include "common/text.h"
#include "support/host_product.h"
#include "support/monitor_helpers.h"
#include "process_usage.h"
#include "support/run_tendro.h"
#include "support/test_services.h"

using namespace tendro;
using namespace tendro::test;
using namespace tendro::bench;

namespace {

constexpr DWORD MaxHandleGrowth = 10;
constexpr SIZE_T MaxPrivateGrowthKb = 1024;
constexpr int WarmUpRereads = 10;

void Print(const char* label, int rereads, const ProcessUsage& r) {
    std::printf("%-6s re-read %5d: handles %5lu  working set %7zu KB  private/pagefile %7zu KB\n",
                label, rereads, static_cast<unsigned long>(r.handles), r.workingSetKb, r.privateKb);
    std::fflush(stdout);
}

// Counts lines of the program's output as they come, without reading any line twice.
class OutputCounter {
public:
    explicit OutputCounter(RunningProgram& program) : program_(program) {}
    // Waits until `text` has been seen `count` times in all (false when the time is up).
    bool WaitFor(const std::wstring& text, int& seen, int count, DWORD timeoutMs) {
        const ULONGLONG begin = ::GetTickCount64();
        for (;;) {
            Scan();
            seen = Count(text);
            if (seen >= count) return true;
            if (::GetTickCount64() - begin > timeoutMs) return false;
            ::Sleep(100);
        }
    }
    int Count(const std::wstring& text) const {
        if (text == kReread) return rereads_;
        if (text == kDisabled) return disabled_;
        return checked_;
    }

    static inline const std::wstring kReread = L"Rereading services list";
    static inline const std::wstring kDisabled = L"Service is disabled. Ignoring!";
    std::wstring checkedLine;  // "Service: NAME" of the service that comes and goes

private:
    void Scan() {
        std::wstring all = program_.OutputSoFar();
        size_t end = all.rfind(L'\n');
        if (end == std::wstring::npos || end + 1 <= scanned_) return;
        for (const auto& line : SplitLines(all.substr(scanned_, end + 1 - scanned_))) {
            rereads_ += line.find(kReread) != std::wstring::npos;
            disabled_ += line.find(kDisabled) != std::wstring::npos;
            checked_ += line.find(checkedLine) != std::wstring::npos;
        }
        scanned_ = end + 1;
    }

    RunningProgram& program_;
    size_t scanned_ = 0;
    int rereads_ = 0, disabled_ = 0, checked_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rereads = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 2000;
    const bool watch = !(argc > 2 && std::wstring(argv[2]) == L"plain");
    HostProductInstallation product;
    const std::wstring stays = UniqueServiceName(L"TendroLS"), goes = UniqueServiceName(L"TendroLG");
    product.SetServices({stays, goes});
    HostProductService a(product.ExePath(), stays), b(product.ExePath(), goes);
    if (!a.Start() || !b.Start()) {
        std::printf("the host product's services did not start\n");
        return 1;
    }
    std::vector<std::wstring> args{L"-v", L"-a", L"-d", L"-f", L"1"};
    if (watch) args.push_back(L"--watch");
    RunningProgram tendro(ProgramPath(L"tendro.exe"), args);
    Handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, tendro.Pid()));
    if (!process) {
        std::printf("tendro.exe cannot be read: %lu\n", ::GetLastError());
        return 1;
    }
    OutputCounter output(tendro);
    output.checkedLine = L"Service: " + goes;

    std::printf("tendro.exe -v -a -d -f 1%s over %d re-reads, one service dropped and taken back in turn\n",
                watch ? " --watch" : "", rereads);
    int seen = 0;
    if (!output.WaitFor(OutputCounter::kReread, seen, WarmUpRereads, 120000)) {
        std::printf("no re-reads\n");
        return 1;
    }
    const ProcessUsage start = ReadProcessUsage(process.get());
    Print("start", seen, start);
    ProcessUsage last = start;
    int done = seen;
    bool enabled = true;
    while (done < rereads) {
        // Dropped by the next re-read, then taken back by the one after it is enabled.
        int target = 0;
        if (enabled) {
            b.SetStartType(SERVICE_DISABLED);
            target = output.Count(OutputCounter::kDisabled) + 1;
            if (!output.WaitFor(OutputCounter::kDisabled, seen, target, 60000)) break;
        } else {
            b.SetStartType(SERVICE_DEMAND_START);
            target = output.Count(output.checkedLine) + 1;
            if (!output.WaitFor(output.checkedLine, seen, target, 60000)) break;
        }
        enabled = !enabled;
        int now = output.Count(OutputCounter::kReread);
        if (now / 100 != done / 100) {
            last = ReadProcessUsage(process.get());
            Print("", now, last);
        }
        done = now;
    }
    last = ReadProcessUsage(process.get());
    Print("end", done, last);
    tendro.Stop();
    b.SetStartType(SERVICE_DEMAND_START);
    if (done < rereads) {
        std::printf("the run stopped early: the service was not dropped or taken back in time\n");
        return 1;
    }
    const bool met = last.handles <= start.handles + MaxHandleGrowth &&
                     last.privateKb <= start.privateKb + MaxPrivateGrowthKb;
    if (!met)
        std::printf("TARGET MISSED: at most %lu more handles and %zu KB more private memory\n",
                    static_cast<unsigned long>(MaxHandleGrowth), MaxPrivateGrowthKb);
    return met ? 0 : 1;
}

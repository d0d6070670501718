// Throughput and allocations of read_channels draining two busy pipes.
// Targets: no allocation per chunk (the allocations of a call do not grow with the data), and
// at least 1 MB/s per pipe under Wine (each 512-byte read is a round trip to
// the Wine server; a listing of a thousand services is some 20 KB).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "process/child_process.h"
#include "process/read_channels.h"

namespace {

std::atomic<size_t> allocations{0};

}  // namespace

void* operator new(size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

struct Result {
    double seconds;
    size_t bytes[2];
    size_t chunks;
    size_t allocations;
};

Result Drain(size_t bytesPerPipe) {
    tendro::pipe_pair a = tendro::create_pipe(false, true);
    tendro::pipe_pair b = tendro::create_pipe(false, true);
    auto writer = [bytesPerPipe](HANDLE pipe) {
        static const std::string block(65536, 'x');
        size_t done = 0;
        DWORD written = 0;
        while (done < bytesPerPipe &&
               ::WriteFile(pipe, block.data(), static_cast<DWORD>(std::min(block.size(), bytesPerPipe - done)),
                           &written, nullptr))
            done += written;
    };
    Result r{0, {0, 0}, 0, 0};
    std::thread wa([&] { writer(a.write_end.get()); a.write_end.reset(); });
    std::thread wb([&] { writer(b.write_end.get()); b.write_end.reset(); });
    tendro::channel channels[] = {
        {a.read_end.get(), [&r](const char*, uint32_t n) { r.bytes[0] += n; ++r.chunks; }},
        {b.read_end.get(), [&r](const char*, uint32_t n) { r.bytes[1] += n; ++r.chunks; }},
    };
    auto start = std::chrono::steady_clock::now();
    size_t before = allocations.load();
    tendro::read_channels(channels, 2, 30000);
    r.allocations = allocations.load() - before;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    wa.join();
    wb.join();
    return r;
}

}  // namespace

int main() {
    Result small = Drain(64 * 1024);
    Result large = Drain(8 * 1024 * 1024);
    double mbPerSecond = large.bytes[0] / large.seconds / 1e6;
    std::printf("small: %zu chunks, %zu allocations\n", small.chunks, small.allocations);
    std::printf("large: %zu chunks, %zu allocations, %.3f s, %.1f MB/s per pipe\n", large.chunks,
                large.allocations, large.seconds, mbPerSecond);
    // The writer threads allocate nothing while writing; whatever the reader allocates must
    // not depend on the number of chunks.
    bool allocationsFlat = large.allocations <= small.allocations + 2;
    bool fastEnough = mbPerSecond >= 1.0;
    bool complete = large.bytes[0] == 8u * 1024 * 1024 && large.bytes[1] == 8u * 1024 * 1024;
    std::printf("allocations per call constant: %s; throughput target: %s; all bytes read: %s\n",
                allocationsFlat ? "met" : "MISSED", fastEnough ? "met" : "MISSED", complete ? "yes" : "NO");
    return allocationsFlat && fastEnough && complete ? 0 : 1;
}

#include "process/read_channels.h"

#include <array>
#include <memory>
#include <stdexcept>

#include "common/error.h"
#include "common/handle.h"

namespace tendro {

namespace {

constexpr DWORD ChunkSize = 512;
constexpr size_t MaxChannels = 2;
const char* const ReadError = "Error reading asynchronously from file";

struct read_state {
    OVERLAPPED overlapped{};
    HANDLE pipe = nullptr;
    std::function<void(const char*, uint32_t)> on_data;
    bool end = false;
    bool ends_reading = false;
    bool ready = true;
    bool pending = false;
    char buffer[ChunkSize];
    DWORD count = 0;
    Handle event;
};

// The read states of one call. A read still pending when they go is cancelled and waited
// for, so that the system is done with its buffer and event before they are released.
class read_states {
public:
    read_states() = default;
    read_states(const read_states&) = delete;
    read_states& operator=(const read_states&) = delete;
    ~read_states() { cancel_pending(); }

    read_state& add(HANDLE pipe, const std::function<void(const char*, uint32_t)>& on_data,
                    bool ends_reading) {
        auto state = std::make_unique<read_state>();
        state->event.reset(::CreateEventW(nullptr, TRUE, FALSE, L""));
        if (!state->event) ThrowLastError("Can't create event");
        state->overlapped.hEvent = state->event.get();
        state->pipe = pipe;
        state->on_data = on_data;
        state->ends_reading = ends_reading;
        states_[size_] = std::move(state);
        return *states_[size_++];
    }

    bool holds(HANDLE pipe) const {
        for (size_t i = 0; i < size_; ++i)
            if (states_[i]->pipe == pipe) return true;
        return false;
    }

    void cancel_pending() noexcept {
        for (size_t i = 0; i < size_; ++i) {
            read_state& s = *states_[i];
            if (!s.pending) continue;
            ::CancelIoEx(s.pipe, &s.overlapped);
            DWORD ignored = 0;
            ::GetOverlappedResult(s.pipe, &s.overlapped, &ignored, TRUE);
            s.pending = false;
        }
    }

    size_t size() const { return size_; }
    read_state& operator[](size_t i) { return *states_[i]; }

private:
    std::array<std::unique_ptr<read_state>, MaxChannels> states_;
    size_t size_ = 0;
};

// Starts the next read of a state; true when the state has reached the end of its data.
bool start_read(read_state& s) {
    s.ready = false;
    s.pending = false;
    s.count = 0;
    if (::ReadFile(s.pipe, s.buffer, ChunkSize, &s.count, &s.overlapped)) return false;
    DWORD code = ::GetLastError();
    switch (code) {
    case ERROR_BROKEN_PIPE:  // the writer has closed its end
    case ERROR_HANDLE_EOF:
        s.end = true;
        // An ended state stays in the wait; its event must never win it again.
        ::ResetEvent(s.overlapped.hEvent);
        return true;
    case ERROR_IO_PENDING:
        s.pending = true;
        return false;
    default:
        ThrowSystemError(code, ReadError);
    }
}

}  // namespace

bool read_channels(const channel* channels, size_t count, DWORD timeout_ms) {
    if (count == 0) return true;
    if (count > MaxChannels) throw std::logic_error("More than two channels specified");

    read_states states;
    for (size_t i = 0; i < count; ++i) {
        if (!channels[i].pipe || states.holds(channels[i].pipe)) continue;
        states.add(channels[i].pipe, channels[i].on_data, channels[i].ends_reading);
    }
    std::array<HANDLE, MaxChannels> events{};
    std::array<size_t, MaxChannels> indexes{};
    const size_t used = states.size();
    for (size_t i = 0; i < used; ++i) {
        events[i] = states[i].overlapped.hEvent;
        indexes[i] = i;
    }
    size_t remaining = used;

    for (;;) {
        for (size_t i = 0; i < used; ++i) {
            read_state& s = states[i];
            if (s.end || !s.ready) continue;
            if (start_read(s)) {
                --remaining;
                if (s.ends_reading) return true;  // the states cancel the other reads
            }
        }
        if (remaining == 0) return true;

        DWORD result;
        do {
            result = ::WaitForMultipleObjectsEx(static_cast<DWORD>(used), events.data(), FALSE,
                                                timeout_ms, TRUE);
        } while (result == WAIT_IO_COMPLETION);
        if (result == WAIT_TIMEOUT) return false;  // the states cancel their pending reads
        if (result == WAIT_FAILED) ThrowLastError(ReadError);
        size_t r = result - WAIT_OBJECT_0;
        if (r >= used) ThrowSystemError(ERROR_INVALID_HANDLE, ReadError);  // an abandoned wait

        read_state& s = states[indexes[r]];
        if (s.pending) {
            // A read that completed with an error delivers 0 bytes; the next read finds the end.
            ::GetOverlappedResult(s.pipe, &s.overlapped, &s.count, FALSE);
            s.pending = false;
        }
        s.on_data(s.buffer, s.count);
        s.ready = true;
        ULARGE_INTEGER offset;
        offset.LowPart = s.overlapped.Offset;
        offset.HighPart = s.overlapped.OffsetHigh;
        offset.QuadPart += s.count;
        s.overlapped.Offset = offset.LowPart;
        s.overlapped.OffsetHigh = offset.HighPart;
        // The served entry goes last, so that the other pipe is looked at first next time.
        for (size_t i = r; i + 1 < used; ++i) {
            std::swap(events[i], events[i + 1]);
            std::swap(indexes[i], indexes[i + 1]);
        }
    }
}

}  // namespace tendro

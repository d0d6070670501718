// A COM stream over pipe handles, so that the XML reader can read a child's standard output.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <atomic>

#include "common/handle.h"

namespace tendro {

// Longest wait for one read from the pipe before the read is given up.
inline constexpr DWORD StreamReadTimeoutMs = 60000;

class CStdStream final : public IStream {
public:
    // The object starts with no reference: take the first one with QueryInterface. With
    // ownsHandles the handles are closed when the last reference goes, otherwise the caller
    // keeps them. `readHandle` may be an overlapped or a synchronous handle.
    CStdStream(HANDLE readHandle, HANDLE writeHandle, bool ownsHandles,
               DWORD readTimeoutMs = StreamReadTimeoutMs);
    CStdStream(const CStdStream&) = delete;
    CStdStream& operator=(const CStdStream&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ISequentialStream. Read: S_OK with up to `size` bytes, S_FALSE with none at the end of
    // the pipe, HRESULT_FROM_WIN32(ERROR_TIMEOUT) when no data came within the time limit;
    // after a failure every later Read fails the same way without touching the pipe.
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* count) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* count) override;

    // IStream: not supported.
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override;

    // True once a read has run out of time.
    bool TimedOut() const noexcept { return timedOut_; }
    // The failure of the pipe read (kept for every later Read); S_OK while there is none.
    HRESULT ReadFailure() const noexcept { return readFailure_; }

private:
    ~CStdStream();
    // One overlapped read with the time limit; 0 or the Windows error code.
    DWORD ReadPipe(void* buffer, ULONG size, DWORD& got);

    std::atomic<LONG> references_{0};
    HANDLE read_;
    HANDLE write_;
    bool ownsHandles_;
    DWORD readTimeoutMs_;
    bool timedOut_ = false;
    HRESULT readFailure_ = S_OK;
    Handle readEvent_;
    // Why the event could not be created (0 when it was): the answer of every read then.
    DWORD eventError_;
};

// The HRESULT of a failed pipe call: 0x8007xxxx for a positive Windows code.
HRESULT PipeErrorResult(DWORD code);

}  // namespace tendro

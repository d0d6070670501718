#include "hostproduct/cstd_stream.h"

namespace tendro {

HRESULT PipeErrorResult(DWORD code) {
    LONG value = static_cast<LONG>(code);
    return value > 0 ? static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu))
                     : static_cast<HRESULT>(value);
}

CStdStream::CStdStream(HANDLE readHandle, HANDLE writeHandle, bool ownsHandles,
                       DWORD readTimeoutMs)
    : read_(readHandle), write_(writeHandle), ownsHandles_(ownsHandles),
      readTimeoutMs_(readTimeoutMs),
      readEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      eventError_(readEvent_ ? 0 : ::GetLastError()) {
    if (!readEvent_ && eventError_ == 0) eventError_ = ERROR_INVALID_HANDLE;
}

CStdStream::~CStdStream() {
    if (ownsHandles_) {
        if (KernelHandleTraits::valid(write_)) ::CloseHandle(write_);
        if (KernelHandleTraits::valid(read_)) ::CloseHandle(read_);
    }
}

HRESULT CStdStream::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
        *object = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CStdStream::AddRef() { return static_cast<ULONG>(++references_); }

ULONG CStdStream::Release() {
    LONG left = --references_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT CStdStream::Read(void* buffer, ULONG size, ULONG* count) {
    if (count) *count = 0;
    // A failed pipe stays failed: the reader may ask again, but a stalled pipe gets no
    // second wait.
    if (FAILED(readFailure_)) return readFailure_;
    DWORD got = 0;
    DWORD error = ReadPipe(buffer, size, got);
    if (error == ERROR_BROKEN_PIPE) return S_FALSE;
    if (error != 0) {
        readFailure_ = PipeErrorResult(error);
        return readFailure_;
    }
    if (count) *count = got;
    return S_OK;
}

DWORD CStdStream::ReadPipe(void* buffer, ULONG size, DWORD& got) {
    if (!readEvent_) return eventError_;
    // The pipe end may be overlapped: a read without an OVERLAPPED is not reliable on it.
    OVERLAPPED overlapped{};
    overlapped.hEvent = readEvent_.get();
    if (::ReadFile(read_, buffer, size, &got, &overlapped)) return 0;
    DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    DWORD wait = ::WaitForSingleObject(readEvent_.get(), readTimeoutMs_);
    if (wait == WAIT_OBJECT_0)
        return ::GetOverlappedResult(read_, &overlapped, &got, FALSE) ? 0 : ::GetLastError();
    DWORD waitError = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ::GetLastError();
    ::CancelIoEx(read_, &overlapped);
    // The buffer and the OVERLAPPED stay in use until the cancellation completes; data that
    // arrived in the meantime is kept.
    if (::GetOverlappedResult(read_, &overlapped, &got, TRUE)) return 0;
    if (wait == WAIT_TIMEOUT) timedOut_ = true;
    return waitError;
}

HRESULT CStdStream::Write(const void* buffer, ULONG size, ULONG* count) {
    DWORD written = 0;
    BOOL ok = ::WriteFile(write_, buffer, size, &written, nullptr);
    if (count) *count = written;
    return ok ? S_OK : PipeErrorResult(::GetLastError());
}

HRESULT CStdStream::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) { return E_NOTIMPL; }
HRESULT CStdStream::SetSize(ULARGE_INTEGER) { return E_NOTIMPL; }
HRESULT CStdStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
    return E_NOTIMPL;
}
HRESULT CStdStream::Commit(DWORD) { return E_NOTIMPL; }
HRESULT CStdStream::Revert() { return E_NOTIMPL; }
HRESULT CStdStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CStdStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CStdStream::Stat(STATSTG*, DWORD) { return E_NOTIMPL; }
HRESULT CStdStream::Clone(IStream**) { return E_NOTIMPL; }

}  // namespace tendro

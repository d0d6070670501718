// The definition export: the "com" error category and handler, the pipe stream, the XML walk
// over real pipes, and LoadDefinition running the host product's stand-in.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "common/com_ptr.h"
#include "common/error.h"
#include "common/text.h"
#include "fixtures/hostproduct/standin_keys.h"
#include "hostproduct/com_error.h"
#include "hostproduct/contract.h"
#include "hostproduct/cstd_stream.h"
#include "hostproduct/definition.h"
#include "hostproduct/host_product_info.h"
#include "process/child_process.h"
#include "service/service_control.h"
#include "support/host_product.h"
#include "support/system_text.h"

using namespace tendro;
using tendro::test::SystemMessageNarrow;

namespace {

std::string SystemText(DWORD code, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM,
                       HMODULE module = nullptr) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                               module, code, 0x400, reinterpret_cast<wchar_t*>(&buffer), 0,
                               nullptr);
    std::wstring text = n ? std::wstring(buffer, n) : std::wstring();
    if (buffer) ::LocalFree(buffer);
    if (!text.empty() && text.back() == L'\n') text.pop_back();
    if (!text.empty() && text.back() == L'\r') text.pop_back();
    return ToNarrow(text);
}

class ComTest : public ::testing::Test {
protected:
    void SetUp() override { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { ::CoUninitialize(); }
};

using ComErrorTest = ComTest;

TEST_F(ComErrorTest, CategoryTextsAndConditions) {
    const std::error_category& com = com_error_category();
    EXPECT_STREQ(com.name(), "com");
    EXPECT_EQ(&com, &com_error_category());

    const int accessDenied = static_cast<int>(0x80070005);
    EXPECT_EQ(com.message(accessDenied), SystemText(0x80070005));
    EXPECT_FALSE(com.message(accessDenied).empty());
    EXPECT_EQ(com.message(accessDenied).find('\n'), std::string::npos);

    // Codes without a system text.
    ASSERT_EQ(SystemText(0x8004FFF0), "");
    EXPECT_EQ(com.message(static_cast<int>(0x8004FFF0)), "IDispatch error #65008");
    ASSERT_EQ(SystemText(0xA0071234), "");
    EXPECT_EQ(com.message(static_cast<int>(0xA0071234)), "Unknown error 0xA0071234");

    // Win32 and plain codes compare with the system's conditions, others only with themselves.
    EXPECT_EQ(std::error_code(accessDenied, com), std::errc::permission_denied);
    EXPECT_EQ(com.default_error_condition(static_cast<int>(0x80080005)),
              std::make_error_condition(std::errc::permission_denied));
    const int xmlError = static_cast<int>(0xC00CEE2D);
    EXPECT_EQ(com.default_error_condition(xmlError), std::error_condition(xmlError, com));
}

TEST_F(ComErrorTest, ReaderCodesUseUrlmonTextsWhenLoaded) {
    HMODULE urlmon = ::LoadLibraryW(L"urlmon.dll");
    ASSERT_NE(urlmon, nullptr);
    const DWORD code = 0xC00CEE2D;
    std::string expected = SystemText(code, FORMAT_MESSAGE_FROM_HMODULE, urlmon);
    EXPECT_EQ(com_error_category().message(static_cast<int>(code)), expected);
    ::FreeLibrary(urlmon);
}

TEST_F(ComErrorTest, HandlerRaisesWithTheDescription) {
    auto raise = [](HRESULT hr, const wchar_t* description) -> std::system_error {
        ComPtr<ICreateErrorInfo> create;
        EXPECT_EQ(::CreateErrorInfo(create.put()), S_OK);
        ComPtr<IErrorInfo> info;
        if (description) create->SetDescription(const_cast<wchar_t*>(description));
        create->QueryInterface(IID_IErrorInfo, info.put_void());
        try {
            RaiseComError(hr, info.get());
        } catch (const std::system_error& e) {
            return e;
        }
        return std::system_error(std::error_code());
    };
    const HRESULT fail = static_cast<HRESULT>(0x80070005);
    std::string text = com_error_category().message(fail);

    std::system_error e = raise(fail, L"Widget refused.\r\n");
    EXPECT_EQ(&e.code().category(), &com_error_category());
    EXPECT_EQ(e.code().value(), fail);
    EXPECT_EQ(std::string(e.what()), "Widget refused: " + text);
    // A description of nothing but line ends and stops leaves only the category's text.
    EXPECT_EQ(std::string(raise(fail, L".\r\n.").what()), text);
    EXPECT_EQ(std::string(raise(fail, nullptr).what()), text);
    try {
        RaiseComError(fail, nullptr);
        ADD_FAILURE();
    } catch (const std::system_error& e2) {
        EXPECT_EQ(std::string(e2.what()), text);
    }
}

TEST_F(ComErrorTest, IssuedErrorsGoThroughTheInstalledHandler) {
    static HRESULT seen = S_OK;
    ComErrorHandler previous = SetComErrorHandler([](HRESULT hr, IErrorInfo*) { seen = hr; });
    // A handler that returns does not end the report: the error is raised all the same.
    EXPECT_THROW(IssueComError(E_OUTOFMEMORY), std::system_error);
    EXPECT_EQ(seen, E_OUTOFMEMORY);
    InstallComErrorHandler();
    try {
        IssueComError(E_INVALIDARG);
        ADD_FAILURE();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(E_INVALIDARG, com_error_category()));
    }
    SetComErrorHandler(previous);
}

// A pipe whose read end is overlapped, as the export child's standard output is.
struct TestPipe {
    pipe_pair ends = create_pipe(false, true);
    void Write(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(ends.write_end.get(), bytes.data(),
                                static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
};

// Writes the pieces from a thread, then closes the write end after holdMs (never when < 0).
class PipeWriter {
public:
    PipeWriter(TestPipe& pipe, std::vector<std::string> pieces, int holdMs = 0)
        : thread_([&pipe, pieces = std::move(pieces), holdMs, this] {
              for (const auto& piece : pieces) {
                  DWORD written = 0;
                  ::WriteFile(pipe.ends.write_end.get(), piece.data(),
                              static_cast<DWORD>(piece.size()), &written, nullptr);
                  ::Sleep(20);
              }
              if (holdMs < 0) ::WaitForSingleObject(release_.get(), INFINITE);
              else ::WaitForSingleObject(release_.get(), static_cast<DWORD>(holdMs));
              pipe.ends.write_end.reset();
          }) {}
    ~PipeWriter() {
        ::SetEvent(release_.get());
        thread_.join();
    }

private:
    Handle release_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread_;
};

using StreamTest = ComTest;

TEST_F(StreamTest, InterfacesReferencesAndHandleOwnership) {
    TestPipe pipe;
    HANDLE read = pipe.ends.read_end.release();
    HANDLE write = pipe.ends.write_end.release();
    auto* stream = new CStdStream(read, write, true);
    ComPtr<IStream> asStream;
    ASSERT_EQ(stream->QueryInterface(IID_IStream, asStream.put_void()), S_OK);
    ComPtr<ISequentialStream> asSequential;
    EXPECT_EQ(stream->QueryInterface(IID_ISequentialStream, asSequential.put_void()), S_OK);
    ComPtr<IUnknown> asUnknown;
    EXPECT_EQ(stream->QueryInterface(IID_IUnknown, asUnknown.put_void()), S_OK);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(stream->QueryInterface(IID_IPersist, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    LARGE_INTEGER zero{};
    ULARGE_INTEGER uzero{};
    STATSTG stat{};
    IStream* clone = nullptr;
    EXPECT_EQ(asStream->Seek(zero, STREAM_SEEK_SET, nullptr), E_NOTIMPL);
    EXPECT_EQ(asStream->SetSize(uzero), E_NOTIMPL);
    EXPECT_EQ(asStream->CopyTo(nullptr, uzero, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(asStream->Commit(0), E_NOTIMPL);
    EXPECT_EQ(asStream->Revert(), E_NOTIMPL);
    EXPECT_EQ(asStream->LockRegion(uzero, uzero, 0), E_NOTIMPL);
    EXPECT_EQ(asStream->UnlockRegion(uzero, uzero, 0), E_NOTIMPL);
    EXPECT_EQ(asStream->Stat(&stat, 0), E_NOTIMPL);
    EXPECT_EQ(asStream->Clone(&clone), E_NOTIMPL);

    // Written through the stream, read back through it.
    ULONG count = 0;
    EXPECT_EQ(asStream->Write("abc", 3, &count), S_OK);
    EXPECT_EQ(count, 3u);
    char buffer[8] = {};
    EXPECT_EQ(asStream->Read(buffer, sizeof(buffer), &count), S_OK);
    EXPECT_EQ(std::string(buffer, count), "abc");

    asSequential.reset();
    asUnknown.reset();
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(read, &flags));
    asStream.reset();  // the last reference closes both handles
    EXPECT_FALSE(::GetHandleInformation(read, &flags));
    EXPECT_FALSE(::GetHandleInformation(write, &flags));

    // Without ownership the handles stay open.
    TestPipe kept;
    ComPtr<IUnknown> borrowed;
    (new CStdStream(kept.ends.read_end.get(), nullptr, false))
        ->QueryInterface(IID_IUnknown, borrowed.put_void());
    borrowed.reset();
    EXPECT_TRUE(::GetHandleInformation(kept.ends.read_end.get(), &flags));
}

TEST_F(StreamTest, ReadsUntilTheWriterIsGoneAndMapsErrors) {
    TestPipe pipe;
    ComPtr<IStream> stream;
    auto* raw = new CStdStream(pipe.ends.read_end.get(), nullptr, false);
    raw->QueryInterface(IID_IStream, stream.put_void());
    std::string received;
    {
        PipeWriter writer(pipe, {"first ", std::string(5000, 'x'), " last"});
        char buffer[700];
        ULONG count = 0;
        HRESULT hr;
        while ((hr = stream->Read(buffer, sizeof(buffer), &count)) == S_OK) {
            EXPECT_LE(count, sizeof(buffer));
            received.append(buffer, count);
        }
        EXPECT_EQ(hr, S_FALSE);  // the writer closed its end
        EXPECT_EQ(count, 0u);
    }
    EXPECT_EQ(received, "first " + std::string(5000, 'x') + " last");
    EXPECT_FALSE(raw->TimedOut());

    // A synchronous anonymous pipe reads the same way.
    pipe_pair anonymous = create_pipe(false, false);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(anonymous.write_end.get(), "sync", 4, &written, nullptr));
    anonymous.write_end.reset();
    ComPtr<IStream> syncStream;
    (new CStdStream(anonymous.read_end.get(), nullptr, false))
        ->QueryInterface(IID_IStream, syncStream.put_void());
    char four[8];
    ULONG got = 0;
    EXPECT_EQ(syncStream->Read(four, sizeof(four), &got), S_OK);
    EXPECT_EQ(std::string(four, got), "sync");
    EXPECT_EQ(syncStream->Read(four, sizeof(four), &got), S_FALSE);

    // Writing into a pipe nobody reads, reading an invalid handle.
    TestPipe orphan;
    orphan.ends.read_end.reset();
    ComPtr<IStream> writer;
    (new CStdStream(nullptr, orphan.ends.write_end.get(), false))
        ->QueryInterface(IID_IStream, writer.put_void());
    ULONG count = 0;
    HRESULT hr = writer->Write("x", 1, &count);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
    char c;
    EXPECT_EQ(writer->Read(&c, 1, &count), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(PipeErrorResult(ERROR_ACCESS_DENIED), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(PipeErrorResult(0x80004005), static_cast<HRESULT>(0x80004005));
}

namespace {

// Makes this program's own calls of CreateEventW fail with `error` while it lives: the import
// table entry is pointed at a stand-in (the system offers no other way to make the creation
// of an unnamed event fail on demand).
class FailingCreateEvent {
public:
    explicit FailingCreateEvent(DWORD error) {
        error_ = error;
        auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        void* real = reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CreateEventW"));
        for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
             import->Name != 0; ++import) {
            for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
                 thunk->u1.Function != 0; ++thunk) {
                if (reinterpret_cast<void*>(thunk->u1.Function) != real) continue;
                Patch(&thunk->u1.Function, reinterpret_cast<ULONG_PTR>(&Failing));
                slots_.push_back({&thunk->u1.Function, reinterpret_cast<ULONG_PTR>(real)});
            }
        }
    }
    ~FailingCreateEvent() {
        for (auto& slot : slots_) Patch(slot.first, slot.second);
    }
    bool Active() const { return !slots_.empty(); }

private:
    static HANDLE WINAPI Failing(SECURITY_ATTRIBUTES*, BOOL, BOOL, const wchar_t*) {
        ::SetLastError(error_);
        return nullptr;
    }
    static void Patch(ULONG_PTR* slot, ULONG_PTR value) {
        DWORD old = 0;
        ::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old);
        *slot = value;
        ::VirtualProtect(slot, sizeof(*slot), old, &old);
    }
    static inline DWORD error_ = 0;
    std::vector<std::pair<ULONG_PTR*, ULONG_PTR>> slots_;
};

}  // namespace

// An event that could not be created is the answer of every read, with its own error code.
TEST_F(StreamTest, ReadsAnswerWithTheEventsCreationError) {
    TestPipe pipe;
    CStdStream* stream = nullptr;
    {
        FailingCreateEvent failing(ERROR_NO_SYSTEM_RESOURCES);
        ASSERT_TRUE(failing.Active());
        stream = new CStdStream(pipe.ends.read_end.get(), nullptr, false);
    }
    ComPtr<IUnknown> owner;
    stream->QueryInterface(IID_IUnknown, owner.put_void());
    char buffer[16];
    ULONG count = 7;
    ::SetLastError(ERROR_ACCESS_DENIED);  // whatever the thread's last error is meanwhile
    EXPECT_EQ(stream->Read(buffer, sizeof(buffer), &count), PipeErrorResult(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(stream->ReadFailure(), PipeErrorResult(ERROR_NO_SYSTEM_RESOURCES));
}

TEST_F(StreamTest, StalledReadTimesOutAndLeavesThePipeUsable) {
    TestPipe pipe;
    ComPtr<IStream> stream;
    auto* raw = new CStdStream(pipe.ends.read_end.get(), nullptr, false, 300);
    raw->QueryInterface(IID_IStream, stream.put_void());
    char buffer[16];
    ULONG count = 7;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(stream->Read(buffer, sizeof(buffer), &count), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(raw->TimedOut());
    // The reader may ask again after the failure; a stalled pipe gets no second wait.
    pipe.Write("late");
    begin = std::chrono::steady_clock::now();
    EXPECT_EQ(stream->Read(buffer, sizeof(buffer), &count), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
}

// ---- The XML walk ----

const std::string Ns = "xmlns:cv=\"urn:corvanta:service\"";

std::string Doc(const std::string& serviceAttributes, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<cv:Service " + Ns + " " + serviceAttributes + ">" + body +
           "</cv:Service>";
}

struct WalkCase {
    const char* what;
    std::string document;
    int value;           // expected code value
    bool com;            // expected category: com (else system)
};

std::system_error Walk(const std::vector<std::string>& pieces, int holdMs = 0,
                       DWORD timeoutMs = 20000) {
    TestPipe pipe;
    PipeWriter writer(pipe, pieces, holdMs);
    return ReadDefinition(pipe.ends.read_end.get(), timeoutMs);
}

void ExpectOutcome(const std::system_error& outcome, int value, bool com, const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(outcome.code().value(), value);
    EXPECT_EQ(&outcome.code().category(), com ? &com_error_category() : &system_error_category());
    if (value == 0) return;
    if (com) {
        EXPECT_EQ(std::string(outcome.what()), com_error_category().message(value));
    } else if (value == 1208) {
        EXPECT_EQ(std::string(outcome.what()),
                  std::string(DefinitionVersionErrorText) + ": " + SystemMessageNarrow(1208));
    }
}

TEST_F(ComTest, WalkOutcomes) {
    const std::string program3 = "<Program executable=\"C:\\a.exe\"/>";
    const std::string program2 = "<Program><Executable>C:\\a.exe</Executable></Program>";
    const WalkCase cases[] = {
        {"v2 executable text", Doc("cv:version=\"2\"", program2), 0, false},
        {"v3 attribute", Doc("cv:version=\"3\"", program3), 0, false},
        {"v4 attribute", Doc("cv:version=\"4\"", program3), 0, false},
        {"v2 with attribute only reads to the end", Doc("cv:version=\"2\"", program3), 0, false},
        {"v3 without executable reads to the end",
         Doc("cv:version=\"3\"", "<Program><Executable>x</Executable></Program>"), 0, false},
        {"blank, digit and letters", Doc("cv:version=\" 3abc\"", program3), 0, false},
        {"other prefix, same namespace",
         "<p:Service xmlns:p=\"urn:corvanta:service\" p:version=\"3\">" + program3 +
             "</p:Service>",
         0, false},
        {"not a Service document", "<Definition cv:version=\"9\" " + Ns + ">" + program3 +
                                       "</Definition>",
         0, false},
        {"lower-case service is no Service", "<service " + Ns + ">x</service>", 0, false},
        {"missing version", Doc("", program3), 1208, false},
        {"unprefixed version", Doc("version=\"3\"", program3), 1208, false},
        {"version in another namespace",
         Doc("xmlns:o=\"urn:other\" o:version=\"3\"", program3), 1208, false},
        {"version 0", Doc("cv:version=\"0\"", program3), 1208, false},
        {"version 1", Doc("cv:version=\"1\"", program3), 1208, false},
        {"version 5", Doc("cv:version=\"5\"", program3), 1208, false},
        {"version without digits", Doc("cv:version=\"abc\"", program3), 1208, false},
        {"empty version", Doc("cv:version=\"\"", program3), 1208, false},
        {"version beyond 32 bits", Doc("cv:version=\"4294967299\"", program3), 1208, false},
        {"version error before broken markup",
         "<cv:Service " + Ns + " cv:version=\"7\"><a></b>", 1208, false},
        {"broken markup after the executable",
         Doc("cv:version=\"3\"", program3 + "<a></b><<<"), 0, false},
        {"v2 broken markup after the executable text",
         "<cv:Service " + Ns + " cv:version=\"2\"><Program><Executable>C:\\a.exe</b>", 0, false},
    };
    for (const auto& c : cases) ExpectOutcome(Walk({c.document}), c.value, c.com, c.what);
}

void ExpectReaderFailure(const std::system_error& outcome, const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(&outcome.code().category(), &com_error_category());
    EXPECT_LT(outcome.code().value(), 0);
    EXPECT_EQ(std::string(outcome.what()), com_error_category().message(outcome.code().value()));
}

// Broken markup at the end shows whether the walk read on to it or stopped before.
TEST_F(ComTest, WalkStopsOnlyAtTheExecutablesPlace) {
    struct Case {
        const char* what;
        const char* version;
        const char* body;
    };
    const Case readOn[] = {
        {"an empty Program has ended before the Executable", "2",
         "<Program/><Other><Executable>x</Executable></Other>"},
        {"Executable one level too deep", "2",
         "<Program><Group><Executable>x</Executable></Group>"},
        {"Program one level too deep", "3", "<Group><Program executable=\"x\"/></Group>"},
        {"executable attribute in a namespace", "3",
         "<Program xmlns:o=\"urn:o\" o:executable=\"x\"/>"},
    };
    auto document = [](const char* version, const char* body) {
        return "<cv:Service " + Ns + " cv:version=\"" + version + "\">" + body + "<a></b>";
    };
    for (const auto& c : readOn) ExpectReaderFailure(Walk({document(c.version, c.body)}), c.what);
    ExpectOutcome(Walk({document("2", "<Program><Executable/></Program><Notes>later</Notes>")}),
                  0, false, "an empty Executable: the walk ends at the next text");
}

TEST_F(ComTest, MalformedDocumentsGiveTheReaderCode) {
    std::system_error before = Walk({Doc("cv:version=\"3\"", "<a></b><Program executable=\"x\"/>")});
    EXPECT_EQ(&before.code().category(), &com_error_category());
    EXPECT_LT(before.code().value(), 0);
    EXPECT_EQ(std::string(before.what()), com_error_category().message(before.code().value()));
    std::system_error unclosed = Walk({"<cv:Service " + Ns + " cv:version=\"3\"><Program>"});
    EXPECT_EQ(&unclosed.code().category(), &com_error_category());
}

TEST_F(ComTest, WalkStopsEarlyAndTimesOutOnStalledOutput) {
    // The executable's place arrives and the writer keeps its end open: no need to wait.
    auto begin = std::chrono::steady_clock::now();
    ExpectOutcome(Walk({"<cv:Service " + Ns + " cv:version=\"3\">",
                        "<Program executable=\"C:\\a.exe\">\n  <Next"},
                       -1, 20000),
                  0, false, "v3 early stop");
    ExpectOutcome(Walk({"<cv:Service " + Ns + " cv:version=\"2\"><Program><Executable>C:",
                        "\\a.exe</Executable>\n <Next"},
                       -1, 20000),
                  0, false, "v2 early stop");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));

    // Without that place the walk waits for more and gives up at the limit.
    begin = std::chrono::steady_clock::now();
    // (The reader, once its stream failed, hands out the trailing white space without end.)
    std::system_error stalled = Walk({"<cv:Service " + Ns + " cv:version=\"2\">\r\n  "
                                      "<Program executable=\"x\"/>\r\n  "},
                                     -1, 500);
    EXPECT_EQ(stalled.code(), SystemErrorCode(ERROR_TIMEOUT));
    EXPECT_EQ(std::string(stalled.what()), std::string(DefinitionTimeoutText) + ": " +
                                               SystemMessageNarrow(ERROR_TIMEOUT));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

}  // namespace

// ---- LoadDefinition with the host product's stand-in ----

namespace {

class LoadDefinitionTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        HostProductInfo.installationDir = product.Folder();
        HostProductInfo.serviceExe = L"Corvanta.exe";
    }
    void TearDown() override {
        DefinitionReadTimeoutMs = StreamReadTimeoutMs;
        HostProductInfo = HostProductInfoRecord();
        ComTest::TearDown();
    }

    static ServiceControl HostService(const std::wstring& name) {
        ServiceControl service;
        service.name = service.shortName = name;
        service.isPlainService = 0;
        return service;
    }

    // The names the stand-in was asked to export, in order.
    std::vector<std::wstring> Exports() {
        std::ifstream file(ToNarrow(product.Folder() + L"\\" + hostproduct::ExportLogFileName));
        std::vector<std::wstring> names;
        for (std::string line; std::getline(file, line);) names.push_back(ToWide(line, CP_UTF8));
        return names;
    }

    std::system_error Export(const std::wstring& name, const std::wstring& behaviour) {
        product.Configure(std::wstring(hostproduct::KeyExport) + L":" + name, behaviour);
        return HostService(name).LoadDefinition();
    }

    test::HostProductInstallation product;
};

TEST_F(LoadDefinitionTest, CommandLineQuotesThePathAndTheName) {
    EXPECT_EQ(DefinitionExportCommandLine(L"web1"),
              L"\"" + product.Folder() + L"\\Corvanta.exe\" --export web1 \"\"");
    HostProductInfo.installationDir = L"C:\\Host";
    EXPECT_EQ(DefinitionExportCommandLine(L"web 1"), L"C:\\Host\\Corvanta.exe --export \"web 1\" \"\"");
}

TEST_F(LoadDefinitionTest, PlainServiceRunsNothing) {
    ServiceControl plain = HostService(L"plain");
    plain.isPlainService = 1;
    std::system_error outcome = plain.LoadDefinition();
    EXPECT_EQ(outcome.code(), SystemErrorCode(0));
    EXPECT_EQ(std::string(outcome.what()), SystemMessageNarrow(0));
    EXPECT_TRUE(Exports().empty());
}

TEST_F(LoadDefinitionTest, OutcomesOfTheStandInsDocuments) {
    struct Case {
        const wchar_t* behaviour;
        int value;
        bool com;
    };
    const Case cases[] = {
        {hostproduct::ExportV2, 0, false},
        {hostproduct::ExportV3, 0, false},
        {hostproduct::ExportV4, 0, false},
        {hostproduct::ExportV2Attribute, 0, false},
        {hostproduct::ExportV2EmptyExecutable, 0, false},
        {hostproduct::ExportV3Utf16, 0, false},
        {hostproduct::ExportNotService, 0, false},
        {hostproduct::ExportMalformedAfter, 0, false},
        {hostproduct::ExportFloodStderr, 0, false},
        {hostproduct::ExportNoVersion, 1208, false},
        {hostproduct::ExportUnprefixedVersion, 1208, false},
        {L"version:0", 1208, false},
        {L"version:1", 1208, false},
        {L"version:5", 1208, false},
        {L"version: 3abc", 0, false},
        {L"version:abc", 1208, false},
        {L"version:-2147483649", 1208, false},
    };
    std::vector<std::wstring> expectedExports;
    int index = 0;
    for (const auto& c : cases) {
        std::wstring name = L"svc " + std::to_wstring(++index);
        expectedExports.push_back(name);
        ExpectOutcome(Export(name, c.behaviour), c.value, c.com, ToNarrow(c.behaviour).c_str());
    }
    ExpectReaderFailure(Export(L"broken", hostproduct::ExportMalformedBefore), "malformed-before");
    expectedExports.push_back(L"broken");
    // Nothing at all on standard output: the reader's verdict on an empty document.
    std::system_error empty = Export(L"unknown", hostproduct::ExportUnknown);
    if (empty.code().value() != 0) ExpectReaderFailure(empty, "unknown");
    expectedExports.push_back(L"unknown");
    EXPECT_EQ(Exports(), expectedExports);
}

TEST_F(LoadDefinitionTest, EndsAtTheExecutableWhileTheChildStillRuns) {
    product.Configure(hostproduct::KeyExportHoldMs, L"60000");
    auto begin = std::chrono::steady_clock::now();
    ExpectOutcome(Export(L"held", hostproduct::ExportV3), 0, false, "v3 held open");
    ExpectOutcome(Export(L"held2", hostproduct::ExportV2), 0, false, "v2 held open");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
}

TEST_F(LoadDefinitionTest, StalledExportTimesOut) {
    DefinitionReadTimeoutMs = 1500;
    auto begin = std::chrono::steady_clock::now();
    std::system_error outcome = Export(L"stalled", hostproduct::ExportNeverEnd);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15));
    EXPECT_EQ(outcome.code(), SystemErrorCode(ERROR_TIMEOUT));
    EXPECT_EQ(std::string(outcome.what()), std::string(DefinitionTimeoutText) + ": " +
                                               SystemMessageNarrow(ERROR_TIMEOUT));
}

TEST_F(LoadDefinitionTest, MissingExecutableIsRaised) {
    HostProductInfo.serviceExe = L"Missing.exe";
    try {
        HostService(L"web1").LoadDefinition();
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), SystemErrorCode(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(std::string(e.what()).rfind("Can't create process: ", 0), 0u);
    }
}

}  // namespace

#include "hostproduct/definition.h"

#include <initguid.h>  // defines IID_IXmlReader here
#include <objidl.h>
#include <xmllite.h>

#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/com_ptr.h"
#include "common/error.h"
#include "hostproduct/com_error.h"
#include "hostproduct/contract.h"
#include "hostproduct/host_product_info.h"
#include "process/child_process.h"
#include "service/service_control.h"

namespace tendro {

DWORD DefinitionReadTimeoutMs = StreamReadTimeoutMs;

namespace {

constexpr DWORD ErrorVersion = ERROR_EXTENDED_ERROR;  // 1208

// Success carries no text: its message is the system's text for 0 alone.
std::system_error Success() { return std::system_error(SystemErrorCode(0)); }

std::system_error VersionError() {
    return SystemError(ErrorVersion, DefinitionVersionErrorText);
}

std::system_error TimeoutError() {
    return SystemError(ERROR_TIMEOUT, DefinitionTimeoutText);
}

// The version attribute's value as the standard string-to-int conversion reads it; false for
// a value without digits or outside the 32-bit range.
bool ParseVersion(const wchar_t* text, int& version) {
    try {
        version = std::stoi(std::wstring(text ? text : L""), nullptr, 10);
        return true;
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}

bool NameIs(const wchar_t* name, const wchar_t* expected) {
    return name != nullptr && std::wcscmp(name, expected) == 0;
}

// The state of the walk over one document.
class DefinitionWalk {
public:
    explicit DefinitionWalk(IXmlReader* reader) : reader_(reader) {}

    // Reads nodes until a stop and returns its outcome.
    std::system_error Run(const CStdStream& stream) {
        for (;;) {
            if (reader_->IsEOF()) return Success();
            XmlNodeType type = XmlNodeType_None;
            HRESULT hr = reader_->Read(&type);
            if (hr == E_PENDING && SUCCEEDED(stream.ReadFailure())) {
                ::Sleep(0);
                continue;
            }
            if (FAILED(hr)) return StreamOutcome(stream, hr == E_PENDING ? stream.ReadFailure() : hr);
            switch (type) {
            case XmlNodeType_Element: {
                bool stop = false;
                if (auto outcome = StartElement(stop); outcome.code().value() != 0) return outcome;
                if (stop) return Success();
                break;
            }
            case XmlNodeType_Text:
                if (inExecutable_) return Success();
                break;
            case XmlNodeType_EndElement:
                --depth_;
                PopElement();
                break;
            default:
                break;
            }
            // A reader whose stream has failed may go on handing out what it still holds, or
            // the same node again and again: the stream's failure ends the walk.
            if (FAILED(stream.ReadFailure())) return StreamOutcome(stream, stream.ReadFailure());
        }
    }

private:
    static std::system_error StreamOutcome(const CStdStream& stream, HRESULT hr) {
        return stream.TimedOut() ? TimeoutError() : ComError(hr);
    }

    std::system_error StartElement(bool& stop) {
        int before = depth_;
        ++depth_;
        open_.push_back(nullptr);
        const wchar_t* name = nullptr;
        if (FAILED(reader_->GetLocalName(&name, nullptr))) name = nullptr;
        if (depth_ == 0) {
            inService_ = NameIs(name, L"Service");
            if (inService_) {
                open_.back() = &inService_;
                if (!versionRead_) {
                    if (reader_->MoveToAttributeByName(L"version", host::XmlNamespace) != S_OK)
                        return VersionError();
                    versionRead_ = true;
                    const wchar_t* value = nullptr;
                    if (FAILED(reader_->GetValue(&value, nullptr))) value = nullptr;
                    if (!ParseVersion(value, version_) || version_ < 2 || version_ > 4)
                        return VersionError();
                    reader_->MoveToElement();
                }
            }
        } else if (depth_ == 1 && inService_) {
            inProgram_ = NameIs(name, L"Program");
            if (inProgram_) {
                open_.back() = &inProgram_;
                if ((version_ == 3 || version_ == 4) &&
                    reader_->MoveToAttributeByName(L"executable", nullptr) == S_OK) {
                    reader_->MoveToElement();
                    stop = true;
                }
            }
        } else if (depth_ == 2 && version_ == 2 && inProgram_ && NameIs(name, L"Executable")) {
            inExecutable_ = true;
        }
        if (reader_->IsEmptyElement()) {
            depth_ = before;
            PopElement();
        }
        return Success();
    }

    void PopElement() {
        if (open_.empty()) return;
        if (bool* flag = open_.back()) *flag = false;
        open_.pop_back();
    }

    IXmlReader* reader_;
    int depth_ = -1;
    int version_ = 0;
    bool versionRead_ = false;
    bool inService_ = false;
    bool inProgram_ = false;
    bool inExecutable_ = false;
    std::vector<bool*> open_;  // per open element: the flag it set, or none
};

}  // namespace

std::wstring DefinitionExportCommandLine(const std::wstring& shortName) {
    return QuotedServiceExePath() + L" " + host::ExportArgument + L" " + quote_argument(shortName) +
           L" \"\"";
}

std::system_error ReadDefinition(HANDLE pipe, DWORD timeoutMs) {
    ComPtr<IUnknown> stream;
    auto* pipeStream = new CStdStream(pipe, nullptr, false, timeoutMs);
    pipeStream->QueryInterface(IID_IUnknown, stream.put_void());

    ComPtr<IXmlReader> reader;
    HRESULT hr = ::CreateXmlReader(IID_IXmlReader, reader.put_void(), nullptr);
    if (FAILED(hr)) return ComError(hr);
    reader->SetInput(stream.get());
    std::system_error outcome = DefinitionWalk(reader.get()).Run(*pipeStream);
    reader.reset();
    return outcome;
}

std::system_error ServiceControl::LoadDefinition() {
    if (isPlainService != 0) return Success();
    child_process child = launch_child(DefinitionExportCommandLine(shortName));
    // Nothing is fed to the child and its standard error is not read: closing both ends at
    // once lets the child see the end of its input and keeps error output from filling a pipe.
    child.stdin_write.reset();
    child.stderr_read.reset();
    return ReadDefinition(child.stdout_read.get());
}

}  // namespace tendro

#include "service/service_control.h"

// Placeholder until the service operations land.
namespace tendro {

const wchar_t* const ServiceStateWords[7] = {L"Stopped", L"Start pending", L"Stop pending",
                                             L"Running", L"continue pending", L"Pause pending",
                                             L"Paused"};

std::wstring ServiceStateWord(uint32_t state) {
    if (state == 0 || state > 7) return L"Undefined";
    return ServiceStateWords[state - 1];
}

ServiceNameParts SplitServiceName(const std::wstring& name) { return {L"", name}; }

ImpersonationScope::ImpersonationScope(HANDLE token) noexcept : token_(token) {}
ImpersonationScope::~ImpersonationScope() { Revert(); }
void ImpersonationScope::Revert() noexcept { token_ = nullptr; }

ServiceControl::ServiceControl(SharedScHandle scm_, SharedToken token_, std::wstring name_,
                               uint32_t isPlainService_)
    : scm(std::move(scm_)), token(std::move(token_)), name(std::move(name_)),
      isPlainService(isPlainService_) {}

int32_t ServiceControl::Stop() { return 0; }
int32_t ServiceControl::Start() { return -1; }
uint32_t ServiceControl::GetStatus() { return 0; }
int32_t ServiceControl::GetServicePid() { return -1; }

}  // namespace tendro

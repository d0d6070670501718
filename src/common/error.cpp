#include "common/error.h"

#include "common/text.h"

namespace tendro {

std::wstring DescribeSystemError(const std::system_error& e) {
    return L"[" + ToWide(e.code().category().name()) + L":" + std::to_wstring(e.code().value()) +
           L"] " + ToWide(e.what());
}

}  // namespace tendro

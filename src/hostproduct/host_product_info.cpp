#include "hostproduct/host_product_info.h"

// Placeholder until the installation discovery lands.
namespace tendro {

HostProductInfoRecord HostProductInfo;

bool DetectHostProduct() { return false; }
std::system_error LoadHostProductInfo(const std::wstring&) {
    return std::system_error(ERROR_FILE_NOT_FOUND, std::system_category(), "");
}
bool ReadRegString(HKEY, const wchar_t*, std::wstring&, bool, const wchar_t*) { return false; }
bool ReadRegDword(HKEY, const wchar_t*, uint32_t&) { return false; }
void ReadRegTime(HKEY, const wchar_t*, int64_t&) {}

}  // namespace tendro

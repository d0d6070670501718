#include <objbase.h>

#include "app/startup.h"

int wmain(int argc, wchar_t** argv) {
    tendro::PrepareProcess();
    int exitCode = tendro::RunTendro(argc, argv);
    ::CoUninitialize();
    return exitCode;
}

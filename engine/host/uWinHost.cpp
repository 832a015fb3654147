// The real host: construction, sleeping and the program's own path.
// The operations themselves live in uRunner.cpp, uProcessControl.cpp and uFileTree.cpp.
#include "uWinHost.h"

#include <memory>

#include "uHardening.h"

std::unique_ptr<THost> CreateWindowsHost() {
    return std::make_unique<TWinHost>();
}

void TWinHost::Sleep(int ms) {
    if (ms > 0)
        ::Sleep(static_cast<DWORD>(ms));
}

std::wstring TWinHost::ExePath() {
    return ProgramPath();
}

// The real host: construction, sleeping and the program's own path.
// The operations themselves live in uRunner.cpp, uProcessControl.cpp and uFileTree.cpp.
#include "uWinHost.h"

#include <memory>

std::unique_ptr<THost> CreateWindowsHost() {
    return std::make_unique<TWinHost>();
}

void TWinHost::Sleep(int ms) {
    if (ms > 0)
        ::Sleep(static_cast<DWORD>(ms));
}

std::wstring TWinHost::ExePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return std::wstring();
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768)
            return std::wstring();
        buf.resize(buf.size() * 2);
    }
}

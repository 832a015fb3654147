// The real host: construction, sleeping, the program's own path and the system's error texts.
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

std::wstring SysErrorMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring msg;
    if (n != 0 && text != nullptr)
        msg.assign(text, n);
    if (text != nullptr)
        ::LocalFree(text);
    // The system's texts end in a line break; the log and the messages carry one line.
    while (!msg.empty() && (msg.back() == L'\r' || msg.back() == L'\n' || msg.back() == L' '))
        msg.pop_back();
    if (msg.empty())
        msg = L"System error " + std::to_wstring(code);
    return msg;
}

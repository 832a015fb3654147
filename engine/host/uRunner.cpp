// Command and program runner: every outside program starts here, hidden, with a time-out.
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uWinHandles.h"
#include "uWinHost.h"

int TWinHost::Run(const std::wstring& commandLine, const wchar_t* workDir, int timeoutMs) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          workDir, &si, &pi)) {
        Log(L"    ! Çalıştırılamadı: " + SysErrorMessage(::GetLastError()));
        return -1;
    }
    TWinHandle process(pi.hProcess);
    TWinHandle thread(pi.hThread);
    // A negative time-out would mean INFINITE to the system: no wait here is unbounded.
    ::WaitForSingleObject(process.Get(), timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0);
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.Get(), &code))
        code = static_cast<DWORD>(-1);
    if (code != 0)
        Log(L"    (çıkış: " + std::to_wstring(code) + L")");
    return static_cast<int>(code);
}

int TWinHost::RunCmd(const std::wstring& cmd, int timeoutMs) {
    Log(L"  > " + cmd);
    // cmd.exe strips the outer pair of quotes, so a command with quoted parts runs as written.
    const std::wstring line = L"cmd.exe /C \"" + cmd + L"\"";
    const std::wstring installDir = InstallDir();
    return Run(line, DirectoryExists(installDir) ? installDir.c_str() : nullptr, timeoutMs);
}

int TWinHost::RunExe(const std::wstring& exePath, const std::wstring& args, int timeoutMs) {
    Log(L"  > " + EngineRules::ExtractFileName(exePath) + L" " + args);
    const std::wstring line = L"\"" + exePath + L"\" " + args;
    // The program's own folder; when that folder is missing the start fails on the program
    // itself, so the log names the real cause instead of an invalid working folder.
    const std::wstring dir = EngineRules::ExtractFileDir(exePath);
    return Run(line, DirectoryExists(dir) ? dir.c_str() : nullptr, timeoutMs);
}

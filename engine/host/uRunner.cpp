// Command and program runner: every outside program starts here, hidden, with a time-out.
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uHardening.h"
#include "uWinHandles.h"
#include "uWinHost.h"

namespace {

// The Windows tools our commands name. cmd.exe would look for them in its working folder (the
// installation folder, writable by ordinary users) before System32; a full path leaves no choice.
const wchar_t* const SYSTEM_TOOLS[] = {L"taskkill", L"net", L"sc", L"netsh"};

// The command with its first word, when that names one of SYSTEM_TOOLS, replaced by the tool's
// quoted full path in System32.
std::wstring WithSystemTool(const std::wstring& cmd) {
    const size_t end = cmd.find(L' ');
    const std::wstring word = cmd.substr(0, end);
    for (const wchar_t* tool : SYSTEM_TOOLS) {
        if (EngineRules::SameTextAscii(word, tool) ||
            EngineRules::SameTextAscii(word, std::wstring(tool) + L".exe"))
            return L"\"" + System32Path(std::wstring(tool) + L".exe") + L"\"" +
                   (end == std::wstring::npos ? std::wstring() : cmd.substr(end));
    }
    return cmd;
}

} // namespace

int TWinHost::Run(const wchar_t* application, const std::wstring& commandLine,
                  const wchar_t* workDir, int timeoutMs) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    if (!::CreateProcessW(application, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, workDir, &si, &pi)) {
        Log(L"    ! Çalıştırılamadı: " + SysErrorMessage(::GetLastError()));
        return -1;
    }
    TWinHandle process(pi.hProcess);
    TWinHandle thread(pi.hThread);
    // A negative time-out would mean INFINITE to the system: no wait here is unbounded.
    WaitForProgram(process.Get(), commandLine, timeoutMs > 0 ? timeoutMs : 0);
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.Get(), &code))
        code = static_cast<DWORD>(-1);
    if (code != 0)
        Log(L"    (çıkış: " + std::to_wstring(code) + L")");
    return static_cast<int>(code);
}

DWORD TWinHost::WaitForProgram(HANDLE process, const std::wstring&, int timeoutMs) {
    return ::WaitForSingleObject(process, static_cast<DWORD>(timeoutMs));
}

int TWinHost::RunCmd(const std::wstring& cmd, int timeoutMs) {
    Log(L"  > " + cmd);
    // cmd.exe strips the outer pair of quotes, so a command with quoted parts runs as written.
    // The interpreter itself comes from System32 too: as a bare name the system would look for
    // it first in the setup file's own folder.
    const std::wstring interpreter = System32Path(L"cmd.exe");
    const std::wstring line = L"\"" + interpreter + L"\" /C \"" + WithSystemTool(cmd) + L"\"";
    const std::wstring installDir = InstallDir();
    return Run(interpreter.c_str(), line,
               DirectoryExists(installDir) ? installDir.c_str() : nullptr, timeoutMs);
}

int TWinHost::RunExe(const std::wstring& exePath, const std::wstring& args, int timeoutMs) {
    Log(L"  > " + EngineRules::ExtractFileName(exePath) + L" " + args);
    const std::wstring line = L"\"" + exePath + L"\" " + args;
    // The program's own folder; when that folder is missing the start fails on the program
    // itself, so the log names the real cause instead of an invalid working folder.
    const std::wstring dir = EngineRules::ExtractFileDir(exePath);
    return Run(nullptr, line, DirectoryExists(dir) ? dir.c_str() : nullptr, timeoutMs);
}

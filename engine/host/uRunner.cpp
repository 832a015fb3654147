// Command and program runner: every outside program starts here, hidden, with a time-out.
#include <vector>

#include "uEngineRules.h"
#include "uFileUtil.h"
#include "uHardening.h"
#include "uWin32Seam.h"
#include "uWinHandles.h"
#include "uWinHost.h"

namespace {

// The Windows tools our commands name; they start from System32 by their full path, never
// found along a search path (the installation folder, the setup file's folder, the user's PATH).
const wchar_t* const SYSTEM_TOOLS[] = {L"taskkill", L"net", L"sc", L"netsh"};

// When cmd's first word names one of SYSTEM_TOOLS and the rest needs no interpreter (no
// redirection, pipe or variable), the tool's full path and the rest of the command.
bool DirectTool(const std::wstring& cmd, std::wstring& program, std::wstring& rest) {
    const size_t end = cmd.find(L' ');
    const std::wstring word = cmd.substr(0, end);
    rest = end == std::wstring::npos ? std::wstring() : cmd.substr(end);
    if (rest.find_first_of(L"&|<>^%") != std::wstring::npos)
        return false;
    for (const wchar_t* tool : SYSTEM_TOOLS) {
        if (EngineRules::SameTextAscii(word, tool) ||
            EngineRules::SameTextAscii(word, std::wstring(tool) + L".exe")) {
            program = System32Path(std::wstring(tool) + L".exe");
            return true;
        }
    }
    return false;
}

std::wstring System32Dir() {
    std::wstring dir = System32Path(L"");
    while (dir.size() > 3 && dir.back() == L'\\')
        dir.pop_back();
    return dir;
}

// The environment of every program the engine starts: the system's folders and a temporary
// folder of this run, nothing of the user's (PATH, TEMP, variables that tools read).
std::vector<wchar_t> MinimalEnvironment(const std::wstring& temp) {
    wchar_t buf[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemWindowsDirectoryW(buf, MAX_PATH + 1);
    std::wstring windows(buf, n <= MAX_PATH ? n : 0);
    if (windows.empty())
        windows = L"C:\\Windows";
    while (windows.size() > 3 && windows.back() == L'\\')
        windows.pop_back();
    const std::wstring system32 = System32Dir();
    // Sorted without regard to case, as Windows keeps its blocks.
    const std::wstring vars[] = {
        L"ComSpec=" + system32 + L"\\cmd.exe",
        L"PATH=" + system32 + L";" + windows + L";" + system32 + L"\\Wbem;" + system32 +
            L"\\WindowsPowerShell\\v1.0\\",
        L"SystemDrive=" + windows.substr(0, 2),
        L"SystemRoot=" + windows,
        L"TEMP=" + temp,
        L"TMP=" + temp,
        L"windir=" + windows,
    };
    std::vector<wchar_t> block;
    for (const std::wstring& v : vars) {
        block.insert(block.end(), v.begin(), v.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

} // namespace

TWinHost::~TWinHost() {
    if (!FTempDir.empty())
        DeleteDirRecursive(FTempDir);
}

std::wstring TWinHost::ProgramTempDir() {
    // Made on first use, only SYSTEM and Administrators inside; without it the programs get
    // the system's own temporary folder, never the user's.
    if (FTempDir.empty()) {
        std::wstring why;
        if (!CreatePrivateTempDir(L"CorvaneKomut_", FTempDir, why))
            FTempDir.clear();
    }
    if (!FTempDir.empty())
        return FTempDir;
    wchar_t buf[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemWindowsDirectoryW(buf, MAX_PATH + 1);
    return std::wstring(buf, n <= MAX_PATH ? n : 0) + L"\\Temp";
}

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
    std::vector<wchar_t> environment = MinimalEnvironment(ProgramTempDir());
    if (!vpfnCreateProcessW(application, cmd.data(), nullptr, nullptr, FALSE,
                            CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                            workDir, &si, &pi)) {
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
    // Working folder System32: neither the installation folder nor the setup file's folder,
    // where an ordinary user may have put a program of the tools' names.
    const std::wstring system32 = System32Dir();
    std::wstring program, rest;
    if (DirectTool(cmd, program, rest))
        return Run(program.c_str(), L"\"" + program + L"\"" + rest, system32.c_str(), timeoutMs);
    // cmd.exe strips the outer pair of quotes, so a command with quoted parts runs as written.
    // /D: no AutoRun command of the registry (the user's own key included) runs first.
    const std::wstring interpreter = System32Path(L"cmd.exe");
    const std::wstring line = L"\"" + interpreter + L"\" /D /C \"" + cmd + L"\"";
    return Run(interpreter.c_str(), line, system32.c_str(), timeoutMs);
}

int TWinHost::RunExe(const std::wstring& exePath, const std::wstring& args, int timeoutMs) {
    Log(L"  > " + EngineRules::ExtractFileName(exePath) + L" " + args);
    const std::wstring line = L"\"" + exePath + L"\" " + args;
    // The program's own folder; when that folder is missing the start fails on the program
    // itself, so the log names the real cause instead of an invalid working folder.
    const std::wstring dir = EngineRules::ExtractFileDir(exePath);
    return Run(exePath.c_str(), line, DirectoryExists(dir) ? dir.c_str() : nullptr, timeoutMs);
}

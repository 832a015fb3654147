// The real system behind the windows.
#include "uUiSystem.h"

#include <shellapi.h>
#include <shlobj.h>

#include "uHardening.h"

bool TUiSystem::IsAdmin() {
    return IsUserAnAdmin() != FALSE;
}

std::wstring TUiSystem::ExePath() {
    return ProgramPath();
}

INT_PTR TUiSystem::ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                                    const wchar_t* params, const std::wstring& dir, int show) {
    return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, verb, file.c_str(), params,
                                                   dir.empty() ? nullptr : dir.c_str(), show));
}

bool TUiSystem::RunElevatedAndWait(const std::wstring& file, const std::wstring& params,
                                   const std::wstring& dir, DWORD& exitCode) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = params.empty() ? nullptr : params.c_str();
    info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info) || !info.hProcess) {
        exitCode = GetLastError();
        if (exitCode == ERROR_SUCCESS)
            exitCode = ERROR_FILE_NOT_FOUND;
        return false;
    }
    // An installation with a full copy takes minutes, not hours: a copy that is still running
    // after twelve hours hangs, and the caller is told the run failed (1603, as both programs
    // say it).
    exitCode = ERROR_INSTALL_FAILURE;
    if (WaitForSingleObject(info.hProcess, 12 * 60 * 60 * 1000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(info.hProcess, &exitCode))
        exitCode = ERROR_INSTALL_FAILURE;
    CloseHandle(info.hProcess);
    return true;
}

int TUiSystem::ShowMessageBox(HWND owner, const std::wstring& text, UINT type) {
    return MessageBoxW(owner, text.c_str(), FTitle, type);
}

std::vector<std::wstring> CommandLineArguments() {
    std::vector<std::wstring> args;
    int argc = 0;
    if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i)
            args.emplace_back(argv[i]);
        LocalFree(argv);
    }
    return args;
}

std::wstring FullPathName(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    const DWORD m = n ? GetFullPathNameW(path.c_str(), n, full.data(), nullptr) : 0;
    return m > 0 && m < n ? full.substr(0, m) : path;
}

std::wstring JoinArguments(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (const std::wstring& arg : args) {
        if (!line.empty())
            line += L' ';
        if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
            line += arg;
            continue;
        }
        // Quoted: backslashes before a quote are doubled, a quote is escaped.
        line += L'"';
        size_t slashes = 0;
        for (wchar_t c : arg) {
            if (c == L'\\') {
                ++slashes;
            } else if (c == L'"') {
                line.append(slashes * 2 + 1, L'\\');
                slashes = 0;
                line += c;
                continue;
            } else {
                line.append(slashes, L'\\');
                slashes = 0;
            }
            if (c != L'\\')
                line += c;
        }
        line.append(slashes * 2, L'\\');
        line += L'"';
    }
    return line;
}

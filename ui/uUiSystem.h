#pragma once
// TUiSystem: what a program of ours asks of the system that a test must be able to answer in its
// place: message boxes with the program's title, the administrator test, starting programs
// through the shell, the elevated relaunch and the running program's own path. The real answers
// come from this class itself; each program's system and the tests derive from it.
#include <windows.h>

#include <string>
#include <vector>

class TUiSystem {
public:
    // title: the caption of the program's message boxes.
    explicit TUiSystem(const wchar_t* title) : FTitle(title) {}
    virtual ~TUiSystem() = default;

    virtual bool IsAdmin();
    // Full path of the running program.
    virtual std::wstring ExePath();
    // ShellExecuteW; the result as the call returns it (greater than 32: started).
    virtual INT_PTR ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                                     const wchar_t* params, const std::wstring& dir, int show);
    // Starts the program elevated ("runas") with the given arguments and waits, bounded, for it
    // to end. False when it could not be started, exitCode then the reason (ERROR_CANCELLED:
    // the user refused the elevation); otherwise exitCode is the elevated copy's exit code.
    virtual bool RunElevatedAndWait(const std::wstring& file, const std::wstring& params,
                                    const std::wstring& dir, DWORD& exitCode);
    // Modal message box with the program's title; returns the button pressed (IDOK, IDYES...).
    virtual int ShowMessageBox(HWND owner, const std::wstring& text, UINT type);

private:
    const wchar_t* FTitle;
};

// The arguments after the program's name, as the program's argument splitting gives them.
std::vector<std::wstring> CommandLineArguments();

// The path made full against the current folder (an elevated copy starts in another); the path
// itself when it cannot be.
std::wstring FullPathName(const std::wstring& path);

// The arguments again as one command line for CreateProcess/ShellExecute, each quoted when
// needed so that the program's argument splitting gives them back unchanged.
std::wstring JoinArguments(const std::vector<std::wstring>& args);

// The name of the machine-wide mutex a running setup or uninstaller holds: never two at once.
inline constexpr const wchar_t* SETUP_MUTEX_NAME = L"Global\\CorvaneMarketSetup";

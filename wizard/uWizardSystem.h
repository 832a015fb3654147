#pragma once
// TWizardSystem: what the window asks of the system that a test must be able to answer in its
// place: message boxes, the administrator test, starting programs through the shell (the
// elevated relaunch and the till program), the drive queries, the setup file's own path and the
// installation folder recorded in the uninstall entry and the making of the engine and the
// payload reader. The real answers come from this class itself;
// tests derive from it.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class TSetupEngine;
class TPayloadExtractor;

class TWizardSystem {
public:
    virtual ~TWizardSystem() = default;

    virtual bool IsAdmin();
    // Full path of the running setup file.
    virtual std::wstring ExePath();
    // The release's version ("2.4.1"): the one stamped into the program's version resource, or
    // else the one its file name carries; empty when neither says.
    virtual std::wstring ProgramVersion();
    // ShellExecuteW; the result as the call returns it (greater than 32: started).
    virtual INT_PTR ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                                     const wchar_t* params, const std::wstring& dir, int show);
    // Starts a program as the user signed in at the desktop, not with this process's
    // administrator rights: through the desktop shell's automation object, so that the shell
    // (running as that user) starts it. False when no such shell answers; nothing is started.
    virtual bool StartAsSignedInUser(const std::wstring& file, const std::wstring& dir);
    // Starts the setup file elevated ("runas") with the given arguments and waits, bounded, for
    // it to end. False when it could not be started, exitCode then the reason (ERROR_CANCELLED:
    // the user refused the elevation); otherwise exitCode is the elevated copy's exit code.
    virtual bool RunElevatedAndWait(const std::wstring& file, const std::wstring& params,
                                    const std::wstring& dir, DWORD& exitCode);
    // Modal message box with the program's title; returns the button pressed (IDOK, IDYES...).
    virtual int ShowMessageBox(HWND owner, const std::wstring& text, UINT type);

    virtual DWORD LogicalDrives();
    virtual UINT DriveType(const std::wstring& root);
    // Bytes free for the calling user on the drive of root; empty when the query fails.
    virtual std::optional<uint64_t> FreeBytes(const std::wstring& root);

    // "InstallLocation" of the uninstall entry an installation leaves; empty when there is none.
    virtual std::wstring RecordedInstallLocation();

    virtual std::unique_ptr<TSetupEngine> CreateEngine();
    virtual std::unique_ptr<TPayloadExtractor> CreatePayload();
};

// "major.minor.build" of a version resource's fixed part; empty for 0.0.0 (a build that was
// not stamped) or a resource that is not one.
std::wstring FixedFileVersion(const void* resource, size_t bytes);

// The application's title, also the caption of its message boxes.
inline constexpr const wchar_t* APP_TITLE = L"CorvaneMarket Kurulum";

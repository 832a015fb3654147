#pragma once
// What the window tests share: a system that answers in place of the real one and records what
// the window asked of it, an engine host that starts nothing, and ways to drive and read the
// window as a user would see it.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "../engine/TestFiles.h"
#include "MachineProbe.h"

#include "uMain.h"
#include "uPayload.h"
#include "uSetupEngine.h"

// Host of the window's engine in tests: every outside program "runs" and returns 0 at once,
// sleeps are recorded, and the file operations do nothing. OnCall runs on the engine's worker
// thread at the start of every host operation, with the operation's name and argument.
class TScriptedHost : public THost {
public:
    explicit TScriptedHost(std::wstring exePath) : FExePath(std::move(exePath)) {}
    ~TScriptedHost() override {
        if (OnFreed)
            OnFreed();
    }

    std::function<void(const std::wstring& call)> OnCall;
    // Runs when the engine that owns this host frees it.
    std::function<void()> OnFreed;
    // The programs IsProcessRunning finds running.
    std::vector<std::wstring> Running;

    void Sleep(int ms) override;
    int RunCmd(const std::wstring& cmd, int timeoutMs) override;
    int RunExe(const std::wstring& exe, const std::wstring&, int) override {
        Call(L"RunExe " + exe);
        return 0;
    }
    bool IsProcessRunning(const std::wstring& name) override {
        Call(L"IsProcessRunning " + name);
        return std::find(Running.begin(), Running.end(), name) != Running.end();
    }
    bool WaitProcessExit(const std::wstring& name, int) override {
        Call(L"WaitProcessExit " + name);
        return true;
    }
    bool StopServiceWait(const std::wstring& name, int) override {
        Call(L"StopServiceWait " + name);
        return true;
    }
    bool DeleteServiceWait(const std::wstring& name, int) override {
        Call(L"DeleteServiceWait " + name);
        return true;
    }
    void CopyDirRecursive(const std::wstring& src, const std::wstring&) override {
        Call(L"CopyDirRecursive " + src);
    }
    void CopyDirWithRetry(const std::wstring& src, const std::wstring&, int) override {
        Call(L"CopyDirWithRetry " + src);
    }
    void CopyOneFile(const std::wstring& src, const std::wstring&) override {
        Call(L"CopyOneFile " + src);
    }
    int64_t GetFreeSpace(const std::wstring& path) override {
        Call(L"GetFreeSpace " + path);
        return int64_t(1) << 40;
    }
    int64_t GetDirSize(const std::wstring& dir) override {
        Call(L"GetDirSize " + dir);
        return 0;
    }
    std::wstring ExePath() override { return FExePath; }

    // Every operation called so far, in order.
    std::vector<std::wstring> Calls() const;

private:
    void Call(const std::wstring& what);

    std::wstring FExePath;
    mutable std::mutex FLock;
    std::vector<std::wstring> FCalls;
};

// Holds the window's engine at its first host operation until released, so that a test can look
// at a running installation. Every wait is bounded.
class TRunGate {
public:
    void Hold(); // worker side
    bool WaitHeld(int timeoutMs = 10000);
    void Release();

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FHeld = false;
    bool FReleased = false;
};

// The payload reader's system with the setup file and the temporary folder of the test's choice.
class TTestPayloadPlatform : public TSystemPayloadPlatform {
public:
    TTestPayloadPlatform(std::wstring exePath, std::wstring tempPath)
        : FExePath(std::move(exePath)), FTempPath(std::move(tempPath)) {}
    std::wstring ExePath() override {
        if (ThrowOnExePath)
            throw ESetupError(*ThrowOnExePath);
        return FExePath;
    }
    std::wstring TempPath() override { return FTempPath; }
    // The setup file is there and opens, but its end cannot be read (a share that dropped):
    // reading fails with this system error.
    std::optional<DWORD> ReadError;
    bool FileExists(const std::wstring& path) override {
        return ReadError ? path == FExePath : TSystemPayloadPlatform::FileExists(path);
    }
    std::unique_ptr<TZipInput> OpenRead(const std::wstring& path, bool allowWriters) override;
    std::optional<std::wstring> ThrowOnExePath;

private:
    std::wstring FExePath;
    std::wstring FTempPath;
};

struct TMessageBoxCall {
    HWND Owner;
    std::wstring Text;
    UINT Type;
};

struct TShellCall {
    HWND Owner;
    std::wstring Verb;
    std::wstring File;
    bool NoParams;
    std::wstring Dir;
    int Show;
};

struct TElevatedCall {
    std::wstring File, Params, Dir;
};

class TFakeSystem : public TWizardSystem {
public:
    // What the test poses as.
    bool Admin = true;
    std::wstring Exe = L"C:\\corvane\\CorvaneMarketSetup.exe";
    INT_PTR ShellResult = 42;
    std::deque<int> Answers; // for message boxes; IDOK when none is left
    // Runs while a message box is "open", as the box's own message loop would run other work.
    std::function<void()> WhileMessageBox;
    // Drives by letter with their type; letters absent do not exist. Empty optional free space:
    // the query fails.
    std::map<wchar_t, UINT> Drives = {{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}};
    std::map<wchar_t, std::optional<uint64_t>> Free;
    bool RealDrives = false;
    // The payload reader; by default one over the posed setup file (which does not exist, so
    // there is no payload).
    std::function<std::unique_ptr<TPayloadExtractor>()> PayloadFactory;
    std::function<void(TScriptedHost&)> ConfigureHost;
    // The uninstall entry's folder as the window reads it.
    std::wstring InstallLocation;
    // The elevated copy that the relaunch with switches waits for: whether it starts (false:
    // the user refused) and the exit code it ends with.
    bool ElevatedStarts = true;
    DWORD ElevatedExitCode = 0;

    // What the window did.
    std::vector<TMessageBoxCall> Boxes;
    std::vector<TShellCall> ShellCalls;
    std::vector<TElevatedCall> ElevatedCalls;
    std::vector<TSetupEngine*> Engines; // in order of creation; the first is the window's
    std::vector<TScriptedHost*> Hosts;
    int DriveQueries = 0;

    bool IsAdmin() override { return Admin; }
    std::wstring ExePath() override { return Exe; }
    INT_PTR ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                             const wchar_t* params, const std::wstring& dir, int show) override;
    int ShowMessageBox(HWND owner, const std::wstring& text, UINT type) override;
    // Recorded among ShellCalls with the verb "as-user"; ShellResult > 32 means started.
    bool StartAsSignedInUser(const std::wstring& file, const std::wstring& dir) override {
        ShellCalls.push_back({nullptr, L"as-user", file, true, dir, SW_SHOWNORMAL});
        return ShellResult > 32;
    }
    bool RunElevatedAndWait(const std::wstring& file, const std::wstring& params,
                            const std::wstring& dir, DWORD& exitCode) override {
        ElevatedCalls.push_back({file, params, dir});
        exitCode = ElevatedExitCode;
        return ElevatedStarts;
    }
    DWORD LogicalDrives() override;
    UINT DriveType(const std::wstring& root) override;
    std::optional<uint64_t> FreeBytes(const std::wstring& root) override;
    std::wstring RecordedInstallLocation() override { return InstallLocation; }
    std::unique_ptr<TSetupEngine> CreateEngine() override;
    std::unique_ptr<TPayloadExtractor> CreatePayload() override;

    TSetupEngine& Engine() { return *Engines.at(0); }
    TScriptedHost& Host() { return *Hosts.at(0); }
};

void PumpFor(int ms);

std::wstring Text(HWND wnd);
bool Shown(HWND wnd); // the control's own visibility, whatever its page shows
bool Enabled(HWND wnd);
bool Checked(HWND wnd);
void SetChecked(HWND wnd, bool checked);
void Click(HWND button);
// Picks an item of a drop-down list as the user does: the list's change handler runs.
void Pick(HWND combo, const std::wstring& item);
std::vector<std::wstring> Items(HWND combo);
std::wstring SelectedItem(HWND combo);
std::vector<std::wstring> MemoLines(HWND memo);
RECT RectInParent(HWND wnd);

struct TFontInfo {
    int Height;
    bool Bold;
    bool Italic;
    std::wstring Face;
};
TFontInfo FontOf(HWND wnd);

// A folder (and its contents) removed at the end of the scope.
class TTempDir {
public:
    explicit TTempDir(std::wstring path);
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::wstring& Path() const { return FPath; }

private:
    std::wstring FPath;
};
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

// The window as the user sees it on the screen: its client area, 24-bit RGB rows.
struct TCapture {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Rgb;
    COLORREF Pixel(int x, int y) const;
};
TCapture CaptureClient(HWND wnd);
void WritePng(const TCapture& image, const std::wstring& path);
// Folder of the test program: the build folder the screenshots go to.
std::wstring TestProgramDir();

// A fixture with the fake system and one window.
class TWizardTest : public testing::Test {
protected:
    void TearDown() override;
    // Creates the window; false when the window decided that the process ends. Shown only where
    // the screen matters: under Xvfb without a window manager, Wine waits two seconds for every
    // shown window to be withdrawn again.
    bool Open(bool shown = false);
    HWND C(const std::wstring& name) const;
    // The window's engine stops at its first host operation until ReleaseRun.
    void HoldRuns();
    bool WaitRunHeld() { return FGate.WaitHeld(); }
    void ReleaseRun() { FGate.Release(); }
    // Settings page, then "Kur".
    void GoToSettings();
    void PressKur();
    // Closes the window from outside, without the close guard.
    void Destroy();
    bool WindowGone() const { return !Form || !Form->Handle(); }

    TFakeSystem Sys;
    std::unique_ptr<TfrmSetup> Form;

private:
    TRunGate FGate;
};

#pragma once
// Shared fixtures of the host tests: a host that records its sleeps and log lines, temporary
// folders, the stand-in programs and the services they register.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "MachineProbe.h"
#include "host/uWinHost.h"

// The real host with its waits recorded instead of spent. RealSleepMs lets a test give the
// system a moment per recorded wait where a real service or process has to catch up.
class TRecordingHost : public TWinHost {
public:
    TRecordingHost() {
        Attach([this](const std::wstring& m) { Lines.push_back(m); });
    }
    void Sleep(int ms) override {
        Sleeps.push_back(ms);
        if (OnSleep)
            OnSleep(Sleeps.size());
        if (RealSleepMs > 0)
            ::Sleep(static_cast<DWORD>(RealSleepMs));
    }
    // With ProgramWaitMs set, a started program may take that long (at least its own time-out):
    // on a loaded machine a Wine program can take longer to start than the product allows.
    // Every start is recorded in Programs with its bound, the time taken and its result.
    DWORD WaitForProgram(HANDLE process, const std::wstring& commandLine, int timeoutMs) override;
    std::wstring ProgramsText() const;

    std::vector<std::wstring> Lines;
    std::vector<int> Sleeps;
    int RealSleepMs = 0;
    int ProgramWaitMs = 0;
    std::vector<std::wstring> Programs;
    // Called with the number of sleeps so far, before the (short) real sleep.
    std::function<void(size_t)> OnSleep;
};

// A folder of its own under the temporary folder, removed with everything in it at the end.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::wstring& Path() const { return FPath; }
    std::wstring operator/(const std::wstring& name) const { return FPath + L"\\" + name; }

private:
    std::wstring FPath;
};

std::wstring StandinsDir();
std::wstring Standin(const std::wstring& exeName);

void WriteText(const std::wstring& path, const std::string& text);
std::string ReadText(const std::wstring& path);
std::wstring CurrentDir();

// A stand-in started by the test and ended (TerminateProcess, bounded wait) when it goes out
// of scope. Start waits until the program reports itself up (listening, holding its lock, its
// window made), however long a loaded machine takes, within a generous deadline; a failure
// says what was seen.
class TChild {
public:
    TChild() = default;
    ~TChild() { Kill(); }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    // desktop: the desktop to start the program on (empty: the caller's).
    ::testing::AssertionResult Start(const std::wstring& exe, const std::wstring& args,
                                     const std::wstring& desktop = L"");
    void Kill();
    bool Running() const;
    HANDLE Handle() const { return FProcess; }

private:
    HANDLE FProcess = nullptr;
};

// Runs a program and returns its exit code (-1 when it did not start, 259 after timeoutMs).
int RunAndWait(const std::wstring& exe, const std::wstring& args, DWORD timeoutMs = 15000);

// A folder link: a junction where the system makes one, otherwise (Wine) a symbolic link made
// on the host side.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);

// Counts the lines that start with prefix.
int CountLinesStarting(const std::vector<std::wstring>& lines, const std::wstring& prefix);

// A security descriptor (self-relative bytes) whose DACL is protected and allows full control,
// inherited below, to SYSTEM and to Administrators and to nobody else.
::testing::AssertionResult OnlySystemAndAdministrators(const std::vector<BYTE>& sd);

// The self-relative bytes of the descriptor in sa (empty without one).
std::vector<BYTE> DescriptorBytes(const SECURITY_ATTRIBUTES* sa);

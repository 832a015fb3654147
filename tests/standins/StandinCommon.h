#pragma once
// Shared parts of the stand-in programs: their misbehaviour switches, the service plumbing, the
// stay-up loop and the small line protocol between mariadb.exe and mariadbd.exe.
//
// Switches are read, in this order, from a side file "<program path>.standin" (one or more
// switches separated by blanks or lines), the value named after the program's file name under
// HKLM\SOFTWARE\CorvaneStandins, the environment variable CORVANE_STANDIN_<NAME>
// (NAME: the program's file name without ".exe", upper case, every other character than A-Z
// and 0-9 as "_", e.g. CORVANE_STANDIN_MARIADB_INSTALL_DB) and the command line; later ones win.
//   --standin-exit=CODE      end at once with CODE (decimal or 0x hex), doing nothing else
//   --standin-hang=MS        wait MS before doing anything (a program that hangs)
//   --standin-life=MS        a program that stays up ends by itself after MS
//   --standin-ignore-close   a program that stays up ignores the polite end request (WM_CLOSE to
//                            its hidden window; Wine makes that window only with a display)
//   --standin-stop=ignore    as a service, never stop (stop requests are ignored)
//   --standin-stop=MS        as a service, take MS to stop (stop pending meanwhile)
//   --standin-ready=NAME     set the named event once up (listening, running, holding the lock)
//   --standin-lock=PATH      open PATH without sharing and hold it while staying up
//   --standin-report=PATH    write how the program was started (start-up flags, console, folder)
//   --standin-journal=PATH   append one line per start: program, working folder, command line
//   --standin-no-ini         mariadb-install-db.exe leaves no my.ini in the data directory
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct TStandinOptions {
    std::optional<uint32_t> ExitCode;
    DWORD HangMs = 0;
    DWORD LifeMs = INFINITE;
    bool IgnoreClose = false;
    bool IgnoreStop = false;
    DWORD StopDelayMs = 0;
    std::wstring ReadyEvent;
    std::wstring LockPath;
    std::wstring ReportPath;
    std::wstring JournalPath;
    bool NoIni = false;
    // The --standin-* switches exactly as given on the command line, to pass on to a service's
    // image path.
    std::vector<std::wstring> Passed;
};

// Arguments of this process without the program name; --standin-* switches removed and
// applied to Options.
struct TStandin {
    std::wstring ExePath;
    std::wstring ExeName;
    std::vector<std::wstring> Args;
    TStandinOptions Options;
};

// Reads the switches, writes the journal and report, then honours --standin-exit and
// --standin-hang. Every stand-in calls it first.
TStandin StandinStart(const wchar_t* commandLine);

void SignalReady(const TStandinOptions& o);

// Stays up until ended (WM_CLOSE to its hidden window, unless ignored) or its life is over.
// Holds the lock file meanwhile. Returns the exit code to use.
int StayUp(const TStandinOptions& o, const std::wstring& windowTitle);

// The body of a service: Start returns a Win32 error code (0 when running); Stop ends it.
struct TServiceBody {
    std::function<DWORD()> Start;
    std::function<void()> Stop;
};
// Runs as the own-process service serviceName under the service manager. Returns false at
// once when the process was not started by the service manager.
bool RunAsService(const std::wstring& serviceName, const TStandinOptions& o, TServiceBody body);

// Registers an own-process service that starts automatically. Returns a Win32 error code.
DWORD InstallService(const std::wstring& name, const std::wstring& imagePath);
DWORD UninstallService(const std::wstring& name);

// The command-line text of one argument, quoted when it holds blanks or quotes.
std::wstring QuoteArg(const std::wstring& arg);

std::string ToUtf8(const std::wstring& w);
std::wstring FromUtf8(const std::string& s);
bool ReadFileBytes(const std::wstring& path, std::string& out);
bool WriteFileBytes(const std::wstring& path, const std::string& data);
bool AppendFileBytes(const std::wstring& path, const std::string& data);
bool DirExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
void ForceDirs(const std::wstring& path);
std::wstring FileDir(const std::wstring& path);
void PrintErr(const std::wstring& text);

// The protocol between the client and the server: text lines ending in "\n".
//   client: "AUTH <user> <password>"      server: "OK" or "ERR <code> <message>"
//   client: "SQL <byte count>" + bytes    server: "OK <statements run>" or "ERR <code> <message>"
constexpr int kProtoTimeoutMs = 5000;
bool SendAll(uintptr_t sock, const std::string& data);
bool RecvLine(uintptr_t sock, std::string& line);
bool RecvBytes(uintptr_t sock, size_t count, std::string& out);

// SQL text split at the semicolons that stand outside quotes; statements trimmed, empty ones
// dropped.
std::vector<std::string> SplitStatements(const std::string& sql);
std::string Trim(const std::string& s);

#pragma once
// TUninstaller: removes an installation of Corvane Market Pos, step by step, on the engine's host
// operations. Each step logs what it did; nothing raises. A step that cannot finish its work
// records a failure and the run goes on, so that one stubborn service never keeps the rest of
// the installation on the machine.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "host/uHost.h"
#include "uWinHandles.h"

// What one run removes. The folders are checked by the caller (TUninstallPlan::Resolve).
struct TUninstallPlan {
    std::wstring InstallDir;    // D:\CorvaneZideroZur; empty when no installation folder is known
    std::wstring BackupDir;     // the update backup of the installation drive
    std::wstring DesktopLink;   // full path of "Corvane Market Pos.lnk"
    std::wstring SharedDataDir; // D:\CorvaneOrtakData
    // The uninstaller file that started this run: while it waits for the copy, the system keeps
    // it; it goes after the hand-over, or at the restart, and is no failure either way.
    std::wstring OwnFile;
    bool RemoveDatabase = false;
};

// The file-system and registry calls of a run, as a seam: tests keep the machine's restart list
// and uninstall entry untouched, or refuse a deletion the way Windows does.
class TRemovalSystem {
public:
    virtual ~TRemovalSystem() = default;
    // Each returns ERROR_SUCCESS or the system's error code.
    virtual DWORD DeleteOneFile(const std::wstring& path);
    // Deletes the file, link or empty folder opened as h (DeleteHeld).
    virtual DWORD DeleteOpened(HANDLE h);
    // Protects a held folder of the path of a file due at the restart (ProtectHeld), so that
    // until then nobody can turn a folder of that path into a link.
    virtual bool ProtectFolder(HANDLE folder);
    virtual DWORD ScheduleDeleteAtRestart(const std::wstring& path);
    virtual DWORD DeleteUninstallKey();
};

class TUninstaller {
public:
    // RestartPending: all that is left are files and folders due at the next restart.
    enum class TResult { Success, Failed, Cancelled, RestartPending };
    using TLogSink = std::function<void(const std::wstring&)>;
    // Asked between steps; a running step is never interrupted.
    using TCancelled = std::function<bool()>;
    // Tells the waiting program that started this run its result and waits (bounded) until it
    // has ended; called once all steps are done.
    using THandOver = std::function<void(TResult)>;

    TUninstaller(THost& host, TRemovalSystem& system, TLogSink log);

    // Told before each step, with its number from 1 and the number of steps.
    void SetStepSink(std::function<void(int, int)> sink) { FStepSink = std::move(sink); }

    // With a hand-over the starting program's own file (OwnFile) is left alone until the
    // hand-over, then deleted with the folders that held it. The result is the one handed over.
    void SetHandOver(THandOver handOver) { FHandOver = std::move(handOver); }

    TResult Run(const TUninstallPlan& plan, const TCancelled& cancelled = nullptr);

    // What could not be done, one line each, in the order met.
    const std::vector<std::wstring>& Failures() const { return FFailures; }
    // Files and folders the system removes at the next restart.
    const std::vector<std::wstring>& Scheduled() const { return FScheduled; }

private:
    void Log(const std::wstring& msg) const;
    void Fail(const std::wstring& what);
    void EndPrograms();
    bool EndProgram(const std::wstring& exeName);
    void RemoveService(const std::wstring& service, const std::wstring& program);
    void DeleteFirewallRule(const std::wstring& rule);
    void DeleteShortcut(const std::wstring& link);
    void RemoveInstallFolder(const std::wstring& dir);
    // strict: only when backup.info names this installation (the ".yeni" and ".onceki"
    // folders); otherwise unless it names another one.
    void RemoveBackup(const std::wstring& backupDir, const std::wstring& installDir, bool strict);
    void RemoveSharedData(const std::wstring& dir);
    void DeleteUninstallEntry();
    // Deletes a tree through handles it holds: its top must be a plain folder of a trusted
    // owner, nothing inside is followed through a link. What stays locked is scheduled for the
    // next restart and listed. heldTop: the top, already opened.
    void RemoveTree(const std::wstring& dir, HANDLE heldTop = nullptr);
    void DeleteLater(const std::wstring& path, DWORD error, const std::vector<HANDLE>& folders);
    // The starting program's file and the folders that held it, once it has ended.
    void RemoveOwnFile();
    bool OwnFileUnder(const std::wstring& dir) const;
    bool ScheduledUnder(const std::wstring& dir) const;
    TResult Outcome() const;

    THost& FHost;
    TRemovalSystem& FSystem;
    TLogSink FLog;
    std::wstring FOwnFile;
    bool FStepWarned = false; // the step ends on a warning line instead of "  OK"
    std::function<void(int, int)> FStepSink;
    THandOver FHandOver;
    // The folders of the own file's path, held from the walk to the hand-over, top first.
    std::vector<TWinHandle> FOwnFolders;
    std::vector<std::wstring> FOwnFolderPaths;
    std::vector<std::wstring> FFailures;
    size_t FPending = 0; // failures that are only a file or folder due at the restart
    bool OnlyRestartLeft() const { return !FFailures.empty() && FFailures.size() == FPending; }
    std::vector<std::wstring> FScheduled;
};

// Exit codes of the program: the Windows installer's, which deployment tools know.
inline constexpr int EXIT_REMOVED = 0;
inline constexpr int EXIT_INVALID_ARGS = 87;        // ERROR_INVALID_PARAMETER
inline constexpr int EXIT_ELEVATION_REFUSED = 1223; // ERROR_CANCELLED
inline constexpr int EXIT_CANCELLED = 1602;         // ERROR_INSTALL_USEREXIT
inline constexpr int EXIT_FAILED = 1603;            // ERROR_INSTALL_FAILURE
inline constexpr int EXIT_ALREADY_RUNNING = 1618;   // a setup or another uninstall runs
inline constexpr int EXIT_RESTART_PENDING = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED

// The exit code of a removal's result.
int ExitCodeOf(TUninstaller::TResult result);

// The command line of the copy this program continues as: its path, who started it, the
// handles of the hand-over it inherits (empty: none), the folder it was started from, /S and
// the database switch, each argument quoted so that it comes back unchanged (a drive root such
// as D:\ included).
std::wstring CopyCommandLine(const std::wstring& copy, DWORD parentPid,
                             const std::wstring& handOver, const std::wstring& originalDir,
                             bool silent, const std::wstring& logPath = std::wstring(),
                             bool removeDatabase = false);

// Picks the folders of one run. The installation folder is the uninstaller's own folder when
// it is named CorvaneZideroZur, otherwise the uninstall entry's InstallLocation when that is;
// any other folder is never deleted. The shared data folder is where the CorvaneDB service
// reads its configuration, otherwise CorvaneOrtakData on the installation drive.
TUninstallPlan ResolvePlan(const std::wstring& ownDir, const std::wstring& recordedInstallDir,
                           const std::wstring& dbServiceDir, const std::wstring& desktopDir);

#pragma once
// The log file on disk that the setup program and the uninstaller write beside their windows:
// %ProgramData%\CorvaneMarket\Logs\<prefix>-YYYYMMDD-HHMMSS.log, UTF-8 with a byte-order mark,
// each line ended by CR LF. Lines are written as they come, so a run that crashes leaves its
// log up to the last line. A log that cannot be written is never an error of the run: every
// operation here reports through its result and raises nothing.
#include <windows.h>

#include <cstddef>
#include <mutex>
#include <string>

// The shared Logs folder (%ProgramData%\CorvaneMarket\Logs); empty when the system does not
// name a common application-data folder.
std::wstring LogsDir();

// "<prefix>-YYYYMMDD-HHMMSS.log" for the given local time.
std::wstring LogFileName(const std::wstring& prefix, const SYSTEMTIME& time);

// True when name is a log file of prefix as LogFileName makes it, with or without the
// "-N" that tells two runs of the same second apart.
bool IsLogFileOf(const std::wstring& name, const std::wstring& prefix);

// Deletes the log files of prefix in dir except the keep newest (by the time in their names).
// Files of other prefixes and other files are left alone; a file that cannot be deleted stays,
// and so does a link (it is never deleted through).
void KeepNewestLogs(const std::wstring& dir, const std::wstring& prefix, size_t keep);
// The same in a folder held open.
void KeepNewestLogsIn(HANDLE dir, const std::wstring& prefix, size_t keep);

// The line as the log file keeps it: the database password of a command line (-p...,
// --password=...) as ****. Every user may read the logs; the window shows the line unchanged.
std::wstring MaskPasswords(const std::wstring& line);

// "HH:MM:SS.mmm ": the local time every line of a log file starts with.
std::string LogTimePrefix(const SYSTEMTIME& time);

class TLogFile {
public:
    TLogFile() = default;
    ~TLogFile() { Close(); }
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Creates a new file (never replaces one) and writes the byte-order mark. False when the
    // file cannot be created; the object then stays closed and WriteLine does nothing.
    bool Create(const std::wstring& path);
    // Opens an existing file for appending, or creates it: for a log the user names himself,
    // which may be written by several runs one after the other. Refuses a link, a folder and a
    // file with more than one name (a hard link to a file of someone else); why then says so.
    bool OpenAppend(const std::wstring& path, std::wstring* why = nullptr);
    // Takes an open file for appending (the byte-order mark written when it is empty).
    bool Adopt(HANDLE file, const std::wstring& path);
    // Appends one line (its time first, passwords masked) and its CR LF. Safe from any thread;
    // lines keep the order of the calls. A failing write closes the file, so a full disk costs one
    // failed call, not one per line.
    void WriteLine(const std::wstring& line);
    void Close();
    bool IsOpen() const;
    // The path of the open file; empty when none is open.
    std::wstring Path() const;

private:
    bool OpenFile(const std::wstring& path, DWORD disposition);
    bool AdoptLocked(HANDLE h, const std::wstring& path);

    mutable std::mutex FLock;
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    std::wstring FPath;
};

// Opens a new log of a run in the Logs folder named after prefix and the current local time,
// then keeps the keep newest logs of that prefix, the new one included. Returns whether the log
// is open. Only an elevated program calls it: the folders it makes (CorvaneMarket, Logs) get a
// protected DACL, existing ones must be plain folders of a trusted owner, and the files are
// created and deleted relative to the held Logs folder.
bool OpenRunLog(TLogFile& log, const std::wstring& prefix, size_t keep = 20);
// The same in a given folder (whose parent is made when missing), with a given time: what
// OpenRunLog does, for its tests.
bool OpenRunLogIn(TLogFile& log, const std::wstring& dir, const std::wstring& prefix,
                  const SYSTEMTIME& time, size_t keep);

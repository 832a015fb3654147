#pragma once
// The test prefix read the way a technician would: files and their bytes, processes, services,
// registry values, shortcuts and the database port. Every test that checks a machine uses these.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "uFileUtil.h" // FileExists, DirectoryExists

// --- files and snapshots -----------------------------------------------------------------------

// The bytes of a file; "<missing>" when it cannot be opened.
std::string FileBytes(const std::wstring& path);
void MakeDirs(const std::wstring& path);
// Relative paths of every file under a folder (backslash-separated), sorted.
std::vector<std::wstring> FilesUnder(const std::wstring& dir);
// Every entry under a folder: relative path -> bytes; folders show as "<dir>".
using TSnap = std::map<std::wstring, std::string>;
TSnap Snapshot(const std::wstring& root);
std::vector<std::wstring> Names(const TSnap& snap);

// UTF-8 of a text, for test messages, and back.
std::string Narrow(const std::wstring& s);
std::wstring Widen(const std::string& s);

// --- processes ----------------------------------------------------------------------------------

bool ProcessRunning(const std::wstring& exeName);
// Ends every process with that image name (for programs that outlived their test on purpose).
void KillAllNamed(const std::wstring& exeName);

// --- services -----------------------------------------------------------------------------------

bool ServiceExists(const std::wstring& name);
// SERVICE_RUNNING, SERVICE_STOPPED, ...; 0 when the service cannot be read.
DWORD ServiceState(const std::wstring& name);
// Polls until the service is in that state (0: gone); on failure says what was seen last.
::testing::AssertionResult ServiceReaches(const std::wstring& name, DWORD state,
                                          DWORD timeoutMs = 60000);
bool StartServiceAndWait(const std::wstring& name, DWORD timeoutMs = 60000);
std::wstring ServiceImagePath(const std::wstring& name);
// A service entry of that command line, registered (not started) in place of any earlier one.
::testing::AssertionResult RegisterService(const std::wstring& name, const std::wstring& imagePath,
                                           DWORD startType = SERVICE_DEMAND_START);
// Deletes the entry, as it is.
void UnregisterService(const std::wstring& name);
// Stops (killing its process when it will not stop) and deletes the service; waits until gone.
void RemoveServiceHard(const std::wstring& name);

// --- registry -----------------------------------------------------------------------------------

// A text value as stored (not expanded); "<none>" when absent.
std::wstring RegText(HKEY root, const std::wstring& key, const wchar_t* value);
// A number under HKLM; 0xFFFFFFFF when absent.
DWORD RegNumber(const std::wstring& key, const wchar_t* value);
bool KeyExists(const std::wstring& key);
struct TRegValue {
    DWORD Type = 0;
    std::wstring Text;
    DWORD Number = 0;
};
// Every value of a key under HKLM (text and numbers read out).
std::map<std::wstring, TRegValue> ReadKey(const std::wstring& path);

// --- shortcuts ----------------------------------------------------------------------------------

struct TLinkInfo {
    std::wstring Path, WorkDir, Description, Icon;
    int IconIndex = -1;
    bool Loaded = false;
};
TLinkInfo ReadLink(const std::wstring& file);

// --- the database port --------------------------------------------------------------------------

// Whether anything accepts a connection on 127.0.0.1:port.
bool ServerAnswers(int port);
// Polls until the database stand-in that answers on the TCP port is the service's own process
// (a server left by another run does not count); a failure says who answered.
::testing::AssertionResult ServiceListens(const std::wstring& name, int port,
                                          DWORD timeoutMs = 60000);
// A TCP port on 127.0.0.1 that nobody listens on now.
int FreeLoopbackPort();

// --- windows of the test itself -----------------------------------------------------------------

// Dispatches this thread's messages until the condition holds; false after timeoutMs.
bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 10000);

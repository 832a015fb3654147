#pragma once
// The setup program's switches, for unattended installs and updates (deployment tools start the
// setup file with them and read its exit code). Windows style, case-insensitive:
//   /S  /SP  /RESTORE  /LOG=<path>  /DISK=<letter>  /DBDISK=<letter>  /TYPE=ANA|DB
//   /SHORTCUT=0|1  /FIREWALL=0|1  /REMOTE=0|1  /SERVICE=0|1  /DEMO=0|1  /NORESTART
//   /NOCLOSEAPPS  /MODE=NEW|UPDATE|FILE  /?
// No window code here: the rules are tested on their own.
#include <optional>
#include <string>
#include <vector>

// Exit codes of the setup program. The Windows installer's codes where one means the same, so
// that deployment tools that know them (retry later, cancelled) act on them; the two of our own
// carry the customer bit (29), which no Windows error code has, so nothing reads them as one.
enum TExitCode : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1603, // ERROR_INSTALL_FAILURE: the run failed; nothing had to be put back
    EXIT_FAILED_ROLLED_BACK = 0x20000001,     // an update failed, its rollback put the files back
    EXIT_FAILED_ROLLBACK_FAILED = 0x20000002, // an update failed and so did its rollback
    EXIT_APPS_RUNNING = 0x20000003, // /NOCLOSEAPPS: the till program or a bridge runs; nothing done
    EXIT_INVALID_ARGS = 87,         // ERROR_INVALID_PARAMETER
    EXIT_ELEVATION_REFUSED = 1223,  // ERROR_CANCELLED
    EXIT_CANCELLED = 1602,          // ERROR_INSTALL_USEREXIT
    EXIT_ALREADY_RUNNING = 1618,    // ERROR_INSTALL_ALREADY_RUNNING
};

struct TSetupSwitches {
    bool Silent = false;       // /S: no window, no message box
    bool WithProgress = false; // /SP: the window runs through its pages by itself
    bool Restore = false;      // /RESTORE
    bool Help = false;         // /?
    bool NoRestart = false;    // /NORESTART: deployment tools add it; nothing here needs a restart
    bool NoCloseApps = false;  // /NOCLOSEAPPS: end at once instead of ending a till in use
    // /MODE=NEW|UPDATE|FILE: the name of the setup file that mode belongs to, which decides it
    // in place of the file's own name; empty without the switch.
    std::wstring ModeName;
    std::wstring LogPath;                  // /LOG=
    std::optional<wchar_t> Drive, DbDrive; // upper-case letters
    std::optional<bool> DbOnly;            // /TYPE=DB (true) or ANA (false)
    std::optional<bool> Shortcut, Firewall, Remote, Service, Demo;
    std::wstring Error; // the first invalid switch, as a message; empty when all are valid

    bool Unattended() const { return Silent || WithProgress; }
};

// Parses the arguments after the program's name. Never raises: a bad switch sets Error, and
// the switches read before and after it (/S, /LOG=) still count, so that the error can be
// reported the way the run was asked to report.
TSetupSwitches ParseSwitches(const std::vector<std::wstring>& args);

// The text /? shows.
std::wstring HelpText();

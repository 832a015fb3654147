#pragma once
// Rules of the wizard that need no window: the version in the setup file's name, the drive
// chosen first, the lines under the drive lists and the finish page's texts.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace WizardRules {

// "setup-2.4.1.exe" gives "2.4.1": the text after the last hyphen of the name without its
// folder and last extension, when it starts with a digit; otherwise empty.
std::wstring VersionFromExeName(const std::wstring& exePath);

struct TDriveItem {
    wchar_t Letter;     // 'C' to 'Z'
    bool HasInstallDir; // the drive holds a CorvaneZideroZur folder at its root
};

// Index into drives (in list order) to select first, or -1 for an empty list. An update file
// takes the last drive with an installation folder; otherwise D, then C, then E, then the first.
int PreselectDrive(const std::vector<TDriveItem>& drives, bool isUpdateExe);

// Line under the installation drive list; no free-space figure when the query failed.
std::wstring DriveInfoText(const std::wstring& drive, std::optional<uint64_t> freeBytes);
// Line under the database drive list.
std::wstring DbDriveInfoText(const std::wstring& drive);
// The current step while the payload is extracted: share and megabytes of the files written.
std::wstring ExtractProgressText(uint64_t written, uint64_t total);

struct TFinishTexts {
    std::optional<std::wstring> Title; // absent: the title stays as laid out
    std::wstring Desc;
};

struct TFinishState {
    std::wstring InstallTitle; // caption of the installation page's title when the run ended
    bool IsUpdateInstall = false;
    bool IsFullUpdate = false;
    bool DbOnly = false;
    std::wstring InstallDir;
    std::wstring OrtakDataDir;
};

// Texts of the finish page after a successful run, by the first rule that applies.
TFinishTexts FinishTexts(const TFinishState& s);

// The uninstall entry's InstallLocation as a folder to look at: without trailing backslashes,
// or empty when it is no full local path below a drive's root (a root would restore the
// backup's files into it, a relative path into the current folder).
std::wstring CleanInstallLocation(const std::wstring& recorded);

// The installed folder whose backup the welcome page offers: the recorded folder when it exists,
// otherwise the folder on the last drive (in list order) that holds one, otherwise empty.
std::wstring InstalledFolder(const std::wstring& recorded, bool recordedExists,
                             const std::vector<TDriveItem>& drives);

// "Yedek mevcut: " line of the welcome page; the size in whole megabytes.
std::wstring BackupLine(const std::wstring& date, int64_t size);

// The question before a restore, fourteen lines joined by CR LF.
std::wstring RestoreQuestion(const std::wstring& date, int64_t size, const std::wstring& backupDir);

} // namespace WizardRules

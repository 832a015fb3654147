#pragma once
// Where an installation of Corvane Market Pos lives and what it registered with Windows, read
// from the machine: the uninstall entry, the database service's image path, the desktop, the
// update backup folder. The setup engine and the uninstaller both ask here, so that the
// uninstaller never needs a setup engine to find what it removes.
#include <string>

namespace Installation {

// The uninstall entry under HKLM.
inline constexpr const wchar_t* UNINSTALL_KEY =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvane Market Pos";

// "InstallLocation" of the uninstall entry, as stored; empty when there is none.
std::wstring RecordedInstallLocation();
// "DisplayVersion" of the uninstall entry; empty when there is none.
std::wstring RecordedDisplayVersion();
// Rewrites DisplayVersion in an entry that exists; false when there is no entry, the version is
// empty or the write failed.
bool WriteDisplayVersion(const std::wstring& version);

// The folder CorvaneDB's image path names (its --defaults-file's folder); empty when the
// service is not registered.
std::wstring DatabaseServiceFolder();
// The desktop the shortcut goes to: the common desktop, else the user's, else
// %APPDATA%\Desktop.
std::wstring DesktopPath();
// The update backup of the drive an installation folder is on (C: when it names none).
std::wstring BackupDir(const std::wstring& installDir);

} // namespace Installation

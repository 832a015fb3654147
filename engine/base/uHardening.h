#pragma once
// What every program of ours that can run as administrator does before trusting its
// surroundings: DLLs only from System32, Windows tools only from System32, and temporary files
// only in a folder that an unelevated process cannot reach into.
#include <windows.h>

#include <string>

// First call of every entry point that can run elevated: DLLs that system DLLs load later
// (uxtheme, version, cryptbase, ...) come from System32 only, never from the program's own
// folder (Downloads, a USB stick, a share) nor from the current folder.
void HardenDllSearchOrder();

// Full path of the running program's own file; empty when the system does not give it.
std::wstring ProgramPath();

// Full path of a Windows program in System32 ("cmd.exe" -> "C:\Windows\system32\cmd.exe").
std::wstring System32Path(const std::wstring& program);

// Creates basePath as a new folder that only SYSTEM and Administrators may use (protected DACL,
// nothing inherited). An existing name is never reused: basePath_2, basePath_3, ... are tried
// instead. A folder that turns out to be a link (junction, symbolic link) is refused. On success
// path holds the folder made; on failure error holds the reason with the system's text.
bool CreatePrivateDir(const std::wstring& basePath, std::wstring& path, std::wstring& error);

// CreatePrivateDir and CreatePrivateFile make their folder and file through vpfnCreateDirectoryW
// and vpfnCreateFileW (uWin32Seam.h): Wine keeps no DACL on files, so tests read the security
// asked for back from what was passed there.

// Creates path as a new file for writing, only SYSTEM and Administrators having access. An entry
// already at the name (an old file, a planted link) is deleted, never written through; if
// something takes the name again meanwhile, creating fails. INVALID_HANDLE_VALUE on failure,
// with the system's error code kept for GetLastError.
HANDLE CreatePrivateFile(const std::wstring& path);

// CreatePrivateDir in ProtectedTempParent(), named prefix + yyyymmddhhnnss (local time).
bool CreatePrivateTempDir(const std::wstring& prefix, std::wstring& path, std::wstring& error);

// The installation's folders (the installation folder, CorvaneOrtakData with Data and mariadb,
// %ProgramData%\CorvaneMarket): SYSTEM and Administrators full control, Users read and
// execute, nothing inherited from the drive; everything made inside inherits it.
extern const wchar_t* const PROTECTED_FOLDER_SDDL;
// Backup folders and private temporary folders: SYSTEM and Administrators only.
extern const wchar_t* const PRIVATE_FOLDER_SDDL;

// The owners whose folders the elevated programs may use: SYSTEM, Administrators,
// TrustedInstaller, and whoever owns the system folder (TrustedInstaller on Windows; under Wine,
// where every file reads as the signed-in user's, that user). Any other owner, the account this
// program runs as included (in admin-approval mode that is also the unelevated user), may have
// prepared the folder for an attack.
bool IsTrustedOwner(PSID owner);
// The owner of an open file or folder, read through vpfnGetSecurityInfo (uWin32Seam.h), checked
// with IsTrustedOwner. ERROR_SUCCESS or the system's error; ownerText gets the owner's SID.
DWORD ReadTrustedOwner(HANDLE object, bool& trusted, std::wstring* ownerText = nullptr);
// ReadTrustedOwner read and trusted.
bool HasTrustedOwner(HANDLE object);

// Makes dir (its parent must exist) a folder with the security of sddl. A missing folder is
// created with it in one step. An existing one is used only when it is a folder itself, not a
// link, and its owner is SYSTEM, Administrators, TrustedInstaller or whoever owns the system
// folder; sddl is then applied to it again through the handle it was checked with (children
// inherit it). Otherwise false, error naming dir and the reason, and nothing was written
// through it. Reads the owner through vpfnGetSecurityInfo and sets the DACL through
// vpfnCreateDirectoryW and vpfnSetSecurityInfo (uWin32Seam.h).
bool EnsureProtectedDir(const std::wstring& dir, const wchar_t* sddl, std::wstring& error);

// Creates dir as a new folder with the security of sddl, in one step; false (GetLastError) when
// anything is at the name already or it cannot be made. For backup folders.
bool CreateDirWithSddl(const std::wstring& dir, const wchar_t* sddl);

// Gives Users read and write on one file inside a protected folder (the till program's own
// settings), on top of what the file inherits. Through vpfnSetNamedSecurityInfoW.
bool AllowUsersToWrite(const std::wstring& file, std::wstring& error);

// %ProgramData%\CorvaneMarket as a protected folder (EnsureProtectedDir), the parent of the
// temporary folders; when that cannot be had, the system's own temporary folder. Users can
// write in neither, so nothing they make can take the place of a folder made there. Ends in a
// backslash; empty, with error, when neither is usable.
std::wstring ProtectedTempParent(std::wstring& error);

// Security attributes with a protected DACL granting SYSTEM and Administrators full control,
// inherited by everything created below; for private folders and for single files that hold a
// secret. Get() is null when the descriptor could not be built (then creating must fail).
class TPrivateSecurity {
public:
    explicit TPrivateSecurity(const wchar_t* sddl = PRIVATE_FOLDER_SDDL);
    PSECURITY_DESCRIPTOR Descriptor() const { return FDescriptor; }
    ~TPrivateSecurity();
    TPrivateSecurity(const TPrivateSecurity&) = delete;
    TPrivateSecurity& operator=(const TPrivateSecurity&) = delete;
    SECURITY_ATTRIBUTES* Get() { return FDescriptor ? &FAttributes : nullptr; }

private:
    PSECURITY_DESCRIPTOR FDescriptor = nullptr;
    SECURITY_ATTRIBUTES FAttributes{};
};

// One setup or uninstall at a time on the machine: a named mutex that only SYSTEM and
// Administrators may open, held until the object goes. A mutex of that name that exists but
// cannot be opened (made by another account, squatted with a DACL that refuses us) counts as
// another run, never as none.
class TRunLock {
public:
    explicit TRunLock(const wchar_t* name);
    ~TRunLock();
    TRunLock(const TRunLock&) = delete;
    TRunLock& operator=(const TRunLock&) = delete;
    bool AnotherRunning() const { return FOther; }

private:
    HANDLE FHandle = nullptr;
    bool FOther = false;
};

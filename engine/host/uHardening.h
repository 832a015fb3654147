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

// CreatePrivateDir in the user's temporary folder, named prefix + yyyymmddhhnnss (local time).
bool CreatePrivateTempDir(const std::wstring& prefix, std::wstring& path, std::wstring& error);

// Security attributes with a protected DACL granting SYSTEM and Administrators full control,
// inherited by everything created below; for private folders and for single files that hold a
// secret. Get() is null when the descriptor could not be built (then creating must fail).
class TPrivateSecurity {
public:
    TPrivateSecurity();
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

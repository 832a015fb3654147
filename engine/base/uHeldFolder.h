#pragma once
// Folders the elevated programs write into or delete, worked on through handles they hold:
// opened once without following a link, checked for its owner, and everything inside created,
// listed and deleted relative to that handle, so that a folder an ordinary user swaps for a
// link meanwhile is never followed.
#include <windows.h>

#include <string>
#include <vector>

#include "uWinHandles.h"

// Opens the folder path itself for listing, deleting and changing its permissions. Refuses a
// link (seen by name, as Wine shows its links, and through the handle, as Windows does) and,
// with checkOwner, a folder of an owner HasTrustedOwner (uHardening.h) refuses. why holds the
// reason on failure.
TWinHandle OpenHeldFolder(const std::wstring& path, bool checkOwner, std::wstring& why);

struct THeldEntry {
    std::wstring Name;
    bool IsFolder;
    bool IsLink; // a reparse point: junction, symbolic link, or what the listing calls one
};

// The entries of a held folder, without "." and "..". False when the listing failed.
bool ListHeldFolder(HANDLE folder, std::vector<THeldEntry>& entries);

// Opens name inside the held folder, never following a link at that name. folder: open it
// as a folder (to list and delete), otherwise as a file or link to delete. NTSTATUS turned
// into a Win32 error code in error.
TWinHandle OpenInHeld(HANDLE folder, const std::wstring& name, bool asFolder, DWORD& error);

// Opens the file name inside the held folder for reading, not through a link on Windows.
TWinHandle OpenToReadInHeld(HANDLE folder, const std::wstring& name, DWORD& error);

// Creates name as a new file inside the held folder for appending (never through a link or
// an existing entry at that name).
TWinHandle CreateInHeld(HANDLE folder, const std::wstring& name, DWORD& error);

// Opens or creates name inside the held folder as a folder with a protected DACL (SYSTEM and
// Administrators full control, Users read). An existing folder must be a plain one of a
// trusted owner; with protectExisting it gets that DACL too.
TWinHandle OpenProtectedInHeld(HANDLE folder, const std::wstring& name, bool protectExisting,
                               std::wstring& why);

// True when the handle is the entry itself, not what a link points to.
bool HandleIsLink(HANDLE h);

// Marks the opened file, link or empty folder for deletion (read-only attribute cleared
// first); it goes when its last handle closes. ERROR_SUCCESS or the system's error.
DWORD DeleteHeld(HANDLE h);

// Gives the held folder the protected DACL (SYSTEM and Administrators full control, Users
// read), so that no ordinary user can rename or replace it.
bool ProtectHeld(HANDLE folder);

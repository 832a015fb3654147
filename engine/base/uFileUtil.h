#pragma once
// Small file-system helpers shared by the engine's driver and steps.
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& dir);
// Creates a folder and every missing parent (trailing backslashes ignored); returns whether
// the folder exists afterwards.
bool ForceDirectories(const std::wstring& dir);

// The folder with exactly one trailing backslash added when it has none; an empty folder stays
// empty, so that a missing installation folder never turns into the root of the current drive.
std::wstring WithBackslash(const std::wstring& dir);

// A folder entry that only points elsewhere: a junction or symbolic link. Wine reports its
// links with the reparse attribute but no tag at all; other reparse folders (cloud-file
// placeholders) hold their own content.
bool IsFolderLink(const WIN32_FIND_DATAW& fd);

int64_t SizeOf(const WIN32_FIND_DATAW& fd);

// Size of one file as a directory search reports it; false (size 0) when the search does not
// find a file (a folder of that name does not count).
bool ListedFileSize(const std::wstring& path, int64_t& size);

struct TDirEntry {
    std::wstring Name;
    bool IsFolder;
    bool IsLink; // a folder that only points elsewhere
    int64_t Size;
};

// Entries matching a pattern ("D:\x\*", "D:\x\*.dll") in listing order, without "." and "..".
// Collected first, so that the listing is closed before any entry is worked on.
std::vector<TDirEntry> ListEntries(const std::wstring& pattern);
// The system's message text for an error code, without the trailing line break.
std::wstring SysErrorMessage(unsigned long code);

#ifdef _WIN32
// Attributes that make Windows refuse to replace or overwrite a file.
const DWORD kProtectingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Makes what was written to a file reach the disk (a power cut keeps the names but not always
// the data). A read-only file loses the attribute only for the moment of the flush. False with
// the system's error code.
bool FlushFile(const std::wstring& path, DWORD& error);
// True when both files can be read and hold the same bytes: a file in use that refuses to be
// overwritten may already be what was to be written.
bool SameFileContents(const std::wstring& a, const std::wstring& b);
// Creates or replaces a small file, written through to the disk and flushed before it is
// closed. False with the system's error code (a half-written file is removed).
bool WriteDurableFile(const std::wstring& path, const std::string& bytes, DWORD& error);
#endif

// Writes a text file of the engine: each line followed by CR LF (the last included), the
// characters in the given ANSI code page (the system's active one unless a test says
// otherwise), a UTF-8 byte-order mark only for code page 65001. An existing file is replaced.
// A read-only, hidden or system file is replaced by a plain one. Raises "Cannot create file
// "<path>". <system text>" when the file cannot be created.
void WriteTextFile(const std::wstring& path, const std::vector<std::wstring>& lines,
                   unsigned codePage = 0);
// WriteTextFile for a file that holds a secret: made new, for SYSTEM and Administrators only,
// never through a link at its name (CreatePrivateFile).
void WritePrivateTextFile(const std::wstring& path, const std::vector<std::wstring>& lines);

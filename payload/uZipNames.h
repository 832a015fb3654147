#pragma once
// Text rules of the ZIP reader: decoding stored entry names (UTF-8, code page 437) and turning
// them into safe parts below the target folder. Portable: wchar_t is UTF-16 on Windows and
// UTF-32 elsewhere, so every conversion goes through code points.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Appends one code point in the platform's wide encoding (a surrogate pair on Windows).
void AppendCodePoint(std::wstring& out, char32_t cp);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. False when the bytes
// are not valid UTF-8 (out is then unspecified).
bool DecodeUtf8(std::string_view bytes, std::wstring& out);

// Every byte maps to one character (IBM PC code page 437, the ZIP default).
std::wstring DecodeCp437(std::string_view bytes);

// Wide text back to UTF-8 (for POSIX file names and console output). Unpaired surrogates
// become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// The name as it may appear inside a message: control characters shown as \xNN.
std::wstring PrintableName(std::wstring_view name);

// Result of cleaning one entry name.
struct TEntryPath {
    std::vector<std::wstring> Parts; // folders and file below the target, in order
    bool IsFolder = false;           // the name ended with a slash
};

// Splits an entry name at "/" and "\" and checks every part. Returns an empty text when the
// name is safe, otherwise why it is refused. Refused: rooted, UNC and device-prefixed names,
// drive letters, a colon anywhere (alternate data streams), ".." parts, empty parts, control
// characters, characters Windows does not allow in names, parts ending in a dot or blank (Windows
// would silently strip them and name another file) and device names such as CON or LPT1.
// "." parts are dropped.
std::wstring CleanEntryName(std::wstring_view name, TEntryPath& out);

// True when the part is a Windows device name (CON, NUL, COM1, LPT1, ...) with or without an
// extension.
bool IsDeviceName(std::wstring_view part);

// The name as Windows compares names: letters in upper case, as NTFS folds them for Latin,
// Greek, Cyrillic and Armenian, so that "Readme" and "README" (and Turkish letters in either
// case) come out alike. Two entries whose folded names are equal land on one file on Windows.
std::wstring FoldNameCase(std::wstring_view name);

#pragma once
// Pure rules of the engine, free of any system call, so that both builds can test them.
#include <string>

// Separator line at the start and end of a run: forty equals signs.
inline constexpr const wchar_t* SEPARATOR_LINE = L"========================================";

namespace EngineRules {

// "D" + ":\CorvaneOrtakData": the database drive when set, otherwise the drive letter of the
// installation folder, otherwise no letter at all.
std::wstring OrtakDataDir(const std::wstring& dbDrive, const std::wstring& installDir);

// Folder of the configuration file recorded in the CorvaneDB service's image path, or empty.
std::wstring ServiceFolderFromImagePath(const std::wstring& imagePath);

// Folder part of a path: text before the last backslash, or up to and including a colon or a
// backslash that follows a colon or another backslash (D:\my.ini gives D:\).
std::wstring ExtractFileDir(const std::wstring& path);

// File name part of a path: text after the last backslash or colon.
std::wstring ExtractFileName(const std::wstring& path);

// Equal when only the ASCII letters A-Z differ in case; every other character must match.
bool SameTextAscii(const std::wstring& a, const std::wstring& b);

// The name ends in the extension (".dll": the text from the last dot), ignoring ASCII case.
bool HasExtension(const std::wstring& name, const std::wstring& ext);

// The drive part of a path: "D:" or "\\server\share"; empty when the path has none.
std::wstring DrivePart(const std::wstring& path);

enum class TNameMode { FileUpdate, FullUpdate, None };
// What the setup file's own name asks for; case-sensitive, "DosyaUpdate" before "Update".
TNameMode ModeFromExeName(const std::wstring& exeFileName);

} // namespace EngineRules

#pragma once
// Small file-system helpers shared by the engine's driver and steps.
#include <string>
#include <vector>

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& dir);
// Creates a folder and every missing parent; returns whether the folder exists afterwards.
bool ForceDirectories(const std::wstring& dir);
// The system's message text for an error code, without the trailing line break (host/).
std::wstring SysErrorMessage(unsigned long code);

// Writes a text file of the engine: each line followed by CR LF (the last included), the
// characters in the given ANSI code page (the system's active one unless a test says
// otherwise), a UTF-8 byte-order mark only for code page 65001. An existing file is replaced.
// Raises "Cannot create file "<path>". <system text>" when the file cannot be created.
void WriteTextFile(const std::wstring& path, const std::vector<std::wstring>& lines,
                   unsigned codePage = 0);

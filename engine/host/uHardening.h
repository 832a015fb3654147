#pragma once
// Entry hardening of our programs that run elevated: DLLs only from System32, Windows tools by
// their full System32 path, temporary files in a folder only SYSTEM and Administrators can write.
#include <string>

// Restricts the process's DLL search order to System32. Call first thing at entry.
void HardenDllSearchOrder();

// Full path of a Windows tool in System32 ("cmd.exe" gives C:\Windows\System32\cmd.exe).
std::wstring System32Path(const std::wstring& program);

// Creates a new folder "<prefix><time stamp>-<process id>" under the temporary folder that only
// SYSTEM and Administrators may open. False with the system's text in error when it fails.
bool CreatePrivateTempDir(const std::wstring& prefix, std::wstring& path, std::wstring& error);

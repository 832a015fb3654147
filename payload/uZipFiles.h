#pragma once
// Files and folders for the ZIP reader, on the system's own file layer (uPayloadSystem_win.cpp
// on Windows, uPayloadSystem_std.cpp elsewhere). Every failure raises EZipError with the path
// and the system's error text.
#include <memory>
#include <string>

#include "uZipReader.h"

// Opens a file read-only. With allowWriters, other processes may keep reading, writing and
// deleting it (the running setup file); without, only readers may share it, so nothing can
// replace an archive copy while it is read.
std::unique_ptr<TZipInput> OpenZipInputFile(const std::wstring& path, bool allowWriters);

// Creates a file, replacing one of the same name.
std::unique_ptr<TZipOutFile> CreateZipOutputFile(const std::wstring& path);

// Entries land below dir, which must exist. On Windows the paths are given to the system in
// their extended form, so that deep trees are not cut at 260 characters.
std::unique_ptr<TZipTarget> CreateFolderTarget(const std::wstring& dir);

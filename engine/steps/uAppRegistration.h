#pragma once
// Test seam of the uninstall entry: the value writer, swapped by tests to make a write fail.
#include <windows.h>

using TRegSetValueExW = decltype(&::RegSetValueExW);
extern TRegSetValueExW vpfnRegSetValueExW;

// The uninstall entry's URLInfoAbout and HelpLink.
extern const wchar_t* const PRODUCT_URL;
extern const wchar_t* const SUPPORT_URL;

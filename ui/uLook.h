#pragma once
// The look of our windows: the setup wizard and the uninstaller speak with the same colours
// and fonts, so a shop technician sees one product.
#include <windows.h>

namespace Look {

inline constexpr COLORREF Accent = RGB(0x53, 0x9F, 0xC4); // sidebar, accent stripe, button bar
inline constexpr COLORREF White = RGB(0xFF, 0xFF, 0xFF);
inline constexpr COLORREF Grey = RGB(0x80, 0x80, 0x80);
inline constexpr COLORREF Maroon = RGB(0x80, 0x00, 0x00);
inline constexpr COLORREF Subtitle = RGB(0xDC, 0xDC, 0xDC); // second line on the accent colour
inline constexpr COLORREF LogBackground = RGB(0xF0, 0xF0, 0xF0);
inline constexpr COLORREF ErrorTitle = RGB(0xFF, 0x00, 0x00);

inline constexpr const wchar_t* Face = L"Segoe UI";
inline constexpr const wchar_t* LogFace = L"Consolas";
inline constexpr int LogHeight = 13;

} // namespace Look

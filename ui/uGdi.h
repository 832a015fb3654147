#pragma once
// Owners for the GDI objects of the window: every font and brush is deleted exactly once, when
// the window that made it goes away.
#include <windows.h>

#include <map>
#include <string>
#include <tuple>

template <typename THandle> class TGdiObject {
public:
    TGdiObject() = default;
    explicit TGdiObject(THandle h) : FHandle(h) {}
    ~TGdiObject() { Reset(); }
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
    TGdiObject(TGdiObject&& other) noexcept : FHandle(other.FHandle) { other.FHandle = nullptr; }
    TGdiObject& operator=(TGdiObject&& other) noexcept {
        if (this != &other) {
            Reset();
            FHandle = other.FHandle;
            other.FHandle = nullptr;
        }
        return *this;
    }
    THandle Get() const { return FHandle; }
    void Reset() {
        if (FHandle)
            DeleteObject(FHandle);
        FHandle = nullptr;
    }

private:
    THandle FHandle = nullptr;
};

// Selects an object into a device context for one scope.
class TSelectObject {
public:
    TSelectObject(HDC dc, HGDIOBJ obj) : FDc(dc), FOld(SelectObject(dc, obj)) {}
    ~TSelectObject() { SelectObject(FDc, FOld); }
    TSelectObject(const TSelectObject&) = delete;
    TSelectObject& operator=(const TSelectObject&) = delete;

private:
    HDC FDc;
    HGDIOBJ FOld;
};

// Fonts by face, character height in pixels and style; made once, kept for the window's life.
class TFontCache {
public:
    HFONT Get(const std::wstring& face, int charHeight, bool bold, bool italic) {
        auto key = std::make_tuple(face, charHeight, bold, italic);
        auto it = FFonts.find(key);
        if (it != FFonts.end())
            return it->second.Get();
        LOGFONTW lf = {};
        lf.lfHeight = -charHeight; // negative: character height, not cell height
        lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
        lf.lfItalic = italic ? TRUE : FALSE;
        lf.lfCharSet = DEFAULT_CHARSET;
        lf.lfQuality = DEFAULT_QUALITY;
        lstrcpynW(lf.lfFaceName, face.c_str(), LF_FACESIZE);
        HFONT font = CreateFontIndirectW(&lf);
        FFonts.emplace(key, TGdiObject<HFONT>(font));
        return font;
    }

private:
    std::map<std::tuple<std::wstring, int, bool, bool>, TGdiObject<HFONT>> FFonts;
};

class TBrushCache {
public:
    HBRUSH Get(COLORREF color) {
        auto it = FBrushes.find(color);
        if (it != FBrushes.end())
            return it->second.Get();
        HBRUSH brush = CreateSolidBrush(color);
        FBrushes.emplace(color, TGdiObject<HBRUSH>(brush));
        return brush;
    }

private:
    std::map<COLORREF, TGdiObject<HBRUSH>> FBrushes;
};

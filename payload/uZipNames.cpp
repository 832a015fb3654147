#include "uZipNames.h"

#include <cwctype>

namespace {

// Code page 437, bytes 0x80 to 0xFF.
const char16_t CP437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

bool IsSlash(wchar_t c) {
    return c == L'/' || c == L'\\';
}

wchar_t AsciiUpper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}

} // namespace

void AppendCodePoint(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(wchar_t(0xD800 + (cp >> 10)));
            out.push_back(wchar_t(0xDC00 + (cp & 0x3FF)));
            return;
        }
    }
    out.push_back(wchar_t(cp));
}

bool DecodeUtf8(std::string_view bytes, std::wstring& out) {
    out.clear();
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char b0 = static_cast<unsigned char>(bytes[i]);
        if (b0 < 0x80) {
            out.push_back(wchar_t(b0));
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        char32_t min;
        if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (bytes.size() - i <= size_t(extra))
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        AppendCodePoint(out, cp);
        i += size_t(extra) + 1;
    }
    return true;
}

std::wstring DecodeCp437(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        out.push_back(b < 0x80 ? wchar_t(b) : wchar_t(CP437_HIGH[b - 0x80]));
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
                ++i;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xC0 | (cp >> 6)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xE0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::wstring PrintableName(std::wstring_view name) {
    static const wchar_t HEX[] = L"0123456789ABCDEF";
    std::wstring out;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) {
            out += L"\\x";
            out.push_back(HEX[(c >> 4) & 0xF]);
            out.push_back(HEX[c & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool IsDeviceName(std::wstring_view part) {
    // Windows matches device names on the part before the first dot, ignoring trailing blanks:
    // "nul.txt" and "CON .log" open the device, not a file.
    std::wstring_view stem = part.substr(0, part.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.remove_suffix(1);
    static const wchar_t* const NAMES[] = {L"CON",    L"PRN",     L"AUX",   L"NUL",
                                           L"CONIN$", L"CONOUT$", L"CLOCK$"};
    for (const wchar_t* n : NAMES)
        if (EqualsNoCase(stem, n))
            return true;
    if (stem.size() == 4) {
        const std::wstring_view head = stem.substr(0, 3);
        const wchar_t d = stem[3];
        // COM0..COM9 and LPT0..LPT9, and the superscript digits that Windows also accepts.
        const bool digit = (d >= L'0' && d <= L'9') || d == 0x00B9 || d == 0x00B2 || d == 0x00B3;
        if (digit && (EqualsNoCase(head, L"COM") || EqualsNoCase(head, L"LPT")))
            return true;
    }
    return false;
}

std::wstring CleanEntryName(std::wstring_view name, TEntryPath& out) {
    out = TEntryPath();
    if (name.empty())
        return L"empty name";
    for (wchar_t c : name) {
        if (c < 0x20)
            return L"control character in name";
    }
    if (IsSlash(name.front()))
        return L"absolute, UNC or device path";
    if (name.find(L':') != std::wstring_view::npos) {
        const bool drive =
            name.size() >= 2 && name[1] == L':' &&
            ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z'));
        return drive ? L"drive letter in name" : L"colon in name (alternate data stream)";
    }
    out.IsFolder = IsSlash(name.back());
    size_t start = 0;
    while (start < name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSlash(name[end]))
            ++end;
        const std::wstring_view part = name.substr(start, end - start);
        const bool last = end >= name.size() - (out.IsFolder ? 1 : 0);
        start = end + 1;
        if (part.empty())
            return L"empty path part";
        if (part == L".") {
            if (last && !out.IsFolder)
                return L"name does not name a file";
            continue;
        }
        if (part == L"..")
            return L"parent folder (..) in name";
        for (wchar_t c : part) {
            if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*')
                return L"character not allowed in Windows file names";
        }
        if (part.back() == L'.' || part.back() == L' ')
            return L"name part ends with a dot or blank";
        if (IsDeviceName(part))
            return L"Windows device name";
        if (part.size() > 255)
            return L"name part longer than 255 characters";
        out.Parts.emplace_back(part);
        if (last)
            break;
    }
    if (out.Parts.empty() && !out.IsFolder)
        return L"name does not name a file";
    return std::wstring();
}

namespace {

// Simple upper-case mapping of one character, as the file system's upcase table has it for the
// scripts a payload can hold; other characters stay as they are.
wchar_t FoldChar(wchar_t c) {
    const uint32_t u = uint32_t(c);
    if (u >= 'a' && u <= 'z')
        return wchar_t(u - 0x20);
    if (u < 0x80)
        return c;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F) || (u >= 0xFF41 && u <= 0xFF5A))
        return wchar_t(u - 0x20);
    if (u >= 0x450 && u <= 0x45F)
        return wchar_t(u - 0x50);
    if (u >= 0x561 && u <= 0x586)
        return wchar_t(u - 0x30);
    switch (u) {
    case 0xB5:
        return wchar_t(0x39C);
    case 0xFF:
        return wchar_t(0x178);
    case 0x131: // dotless i
        return L'I';
    case 0x17F: // long s
        return L'S';
    case 0x3C2: // final sigma
        return wchar_t(0x3A3);
    default:
        break;
    }
    // Pairs of capital (even) and small (odd) letters: Latin Extended-A, Cyrillic extensions.
    if (((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177) || (u >= 0x460 && u <= 0x481) ||
         (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F)) &&
        (u & 1))
        return wchar_t(u - 1);
    // The same with the capital odd and the small even.
    if (((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E) || (u >= 0x4C1 && u <= 0x4CE)) &&
        !(u & 1))
        return wchar_t(u - 1);
    return c;
}

} // namespace

std::wstring FoldNameCase(std::wstring_view name) {
    std::wstring out(name);
    for (wchar_t& c : out)
        c = FoldChar(c);
    return out;
}

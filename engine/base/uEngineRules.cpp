#include "uEngineRules.h"

#include <algorithm>

namespace EngineRules {

std::wstring OrtakDataDir(const std::wstring& dbDrive, const std::wstring& installDir) {
    std::wstring letter;
    if (!dbDrive.empty())
        letter = dbDrive;
    else if (installDir.size() >= 2 && installDir[1] == L':' &&
             ((installDir[0] >= L'A' && installDir[0] <= L'Z') ||
              (installDir[0] >= L'a' && installDir[0] <= L'z')))
        letter = installDir.substr(0, 1);
    return letter + L":\\CorvaneOrtakData";
}

std::wstring ExtractFileDir(const std::wstring& path) {
    const size_t i = path.find_last_of(L"\\:");
    if (i == std::wstring::npos)
        return std::wstring();
    if (path[i] == L'\\' && i > 0 && path[i - 1] != L':' && path[i - 1] != L'\\')
        return path.substr(0, i);
    return path.substr(0, i + 1);
}

std::wstring ExtractFileName(const std::wstring& path) {
    const size_t i = path.find_last_of(L"\\:");
    return i == std::wstring::npos ? path : path.substr(i + 1);
}

static std::wstring WithoutQuotes(std::wstring s) {
    s.erase(std::remove(s.begin(), s.end(), L'"'), s.end());
    return s;
}

std::wstring ServiceFolderFromImagePath(const std::wstring& imagePath) {
    static const std::wstring kDefaults = L"--defaults-file=";
    static const std::wstring kOrtak = L"CorvaneOrtakData";
    size_t at = imagePath.find(kDefaults);
    if (at != std::wstring::npos)
        return ExtractFileDir(WithoutQuotes(imagePath.substr(at + kDefaults.size())));
    at = imagePath.find(kOrtak);
    if (at != std::wstring::npos)
        return WithoutQuotes(imagePath.substr(0, at + kOrtak.size()));
    return std::wstring();
}

bool SameTextAscii(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z')
            x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z')
            y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y)
            return false;
    }
    return true;
}

bool HasExtension(const std::wstring& name, const std::wstring& ext) {
    const size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && SameTextAscii(name.substr(dot), ext);
}

std::wstring DrivePart(const std::wstring& p) {
    if (p.size() >= 2 && p[1] == L':' &&
        ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')))
        return p.substr(0, 2);
    if (p.size() > 2 && p[0] == L'\\' && p[1] == L'\\') {
        const size_t server = p.find(L'\\', 2);
        if (server == std::wstring::npos || server == 2)
            return std::wstring();
        const size_t share = p.find(L'\\', server + 1);
        return share == std::wstring::npos ? p : p.substr(0, share);
    }
    return std::wstring();
}

TNameMode ModeFromExeName(const std::wstring& exeFileName) {
    if (exeFileName.find(L"DosyaUpdate") != std::wstring::npos)
        return TNameMode::FileUpdate;
    if (exeFileName.find(L"Update") != std::wstring::npos)
        return TNameMode::FullUpdate;
    return TNameMode::None;
}

} // namespace EngineRules

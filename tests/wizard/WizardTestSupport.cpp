#include "WizardTestSupport.h"

#include "host/uWinHost.h"

#include <commctrl.h>
#include <shlobj.h>

#include <chrono>
#include <fstream>
#include <thread>

// --- scripted host ------------------------------------------------------------------------------

void TScriptedHost::Call(const std::wstring& what) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FCalls.push_back(what);
    }
    if (OnCall)
        OnCall(what);
}

void TScriptedHost::Sleep(int ms) {
    Call(L"Sleep " + std::to_wstring(ms));
}

int TScriptedHost::RunCmd(const std::wstring& cmd, int) {
    Call(L"RunCmd " + cmd);
    return 0;
}

std::vector<std::wstring> TScriptedHost::Calls() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FCalls;
}

void TRunGate::Hold() {
    std::unique_lock<std::mutex> lock(FLock);
    if (FHeld)
        return; // only the first operation waits
    FHeld = true;
    FChanged.notify_all();
    FChanged.wait_for(lock, std::chrono::seconds(20), [this] { return FReleased; });
}

bool TRunGate::WaitHeld(int timeoutMs) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FHeld; });
}

void TRunGate::Release() {
    std::lock_guard<std::mutex> lock(FLock);
    FReleased = true;
    FChanged.notify_all();
}

// --- fake system --------------------------------------------------------------------------------

INT_PTR TFakeSystem::ShellExecuteFile(HWND owner, const wchar_t* verb, const std::wstring& file,
                                      const wchar_t* params, const std::wstring& dir, int show) {
    ShellCalls.push_back({owner, verb ? verb : L"", file, params == nullptr, dir, show});
    return ShellResult;
}

int TFakeSystem::ShowMessageBox(HWND owner, const std::wstring& text, UINT type) {
    Boxes.push_back({owner, text, type});
    if (WhileMessageBox)
        WhileMessageBox();
    if (Answers.empty())
        return IDOK;
    const int answer = Answers.front();
    Answers.pop_front();
    return answer;
}

DWORD TFakeSystem::LogicalDrives() {
    ++DriveQueries;
    if (RealDrives)
        return TWizardSystem::LogicalDrives();
    DWORD mask = 0;
    for (const auto& [letter, type] : Drives)
        mask |= 1u << (letter - L'A');
    return mask;
}

UINT TFakeSystem::DriveType(const std::wstring& root) {
    if (RealDrives)
        return TWizardSystem::DriveType(root);
    auto it = Drives.find(root.empty() ? L'?' : root[0]);
    return it == Drives.end() ? DRIVE_NO_ROOT_DIR : it->second;
}

std::optional<uint64_t> TFakeSystem::FreeBytes(const std::wstring& root) {
    if (RealDrives)
        return TWizardSystem::FreeBytes(root);
    auto it = Free.find(root.empty() ? L'?' : root[0]);
    if (it != Free.end())
        return it->second;
    return uint64_t(51200) * 1048576;
}

std::unique_ptr<TSetupEngine> TFakeSystem::CreateEngine() {
    auto host = std::make_unique<TScriptedHost>(Exe);
    Hosts.push_back(host.get());
    if (ConfigureHost)
        ConfigureHost(*host);
    auto engine = std::make_unique<TSetupEngine>(std::move(host));
    Engines.push_back(engine.get());
    return engine;
}

std::unique_ptr<TPayloadExtractor> TFakeSystem::CreatePayload() {
    if (PayloadFactory)
        return PayloadFactory();
    return std::make_unique<TPayloadExtractor>(
        std::make_unique<TTestPayloadPlatform>(Exe, L"C:\\windows\\temp\\"));
}

std::unique_ptr<TZipInput> TTestPayloadPlatform::OpenRead(const std::wstring& path,
                                                          bool allowWriters) {
    if (!ReadError)
        return TSystemPayloadPlatform::OpenRead(path, allowWriters);
    struct TUnreadable : TZipInput {
        std::wstring Path;
        DWORD Error;
        uint64_t Size() const override { return 1 << 20; }
        void ReadAt(uint64_t, void*, size_t) override {
            throw EZipError(L"Cannot read file \"" + Path + L"\". " + SysErrorMessage(Error));
        }
    };
    auto input = std::make_unique<TUnreadable>();
    input->Path = path;
    input->Error = *ReadError;
    return input;
}

// --- driving the window -------------------------------------------------------------------------

void PumpFor(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < until);
}

std::wstring Text(HWND wnd) {
    const int len = GetWindowTextLengthW(wnd);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    const int got = GetWindowTextW(wnd, text.data(), len + 1);
    text.resize(static_cast<size_t>(got));
    return text;
}

bool Shown(HWND wnd) {
    return (GetWindowLongW(wnd, GWL_STYLE) & WS_VISIBLE) != 0;
}
bool Enabled(HWND wnd) {
    return IsWindowEnabled(wnd) != FALSE;
}
bool Checked(HWND wnd) {
    return SendMessageW(wnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SetChecked(HWND wnd, bool checked) {
    SendMessageW(wnd, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Click(HWND button) {
    ASSERT_TRUE(Shown(button)) << "clicking a hidden button";
    ASSERT_TRUE(Enabled(button)) << "clicking a disabled button";
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

void Pick(HWND combo, const std::wstring& item) {
    const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(item.c_str()));
    ASSERT_NE(index, CB_ERR) << "no item " << testing::PrintToString(item);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

static std::wstring ComboItem(HWND combo, int i) {
    const LRESULT len = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(len));
    return text;
}

std::vector<std::wstring> Items(HWND combo) {
    std::vector<std::wstring> items;
    const int n = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i)
        items.push_back(ComboItem(combo, i));
    return items;
}

std::wstring SelectedItem(HWND combo) {
    const int i = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    return i < 0 ? std::wstring() : ComboItem(combo, i);
}

std::vector<std::wstring> MemoLines(HWND memo) {
    const std::wstring text = Text(memo);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            if (start < text.size())
                lines.push_back(text.substr(start)); // a last line without its line break
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

RECT RectInParent(HWND wnd) {
    RECT r;
    GetWindowRect(wnd, &r);
    MapWindowPoints(nullptr, GetParent(wnd), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

TFontInfo FontOf(HWND wnd) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(wnd, WM_GETFONT, 0, 0));
    LOGFONTW lf = {};
    GetObjectW(font, sizeof(lf), &lf);
    return {-lf.lfHeight, lf.lfWeight >= FW_BOLD, lf.lfItalic != 0, lf.lfFaceName};
}

// --- files --------------------------------------------------------------------------------------

TTempDir::TTempDir(std::wstring path) : FPath(std::move(path)) {
    RemoveTree(FPath);
    SHCreateDirectoryExW(nullptr, FPath.c_str(), nullptr);
}

TTempDir::~TTempDir() {
    RemoveTree(FPath);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    ASSERT_EQ(written, bytes.size());
}

std::wstring TestProgramDir() {
    wchar_t buf[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    std::wstring path = buf;
    return path.substr(0, path.find_last_of(L'\\'));
}

// --- screen captures ----------------------------------------------------------------------------

COLORREF TCapture::Pixel(int x, int y) const {
    const size_t i = (static_cast<size_t>(y) * Width + x) * 3;
    return RGB(Rgb[i], Rgb[i + 1], Rgb[i + 2]);
}

TCapture CaptureClient(HWND wnd) {
    RedrawWindow(wnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpFor(300);
    RECT client;
    GetClientRect(wnd, &client);
    POINT origin = {0, 0};
    ClientToScreen(wnd, &origin);
    TCapture image;
    image.Width = client.right;
    image.Height = client.bottom;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = image.Width;
    bi.bmiHeader.biHeight = -image.Height; // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, dib);
    BitBlt(mem, 0, 0, image.Width, image.Height, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    const size_t stride = (static_cast<size_t>(image.Width) * 3 + 3) & ~size_t(3);
    image.Rgb.resize(static_cast<size_t>(image.Width) * image.Height * 3);
    const auto* src = static_cast<const uint8_t*>(bits);
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            const uint8_t* p = src + y * stride + x * 3;
            uint8_t* q = &image.Rgb[(static_cast<size_t>(y) * image.Width + x) * 3];
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
        }
    SelectObject(mem, old);
    DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return image;
}

namespace {

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void PutBE32(std::string& out, uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void Chunk(std::string& png, const char* type, const std::string& data) {
    PutBE32(png, static_cast<uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    png += body;
    PutBE32(png, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

} // namespace

// A PNG with stored (uncompressed) deflate blocks: no compression library needed for a few
// screenshots.
void WritePng(const TCapture& image, const std::wstring& path) {
    std::string raw;
    for (int y = 0; y < image.Height; ++y) {
        raw += '\0'; // filter: none
        raw.append(
            reinterpret_cast<const char*>(&image.Rgb[static_cast<size_t>(y) * image.Width * 3]),
            static_cast<size_t>(image.Width) * 3);
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t pos = 0; pos < raw.size() || pos == 0;) {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        const bool last = pos + n == raw.size();
        z += static_cast<char>(last ? 1 : 0);
        z += static_cast<char>(n & 0xFF);
        z += static_cast<char>(n >> 8);
        z += static_cast<char>(~n & 0xFF);
        z += static_cast<char>((~n >> 8) & 0xFF);
        z.append(raw, pos, n);
        pos += n;
        if (last)
            break;
    }
    PutBE32(z, (b << 16) | a);
    std::string ihdr;
    PutBE32(ihdr, static_cast<uint32_t>(image.Width));
    PutBE32(ihdr, static_cast<uint32_t>(image.Height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB
    std::string png = "\x89PNG\r\n\x1a\n";
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    WriteFileBytes(path, png);
}

// --- fixture ------------------------------------------------------------------------------------

bool TWizardTest::Open(bool shown) {
    Form = std::make_unique<TfrmSetup>(Sys);
    const bool created = Form->Create(shown ? SW_SHOWNORMAL : SW_HIDE);
    PumpFor(20);
    return created;
}

HWND TWizardTest::C(const std::wstring& name) const {
    HWND wnd = Form->Control(name);
    EXPECT_NE(wnd, nullptr) << "no control " << testing::PrintToString(name);
    return wnd;
}

void TWizardTest::HoldRuns() {
    Sys.ConfigureHost = [this](TScriptedHost& host) {
        if (Sys.Hosts.size() == 1) // the window's own engine, not the backup line's probe
            host.OnCall = [this](const std::wstring&) { FGate.Hold(); };
    };
}

void TWizardTest::GoToSettings() {
    Click(C(L"btnNext"));
    ASSERT_TRUE(Shown(C(L"tsSettings")));
}

void TWizardTest::PressKur() {
    ASSERT_EQ(Text(C(L"btnNext")), L"Kur");
    Click(C(L"btnNext"));
}

void TWizardTest::Destroy() {
    // A held run must not go on into the installation steps: cancel it before letting it go.
    if (!WindowGone() && !Sys.Engines.empty())
        Sys.Engine().Cancel();
    FGate.Release();
    Form.reset();
    Sys.Engines.clear(); // gone with the window
    Sys.Hosts.clear();
    PumpFor(10);
}

void TWizardTest::TearDown() {
    Destroy();
}

// Layout: the window, every control's place, size, font, colour and initial visibility, the
// keyboard order, and the four pages as rendered on the (virtual) screen, written as PNG files
// next to the test program.
#include <cmath>
#include <thread>

#include "WizardTestSupport.h"

namespace {

constexpr COLORREF kBlue = RGB(0x53, 0x9F, 0xC4);
constexpr COLORREF kWhite = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kGrey = RGB(0x80, 0x80, 0x80);
constexpr COLORREF kWindowText = CLR_DEFAULT;
constexpr int kAuto = -1; // the label sizes itself to its text

struct TLayoutRow {
    const wchar_t* Name;
    const wchar_t* Parent;
    int X, Y, W, H;
    const wchar_t* Caption; // nullptr: not checked
    int FontHeight;         // 0: not checked
    bool Bold, Italic;
    COLORREF Color; // text colour of labels, fill of panels and shapes; CLR_NONE: not checked
    bool Visible;
};

const TLayoutRow kLayout[] = {
    {L"pnlSidebar", nullptr, 0, 0, 200, 564, nullptr, 0, false, false, kBlue, true},
    {L"lblAppName", L"pnlSidebar", 14, 16, kAuto, kAuto, L"CorvaneMarket", 24, true, false, kWhite,
     true},
    {L"lblAppDesc", L"pnlSidebar", 20, 52, kAuto, kAuto, L"Kurulum Sihirbazı", 19, false, false,
     RGB(0xDC, 0xDC, 0xDC), true},
    {L"shpStep0", L"pnlSidebar", 20, 110, 12, 12, nullptr, 0, false, false, kWhite, true},
    {L"lblStep0", L"pnlSidebar", 40, 107, kAuto, kAuto, L"Hoş Geldiniz", 16, true, false, kWhite,
     true},
    {L"shpStep1", L"pnlSidebar", 20, 145, 12, 12, nullptr, 0, false, false, kGrey, true},
    {L"lblStep1", L"pnlSidebar", 40, 137, kAuto, kAuto, L"Ayarlar", 16, false, false, kGrey, true},
    {L"shpStep2", L"pnlSidebar", 20, 175, 12, 12, nullptr, 0, false, false, kGrey, true},
    {L"lblStep2", L"pnlSidebar", 40, 167, kAuto, kAuto, L"Kurulum", 16, false, false, kGrey, true},
    {L"shpStep3", L"pnlSidebar", 20, 205, 12, 12, nullptr, 0, false, false, kGrey, true},
    {L"lblStep3", L"pnlSidebar", 40, 197, kAuto, kAuto, L"Tamamla", 16, false, false, kGrey, true},
    {L"lblVersion", L"pnlSidebar", 20, 435, kAuto, kAuto, L"v1.0.0", 12, false, false,
     RGB(0x73, 0x73, 0x73), true},
    {L"pnlContent", nullptr, 200, 0, 490, 564, nullptr, 0, false, false, kWhite, true},
    {L"shpAccent", L"pnlContent", 0, 0, 490, 5, nullptr, 0, false, false, kBlue, true},
    {L"pnlButtons", L"pnlContent", 0, 488, 490, 76, nullptr, 0, false, false, kBlue, true},
    {L"pbProgress", L"pnlButtons", 0, 0, 490, 21, nullptr, 0, false, false, CLR_NONE, true},
    {L"btnBack", L"pnlButtons", 200, 32, 80, 30, L"< Geri", 16, false, false, CLR_NONE, false},
    {L"btnNext", L"pnlButtons", 285, 32, 90, 30, L"İleri >", 16, false, false, CLR_NONE, true},
    {L"btnCancel", L"pnlButtons", 385, 32, 80, 30, L"İptal", 16, false, false, CLR_NONE, true},
    {L"pcPages", L"pnlContent", 0, 5, 490, 483, nullptr, 0, false, false, kWhite, true},
    {L"lblWelcomeTitle", L"tsWelcome", 20, 10, kAuto, kAuto,
     L"CorvaneMarket Kurulumuna Hoş Geldiniz", 20, true, false, kWindowText, true},
    {L"lblWelcomeDesc", L"tsWelcome", 20, 50, 430, 98,
     L"Bu sihirbaz CorvaneMarket market yönetim sistemini bilgisayarınıza kuracaktır.\r\n\r\n"
     L"Devam etmek için İleri butonuna tıklayın.",
     16, false, false, kGrey, true},
    {L"lblWelcomeWarn", L"tsWelcome", 20, 156, 430, 60,
     L"! Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır.\r\n"
     L"Servisler ve veritabanı için Admin yetkisi gereklidir.",
     14, false, true, RGB(0x80, 0x00, 0x00), true},
    {L"lblYedekBilgi", L"tsWelcome", 20, 248, 430, 18, L"Yedek bulunamadi", 13, false, false, kGrey,
     false},
    {L"btnGeriYukle", L"tsWelcome", 20, 272, 200, 36, L"Onceki Surume Geri Yukle", 13, true, false,
     CLR_NONE, false},
    {L"lblSettingsTitle", L"tsSettings", 19, 4, kAuto, kAuto, L"Kurulum Ayarları", 16, true, false,
     kWindowText, true},
    {L"lblKurulumTipi", L"tsSettings", 200, 6, kAuto, kAuto, L"Kurulum Tipi:", 16, true, false,
     kWindowText, true},
    {L"cbKurulumTipi", L"tsSettings", 307, 3, 142, 28, nullptr, 15, true, false, CLR_NONE, true},
    {L"Shape2", L"tsSettings", 4, 41, 450, 4, nullptr, 0, false, false, RGB(0x47, 0x9A, 0x80),
     true},
    {L"lblDriveInfo", L"tsSettings", 22, 53, kAuto, kAuto, nullptr, 15, false, false, kGrey, true},
    {L"lblDiskCaption", L"tsSettings", 19, 85, kAuto, kAuto, L"Kurulum diski:", 16, true, false,
     kWindowText, true},
    {L"cbDrive", L"tsSettings", 136, 84, 85, 28, nullptr, 15, false, false, CLR_NONE, true},
    {L"lblDbDriveInfo", L"tsSettings", 22, 122, kAuto, kAuto, nullptr, 15, false, false, kGrey,
     true},
    {L"lblDbDriveCaption", L"tsSettings", 1, 153, kAuto, kAuto, L"Veritabanı diski:", 16, true,
     false, kWindowText, true},
    {L"cbDbDrive", L"tsSettings", 136, 152, 85, 28, nullptr, 15, false, false, CLR_NONE, true},
    {L"lblUpdateWarn", L"tsSettings", 3, 182, 435, 32, L"...", 14, true, false,
     RGB(0xFF, 0x80, 0x00), true},
    {L"shpDivider", L"tsSettings", 4, 214, 450, 4, nullptr, 0, false, false, RGB(0xC0, 0xC0, 0xC0),
     true},
    {L"lblOptionsCaption", L"tsSettings", 20, 220, kAuto, kAuto, L"Kurulum seçenekleri:", 19, true,
     false, kWindowText, true},
    {L"Shape1", L"tsSettings", 4, 255, 450, 4, nullptr, 0, false, false, RGB(0xC0, 0xC0, 0xC0),
     true},
    {L"chkDesktopShortcut", L"tsSettings", 11, 262, 450, 30, L"Masaüstü kısayolu oluştur", 19,
     false, false, CLR_NONE, true},
    {L"chkFirewall", L"tsSettings", 13, 293, 450, 30,
     L"Güvenlik duvarı kuralları ekle (Port 3307, 4002)", 19, false, false, CLR_NONE, true},
    {L"chkRemoteAccess", L"tsSettings", 11, 323, 450, 30,
     L"Uzak erişim (terminaller için ağ erişimi)", 19, false, false, CLR_NONE, true},
    {L"chkCorvaneSync", L"tsSettings", 11, 355, 450, 30, L"CorvaneMarket Servisi kur", 19, false,
     false, CLR_NONE, true},
    {L"chkDemoData", L"tsSettings", 11, 389, 450, 30, L"Demo verileri yükle", 19, false, false,
     CLR_NONE, false},
    {L"lblInstallTitle", L"tsInstall", 21, 6, kAuto, kAuto, L"Kuruluyor...", 16, true, false,
     kWindowText, true},
    {L"lblCurrentStep", L"tsInstall", 21, 32, kAuto, kAuto, L"Başlatılıyor...", 16, false, false,
     RGB(0x80, 0x00, 0x00), true},
    {L"memoLog", L"tsInstall", 20, 65, 430, 290, L"", 13, false, false, RGB(0xF0, 0xF0, 0xF0),
     true},
    {L"lblFinishTitle", L"tsFinish", 20, 20, kAuto, kAuto, L"Kurulum Tamamlandı!", 19, true, false,
     RGB(0x80, 0x40, 0x40), true},
    {L"lblFinishDesc", L"tsFinish", 20, 55, 420, 120, L"CorvaneMarket başarıyla kuruldu.", 16,
     false, false, kGrey, true},
    {L"chkRunApp", L"tsFinish", 20, 200, 300, 22, L"CorvaneMarketı başlat", 19, false, false,
     CLR_NONE, true},
};

} // namespace

class LayoutTest : public TWizardTest {
protected:
    void Shoot(const wchar_t* file) {
        const TCapture shot = CaptureClient(Form->Handle());
        WritePng(shot, TestProgramDir() + L"\\" + file);
        // Sidebar, accent stripe and button bar as the layout places and colours them.
        EXPECT_EQ(shot.Pixel(5, 300), kBlue) << "sidebar";
        EXPECT_EQ(shot.Pixel(199, 563), kBlue) << "sidebar";
        EXPECT_EQ(shot.Pixel(200, 0), kBlue) << "accent stripe";
        EXPECT_EQ(shot.Pixel(689, 4), kBlue) << "accent stripe";
        EXPECT_EQ(shot.Pixel(689, 5), kWhite) << "page below the stripe";
        EXPECT_EQ(shot.Pixel(689, 487), kWhite) << "page above the button bar";
        EXPECT_EQ(shot.Pixel(205, 520), kBlue) << "button bar";
        EXPECT_EQ(shot.Pixel(689, 563), kBlue) << "button bar";
        EXPECT_EQ(shot.Pixel(200 + 300, 488 + 66), kBlue) << "below the buttons";
    }
};

TEST_F(LayoutTest, TheWindow) {
    ASSERT_TRUE(Open(true));
    HWND wnd = Form->Handle();
    EXPECT_EQ(Text(wnd), L"CorvaneMarket Kurulum");
    RECT client;
    GetClientRect(wnd, &client);
    EXPECT_EQ(client.right, 690);
    EXPECT_EQ(client.bottom, 564);
    const LONG style = GetWindowLongW(wnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME) << "fixed size";
    EXPECT_TRUE(GetWindowLongW(wnd, GWL_EXSTYLE) & WS_EX_APPWINDOW) << "own task-bar button";
    EXPECT_EQ(GetParent(wnd), nullptr);
    RECT r;
    GetWindowRect(wnd, &r);
    EXPECT_LE(std::abs((r.left + r.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 1);
    EXPECT_LE(std::abs((r.top + r.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2), 1);
}

TEST_F(LayoutTest, EveryControlAsLaidOut) {
    ASSERT_TRUE(Open());
    for (const TLayoutRow& row : kLayout) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.Name)));
        HWND wnd = C(row.Name);
        ASSERT_NE(wnd, nullptr);
        if (row.Parent) {
            EXPECT_EQ(GetParent(wnd), C(row.Parent));
        } else {
            EXPECT_EQ(GetParent(wnd), Form->Handle());
        }
        const RECT r = RectInParent(wnd);
        EXPECT_EQ(r.left, row.X);
        EXPECT_EQ(r.top, row.Y);
        if (row.W != kAuto) {
            EXPECT_EQ(r.right - r.left, row.W);
            EXPECT_EQ(r.bottom - r.top, row.H);
        }
        if (row.Caption) {
            EXPECT_EQ(Text(wnd), row.Caption);
        }
        if (row.FontHeight) {
            const TFontInfo font = FontOf(wnd);
            EXPECT_EQ(font.Height, row.FontHeight);
            EXPECT_EQ(font.Bold, row.Bold);
            EXPECT_EQ(font.Italic, row.Italic);
            EXPECT_EQ(font.Face, std::wstring(row.Name) == L"memoLog" ? L"Consolas" : L"Segoe UI");
        }
        if (row.Color != CLR_NONE) {
            const std::wstring name = row.Name;
            const bool filled = name.rfind(L"pnl", 0) == 0 || name.rfind(L"shp", 0) == 0 ||
                                name.rfind(L"Shape", 0) == 0 || name == L"pcPages" ||
                                name == L"memoLog";
            const COLORREF expected =
                row.Color == kWindowText ? GetSysColor(COLOR_WINDOWTEXT) : row.Color;
            EXPECT_EQ(filled ? Form->FillColor(name) : Form->TextColor(name), expected);
        }
        EXPECT_EQ(Shown(wnd), row.Visible);
    }
    // Labels that size themselves fit their text and do not wrap it.
    const RECT step = RectInParent(C(L"lblStep1"));
    EXPECT_GT(step.right - step.left, 20);
    EXPECT_GT(step.bottom - step.top, 12);
    EXPECT_LT(step.bottom - step.top, 30);
    // The log keeps everything: its limit is lifted far above the default.
    EXPECT_GT(SendMessageW(C(L"memoLog"), EM_GETLIMITTEXT, 0, 0), 10000000);
    EXPECT_TRUE(GetWindowLongW(C(L"memoLog"), GWL_STYLE) & ES_READONLY);
    EXPECT_TRUE(GetWindowLongW(C(L"memoLog"), GWL_STYLE) & WS_VSCROLL);
    EXPECT_EQ(GetWindowLongW(C(L"cbDrive"), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    EXPECT_EQ(Checked(C(L"chkDesktopShortcut")) && Checked(C(L"chkFirewall")) &&
                  Checked(C(L"chkRemoteAccess")) && Checked(C(L"chkCorvaneSync")) &&
                  Checked(C(L"chkRunApp")),
              true);
    EXPECT_FALSE(Checked(C(L"chkDemoData")));
}

TEST_F(LayoutTest, KeyboardOrderThroughTheSettingsPageAndTheButtonBar) {
    ASSERT_TRUE(Open(true));
    GoToSettings();
    Pick(C(L"cbKurulumTipi"), L"Ana Makine"); // shows the demo box, which takes its place
    const wchar_t* const order[] = {L"cbDrive",         L"chkDesktopShortcut", L"chkFirewall",
                                    L"chkRemoteAccess", L"chkCorvaneSync",     L"chkDemoData",
                                    L"cbKurulumTipi",   L"cbDbDrive",          L"btnBack",
                                    L"btnNext",         L"btnCancel",          L"cbDrive"};
    HWND at = C(order[0]);
    for (size_t i = 1; i < std::size(order); ++i) {
        at = GetNextDlgTabItem(Form->Handle(), at, FALSE);
        EXPECT_EQ(at, C(order[i]))
            << "after " << testing::PrintToString(std::wstring(order[i - 1]));
        if (at != C(order[i])) {
            at = C(order[i]);
        }
    }
}

TEST_F(LayoutTest, ScreenshotsOfTheFourPages) {
    HoldRuns();
    ASSERT_TRUE(Open(true));
    Shoot(L"wizard-page0-welcome.png");

    GoToSettings();
    Pick(C(L"cbDrive"), L"C:");
    Shoot(L"wizard-page1-settings.png");
    const TCapture settings = CaptureClient(Form->Handle());
    EXPECT_EQ(settings.Pixel(200 + 4 + 200, 5 + 41 + 1), RGB(0x47, 0x9A, 0x80)) << "Shape2";
    EXPECT_EQ(settings.Pixel(200 + 4 + 200, 5 + 214 + 1), RGB(0xC0, 0xC0, 0xC0)) << "shpDivider";

    PressKur();
    ASSERT_TRUE(WaitRunHeld());
    TSetupEngine& engine = Sys.Engine();
    std::thread([&engine] {
        engine.OnProgress()(40, L"MariaDB başlatılıyor...");
        for (int i = 0; i < 40; ++i)
            engine.OnLog()(L"  > satır " + std::to_wstring(i));
    }).join();
    ASSERT_TRUE(
        PumpUntil([&] { return Text(C(L"lblCurrentStep")) == L"MariaDB başlatılıyor..."; }));
    Shoot(L"wizard-page2-install.png");
    const TCapture install = CaptureClient(Form->Handle());
    EXPECT_EQ(install.Pixel(200 + 20 + 200, 5 + 65 + 280), RGB(0xF0, 0xF0, 0xF0))
        << "log background";

    std::thread([&engine] { engine.OnFinished()({TRunResult::Succeeded, L""}); }).join();
    ASSERT_TRUE(PumpUntil([&] { return Shown(C(L"tsFinish")); }));
    Shoot(L"wizard-page3-finish.png");
}

// Every label of the settings page is drawn whole: its text, measured in the font it is drawn
// with (under Wine: the prefix's stand-in for Segoe UI), fits its own place and does not run
// under a list or box beside it, which would hide its end ("Kurulum Tip").
TEST_F(LayoutTest, EveryTextOfTheSettingsPageWhole) {
    ASSERT_TRUE(Open(true));
    GoToSettings();
    Pick(C(L"cbKurulumTipi"), L"Ana Makine");
    HWND page = C(L"tsSettings");
    std::vector<HWND> children;
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (Shown(c))
            children.push_back(c);
    const auto className = [](HWND w) {
        wchar_t name[64] = {};
        GetClassNameW(w, name, 64);
        return std::wstring(name);
    };
    // The text's size in the control's own font; wrapping texts wrap at the control's width.
    const auto measure = [](HWND w, const std::wstring& text, int wrapWidth) {
        HDC dc = GetDC(w);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)));
        RECT r = {0, 0, wrapWidth, 0};
        DrawTextW(dc, text.c_str(), int(text.size()), &r,
                  DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS | (wrapWidth ? DT_WORDBREAK : 0));
        SelectObject(dc, old);
        ReleaseDC(w, dc);
        return SIZE{r.right - r.left, r.bottom - r.top};
    };
    RECT pageRect;
    GetClientRect(page, &pageRect);
    int labels = 0;
    for (HWND w : children) {
        const std::wstring cls = className(w);
        const RECT r = RectInParent(w);
        const int width = r.right - r.left, height = r.bottom - r.top;
        SCOPED_TRACE(testing::PrintToString(Text(w)));
        if (cls == L"Static" || cls == L"STATIC") {
            ++labels;
            const bool wraps = (GetWindowLongW(w, GWL_STYLE) & SS_TYPEMASK) == SS_LEFT;
            std::vector<std::wstring> texts = {Text(w)};
            if (w == C(L"lblUpdateWarn"))
                texts.push_back(L"MEVCUT KURULUM TESPIT EDİLDİ - Güncelleme yapılacak");
            for (const std::wstring& t : texts) {
                const SIZE s = measure(w, t, wraps ? width : 0);
                EXPECT_LE(s.cx, width) << "text wider than its label";
                EXPECT_LE(s.cy, height) << "text taller than its label";
            }
            EXPECT_LE(r.right, pageRect.right) << "label beyond the page";
            for (HWND other : children) {
                const std::wstring oc = className(other);
                if (oc == L"Static" || oc == L"STATIC")
                    continue;
                RECT o = RectInParent(other), both;
                EXPECT_FALSE(IntersectRect(&both, &r, &o))
                    << "label runs under " << testing::PrintToString(Text(other));
            }
        } else if (cls == L"Button") {
            // The box and the gap before the text take about the height of a menu check mark.
            const SIZE s = measure(w, Text(w), 0);
            EXPECT_LE(s.cx + GetSystemMetrics(SM_CXMENUCHECK) + 6, width) << "check box text";
            EXPECT_LE(s.cy, height) << "check box text";
        }
    }
    EXPECT_EQ(labels, 8);
}

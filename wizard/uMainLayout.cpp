// The window's controls: creation at the positions of the layout, fonts, colours and painting.
#include "uMain.h"

#include <commctrl.h>

#include "uLook.h"

namespace {

const wchar_t* const kFormClass = L"TfrmSetup";
const wchar_t* const kPanelClass = L"TCorvanePanel";

constexpr COLORREF kSidebar = Look::Accent;
constexpr COLORREF kWhite = Look::White;
constexpr COLORREF kGrey = Look::Grey;
constexpr COLORREF kMaroon = Look::Maroon;

// A screen DC for measuring text, released on every path.
class TWindowDC {
public:
    explicit TWindowDC(HWND wnd) : FWnd(wnd), FDc(GetDC(wnd)) {}
    ~TWindowDC() {
        if (FDc)
            ReleaseDC(FWnd, FDc);
    }
    TWindowDC(const TWindowDC&) = delete;
    TWindowDC& operator=(const TWindowDC&) = delete;
    HDC Get() const { return FDc; }

private:
    HWND FWnd;
    HDC FDc;
};

class TPaintDC {
public:
    explicit TPaintDC(HWND wnd) : FWnd(wnd) { FDc = BeginPaint(wnd, &FPs); }
    ~TPaintDC() { EndPaint(FWnd, &FPs); }
    TPaintDC(const TPaintDC&) = delete;
    TPaintDC& operator=(const TPaintDC&) = delete;
    HDC Get() const { return FDc; }

private:
    HWND FWnd;
    PAINTSTRUCT FPs = {};
    HDC FDc = nullptr;
};

} // namespace

// Panels, pages and shapes: they paint their own colour and pass their children's notifications
// on to the form, which owns every handler.
LRESULT CALLBACK TfrmSetup::PanelProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE)
        SetWindowLongPtrW(
            wnd, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
    auto* c = reinterpret_cast<TControl*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        if (c) {
            c->Form->PaintPanel(*c);
            return 0;
        }
        break;
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        if (c && c->Form->FHandle)
            return SendMessageW(c->Form->FHandle, msg, wp, lp);
        break;
    case WM_NCDESTROY:
        SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
        break;
    }
    return DefWindowProcW(wnd, msg, wp, lp);
}

void TfrmSetup::PaintPanel(TControl& c) {
    TPaintDC dc(c.Handle);
    RECT r;
    GetClientRect(c.Handle, &r);
    if (c.Kind == TKind::Circle) {
        FillRect(dc.Get(), &r, FBrushes.Get(BackgroundOf(c.Parent)));
        TSelectObject pen(dc.Get(), GetStockObject(NULL_PEN));
        TSelectObject brush(dc.Get(), FBrushes.Get(c.Fill));
        // A null pen leaves out the right and bottom edge: one pixel more to fill the box.
        Ellipse(dc.Get(), r.left, r.top, r.right + 1, r.bottom + 1);
    } else {
        FillRect(dc.Get(), &r, FBrushes.Get(c.Fill == CLR_NONE ? BackgroundOf(c.Parent) : c.Fill));
    }
}

LRESULT TfrmSetup::ColorControl(HDC dc, HWND ctl) {
    const TControl* c = Find(ctl);
    const COLORREF bg = BackgroundOf(c);
    const COLORREF text = (c && c->Text != CLR_DEFAULT) ? c->Text : GetSysColor(COLOR_WINDOWTEXT);
    ::SetTextColor(dc, text);
    SetBkColor(dc, bg);
    return reinterpret_cast<LRESULT>(FBrushes.Get(bg));
}

TfrmSetup::TControl* TfrmSetup::Find(HWND wnd) const {
    auto it = FByHandle.find(wnd);
    return it == FByHandle.end() ? nullptr : it->second;
}

COLORREF TfrmSetup::BackgroundOf(const TControl* c) const {
    for (; c; c = c->Parent) {
        if (c->Kind != TKind::Circle && c->Kind != TKind::Rect && c->Fill != CLR_NONE)
            return c->Fill;
    }
    return kWhite;
}

HFONT TfrmSetup::Font(const TFontStyle& style) {
    return FFonts.Get(style.Face, style.Height, style.Bold, style.Italic);
}

void TfrmSetup::SetFont(HWND wnd, HFONT font) {
    SendMessageW(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (TControl* c = Find(wnd); c && c->Kind == TKind::Label)
        AutoSize(*c);
}

void TfrmSetup::SetCaption(HWND wnd, const std::wstring& text) {
    SetWindowTextW(wnd, text.c_str());
    if (TControl* c = Find(wnd); c && c->Kind == TKind::Label) {
        AutoSize(*c);
        InvalidateRect(wnd, nullptr, TRUE);
    }
}

// Labels without a fixed size take the size of their text, line breaks included.
void TfrmSetup::AutoSize(TControl& c) {
    if (c.Sizing != TSizing::Auto)
        return;
    std::wstring text = WindowText(c.Handle);
    if (text.empty())
        text = L" "; // an empty label keeps the height of one line
    TWindowDC dc(c.Handle);
    TSelectObject font(dc.Get(), reinterpret_cast<HFONT>(SendMessageW(c.Handle, WM_GETFONT, 0, 0)));
    RECT r = {0, 0, 0, 0};
    DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
    SetWindowPos(c.Handle, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmSetup::SetTextColor(HWND wnd, COLORREF color) {
    if (TControl* c = Find(wnd)) {
        c->Text = color;
        InvalidateRect(wnd, nullptr, TRUE);
    }
}

void TfrmSetup::SetFillColor(HWND wnd, COLORREF color) {
    if (TControl* c = Find(wnd)) {
        c->Fill = color;
        InvalidateRect(wnd, nullptr, TRUE);
    }
}

HWND TfrmSetup::Control(const std::wstring& name) const {
    auto it = FByName.find(name);
    return it == FByName.end() ? nullptr : it->second->Handle;
}

COLORREF TfrmSetup::TextColor(const std::wstring& name) const {
    auto it = FByName.find(name);
    if (it == FByName.end())
        return CLR_INVALID;
    return it->second->Text == CLR_DEFAULT ? GetSysColor(COLOR_WINDOWTEXT) : it->second->Text;
}

COLORREF TfrmSetup::FillColor(const std::wstring& name) const {
    auto it = FByName.find(name);
    if (it == FByName.end())
        return CLR_INVALID;
    const TControl* c = it->second;
    if ((c->Kind == TKind::Circle || c->Kind == TKind::Rect) && c->Fill != CLR_NONE)
        return c->Fill;
    return BackgroundOf(c);
}

TfrmSetup::TControl& TfrmSetup::Add(const std::wstring& name, TKind kind, TControl* parent, int x,
                                    int y, int w, int h, const wchar_t* cls, DWORD style,
                                    DWORD exStyle, const std::wstring& text) {
    auto owned = std::make_unique<TControl>();
    TControl& c = *owned;
    c.Form = this;
    c.Name = name;
    c.Kind = kind;
    c.Parent = parent;
    FControls.push_back(std::move(owned));
    const bool isPanel = cls == kPanelClass;
    c.Handle =
        CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style,
                        x, y, w, h, parent ? parent->Handle : FHandle,
                        isPanel ? nullptr : reinterpret_cast<HMENU>(INT_PTR(FNextId++)),
                        GetModuleHandleW(nullptr), isPanel ? &c : nullptr);
    FByHandle[c.Handle] = &c;
    FByName[name] = &c;
    // Until told otherwise every control speaks in the window's own font.
    SendMessageW(c.Handle, WM_SETFONT, reinterpret_cast<WPARAM>(Font({})), FALSE);
    return c;
}

TfrmSetup::TControl& TfrmSetup::AddPanel(const std::wstring& name, TControl* parent, int x, int y,
                                         int w, int h, COLORREF fill) {
    TControl& c = Add(name, TKind::Panel, parent, x, y, w, h, kPanelClass, WS_CLIPCHILDREN,
                      WS_EX_CONTROLPARENT, L"");
    c.Fill = fill;
    return c;
}

TfrmSetup::TControl& TfrmSetup::AddShape(const std::wstring& name, TKind kind, TControl* parent,
                                         int x, int y, int w, int h, COLORREF fill) {
    TControl& c = Add(name, kind, parent, x, y, w, h, kPanelClass, 0, 0, L"");
    c.Fill = fill;
    return c;
}

TfrmSetup::TControl& TfrmSetup::AddLabel(const std::wstring& name, TControl* parent, int x, int y,
                                         int w, int h, const std::wstring& caption, TFontStyle font,
                                         COLORREF color, TSizing sizing) {
    const DWORD style = SS_NOPREFIX | (sizing == TSizing::Wraps ? SS_LEFT : SS_LEFTNOWORDWRAP);
    TControl& c = Add(name, TKind::Label, parent, x, y, w, h, L"STATIC", style, 0, caption);
    c.Sizing = sizing;
    c.Text = color;
    SetFont(c.Handle, Font(font));
    return c;
}

TfrmSetup::TControl& TfrmSetup::AddButton(const std::wstring& name, TControl* parent, int x, int y,
                                          int w, int h, const std::wstring& caption,
                                          TFontStyle font) {
    TControl& c = Add(name, TKind::Button, parent, x, y, w, h, L"BUTTON",
                      WS_TABSTOP | BS_PUSHBUTTON, 0, caption);
    SetFont(c.Handle, Font(font));
    return c;
}

TfrmSetup::TControl& TfrmSetup::AddCheckBox(const std::wstring& name, TControl* parent, int x,
                                            int y, int w, int h, const std::wstring& caption,
                                            TFontStyle font, bool checked) {
    TControl& c = Add(name, TKind::CheckBox, parent, x, y, w, h, L"BUTTON",
                      WS_TABSTOP | BS_AUTOCHECKBOX, 0, caption);
    SetFont(c.Handle, Font(font));
    SendMessageW(c.Handle, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    return c;
}

TfrmSetup::TControl& TfrmSetup::AddDropDown(const std::wstring& name, TControl* parent, int x,
                                            int y, int w, int h, TFontStyle font) {
    // The height given to a combo box includes its drop-down list; the closed box gets the
    // layout's height through the height of its selection field below.
    TControl& c = Add(name, TKind::DropDown, parent, x, y, w, h + 200, WC_COMBOBOXW,
                      WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, L"");
    SetFont(c.Handle, Font(font));
    // Adjusted by what the box really measures: what CB_GETITEMHEIGHT reports for the field
    // differs between implementations by its padding.
    int field =
        static_cast<int>(SendMessageW(c.Handle, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    for (int attempt = 0; attempt < 4 && field > 0; ++attempt) {
        RECT r;
        GetWindowRect(c.Handle, &r);
        const int closed = r.bottom - r.top;
        if (closed == h || field + h - closed <= 0)
            break;
        field += h - closed;
        SendMessageW(c.Handle, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
    }
    return c;
}

// Focus moves through siblings in their z-order: put each control right after the one before.
void TfrmSetup::SetTabOrder(const std::vector<HWND>& order) {
    for (size_t i = 1; i < order.size(); ++i)
        SetWindowPos(order[i], order[i - 1], 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TfrmSetup::BuildControls() {
    const TSizing wraps = TSizing::Wraps;
    const TSizing fixed = TSizing::Fixed;
    const COLORREF text = CLR_DEFAULT;

    // Sidebar.
    TControl& sidebar = AddPanel(L"pnlSidebar", nullptr, 0, 0, 200, 564, kSidebar);
    pnlSidebar = sidebar.Handle;
    lblAppName =
        AddLabel(L"lblAppName", &sidebar, 14, 16, 147, 32, L"CorvaneMarket", {24, true}, kWhite)
            .Handle;
    lblAppDesc = AddLabel(L"lblAppDesc", &sidebar, 20, 52, 150, 25, L"Kurulum Sihirbazı", {19},
                          Look::Subtitle)
                     .Handle;
    static const wchar_t* const stepNames[4] = {L"Hoş Geldiniz", L"Ayarlar", L"Kurulum",
                                                L"Tamamla"};
    static const int shapeTop[4] = {110, 145, 175, 205};
    static const int labelTop[4] = {107, 137, 167, 197};
    static const int labelWidth[4] = {87, 50, 60, 62};
    for (int i = 0; i < 4; ++i) {
        const COLORREF color = i == 0 ? kWhite : kGrey;
        shpStep[i] = AddShape(L"shpStep" + std::to_wstring(i), TKind::Circle, &sidebar, 20,
                              shapeTop[i], 12, 12, color)
                         .Handle;
        lblStep[i] = AddLabel(L"lblStep" + std::to_wstring(i), &sidebar, 40, labelTop[i],
                              labelWidth[i], 21, stepNames[i], {16}, color)
                         .Handle;
    }
    lblVersion =
        AddLabel(L"lblVersion", &sidebar, 20, 435, 30, 15, L"v1.0.0", {12}, RGB(0x73, 0x73, 0x73))
            .Handle;

    // Content: accent stripe, pages, button bar.
    TControl& content = AddPanel(L"pnlContent", nullptr, 200, 0, 490, 564, kWhite);
    pnlContent = content.Handle;
    shpAccent = AddShape(L"shpAccent", TKind::Rect, &content, 0, 0, 490, 5, kSidebar).Handle;
    TControl& pages = AddPanel(L"pcPages", &content, 0, 5, 490, 483, CLR_NONE);
    pcPages = pages.Handle;
    TControl& buttons = AddPanel(L"pnlButtons", &content, 0, 488, 490, 76, kSidebar);
    pnlButtons = buttons.Handle;
    pbProgress =
        Add(L"pbProgress", TKind::Progress, &buttons, 0, 0, 490, 21, PROGRESS_CLASSW, 0, 0, L"")
            .Handle;
    SendMessageW(pbProgress, PBM_SETRANGE32, 0, 100);
    SendMessageW(pbProgress, PBM_SETPOS, 0, 0);
    btnBack = AddButton(L"btnBack", &buttons, 200, 32, 80, 30, L"< Geri", {16}).Handle;
    btnNext = AddButton(L"btnNext", &buttons, 285, 32, 90, 30, L"İleri >", {16}).Handle;
    btnCancel = AddButton(L"btnCancel", &buttons, 385, 32, 80, 30, L"İptal", {16}).Handle;

    // The pages fill the container; only GoToPage shows one of them.
    TControl& welcome = AddPanel(L"tsWelcome", &pages, 0, 0, 490, 483, CLR_NONE);
    TControl& settings = AddPanel(L"tsSettings", &pages, 0, 0, 490, 483, CLR_NONE);
    TControl& install = AddPanel(L"tsInstall", &pages, 0, 0, 490, 483, CLR_NONE);
    TControl& finish = AddPanel(L"tsFinish", &pages, 0, 0, 490, 483, CLR_NONE);
    tsWelcome = welcome.Handle;
    tsSettings = settings.Handle;
    tsInstall = install.Handle;
    tsFinish = finish.Handle;
    ShowWindow(tsSettings, SW_HIDE);
    ShowWindow(tsInstall, SW_HIDE);
    ShowWindow(tsFinish, SW_HIDE);

    // Welcome page.
    lblWelcomeTitle = AddLabel(L"lblWelcomeTitle", &welcome, 20, 10, 369, 28,
                               L"CorvaneMarket Kurulumuna Hoş Geldiniz", {20, true}, text)
                          .Handle;
    lblWelcomeDesc = AddLabel(L"lblWelcomeDesc", &welcome, 20, 50, 430, 98,
                              L"Bu sihirbaz CorvaneMarket market yönetim sistemini bilgisayarınıza "
                              L"kuracaktır.\r\n\r\nDevam etmek için İleri butonuna tıklayın.",
                              {16}, kGrey, wraps)
                         .Handle;
    lblWelcomeWarn = AddLabel(L"lblWelcomeWarn", &welcome, 20, 156, 430, 60,
                              L"! Bu program Yönetici (Admin) hakları ile çalıştırılmalıdır.\r\n"
                              L"Servisler ve veritabanı için Admin yetkisi gereklidir.",
                              {14, false, true}, kMaroon, wraps)
                         .Handle;
    lblYedekBilgi = AddLabel(L"lblYedekBilgi", &welcome, 20, 248, 430, 18, L"Yedek bulunamadi",
                             {13}, kGrey, fixed)
                        .Handle;
    ShowWindow(lblYedekBilgi, SW_HIDE);
    btnGeriYukle = AddButton(L"btnGeriYukle", &welcome, 20, 272, 200, 36,
                             L"Onceki Surume Geri Yukle", {13, true})
                       .Handle;
    ShowWindow(btnGeriYukle, SW_HIDE);
    lblYarimGuncelleme =
        AddLabel(L"lblYarimGuncelleme", &welcome, 20, 316, 430, 36,
                 L"! Son guncelleme yarida kaldi. Yedek korunuyor; geri yukleyin ya da "
                 L"guncellemeyi tekrar calistirin.",
                 {13}, kMaroon, wraps)
            .Handle;
    ShowWindow(lblYarimGuncelleme, SW_HIDE);

    // Settings page.
    lblSettingsTitle = AddLabel(L"lblSettingsTitle", &settings, 19, 4, 130, 21, L"Kurulum Ayarları",
                                {16, true}, text)
                           .Handle;
    lblKurulumTipi =
        AddLabel(L"lblKurulumTipi", &settings, 200, 6, 103, 21, L"Kurulum Tipi:", {16, true}, text)
            .Handle;
    cbKurulumTipi = AddDropDown(L"cbKurulumTipi", &settings, 307, 3, 142, 28, {15, true}).Handle;
    Shape2 =
        AddShape(L"Shape2", TKind::Rect, &settings, 4, 41, 450, 4, RGB(0x47, 0x9A, 0x80)).Handle;
    lblDriveInfo = AddLabel(L"lblDriveInfo", &settings, 22, 53, 9, 20, L"...", {15}, kGrey).Handle;
    lblDiskCaption =
        AddLabel(L"lblDiskCaption", &settings, 19, 85, 110, 21, L"Kurulum diski:", {16, true}, text)
            .Handle;
    cbDrive = AddDropDown(L"cbDrive", &settings, 136, 84, 85, 28, {15}).Handle;
    lblDbDriveInfo =
        AddLabel(L"lblDbDriveInfo", &settings, 22, 122, 9, 20, L"...", {15}, kGrey).Handle;
    lblDbDriveCaption = AddLabel(L"lblDbDriveCaption", &settings, 1, 153, 123, 21,
                                 L"Veritabanı diski:", {16, true}, text)
                            .Handle;
    cbDbDrive = AddDropDown(L"cbDbDrive", &settings, 136, 152, 85, 28, {15}).Handle;
    lblUpdateWarn = AddLabel(L"lblUpdateWarn", &settings, 3, 182, 435, 32, L"...", {14, true},
                             RGB(0xFF, 0x80, 0x00), wraps)
                        .Handle;
    shpDivider =
        AddShape(L"shpDivider", TKind::Rect, &settings, 4, 214, 450, 4, RGB(0xC0, 0xC0, 0xC0))
            .Handle;
    lblOptionsCaption = AddLabel(L"lblOptionsCaption", &settings, 20, 220, 186, 25,
                                 L"Kurulum seçenekleri:", {19, true}, text)
                            .Handle;
    Shape1 =
        AddShape(L"Shape1", TKind::Rect, &settings, 4, 255, 450, 4, RGB(0xC0, 0xC0, 0xC0)).Handle;
    chkDesktopShortcut = AddCheckBox(L"chkDesktopShortcut", &settings, 11, 262, 450, 30,
                                     L"Masaüstü kısayolu oluştur", {19}, true)
                             .Handle;
    chkFirewall = AddCheckBox(L"chkFirewall", &settings, 13, 293, 450, 30,
                              L"Güvenlik duvarı kuralları ekle (Port 3307, 4002)", {19}, true)
                      .Handle;
    chkRemoteAccess = AddCheckBox(L"chkRemoteAccess", &settings, 11, 323, 450, 30,
                                  L"Uzak erişim (terminaller için ağ erişimi)", {19}, true)
                          .Handle;
    chkCorvaneSync = AddCheckBox(L"chkCorvaneSync", &settings, 11, 355, 450, 30,
                                 L"CorvaneMarket Servisi kur", {19}, true)
                         .Handle;
    chkDemoData = AddCheckBox(L"chkDemoData", &settings, 11, 389, 450, 30, L"Demo verileri yükle",
                              {19}, false)
                      .Handle;
    ShowWindow(chkDemoData, SW_HIDE);
    SetTabOrder({cbDrive, chkDesktopShortcut, chkFirewall, chkRemoteAccess, chkCorvaneSync,
                 chkDemoData, cbKurulumTipi, cbDbDrive});
    // Labels and shapes lie under the lists and boxes, so a caption longer than its place (a
    // wider substitute font) never covers a control.
    for (const auto& c : FControls)
        if (c->Kind == TKind::Label || c->Kind == TKind::Circle || c->Kind == TKind::Rect)
            SetWindowPos(c->Handle, HWND_BOTTOM, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    // Installation page.
    lblInstallTitle =
        AddLabel(L"lblInstallTitle", &install, 21, 6, 87, 21, L"Kuruluyor...", {16, true}, text)
            .Handle;
    lblCurrentStep =
        AddLabel(L"lblCurrentStep", &install, 21, 32, 85, 21, L"Başlatılıyor...", {16}, kMaroon)
            .Handle;
    TControl& memo = Add(L"memoLog", TKind::Memo, &install, 20, 65, 430, 290, L"EDIT",
                         WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                         WS_EX_CLIENTEDGE, L"");
    memo.Fill = Look::LogBackground;
    memoLog = memo.Handle;
    SetFont(memoLog, Font({Look::LogHeight, false, false, Look::LogFace}));
    // The log is never trimmed: lift the edit control's default limit of 30,000 characters.
    SendMessageW(memoLog, EM_SETLIMITTEXT, 0, 0);

    // Finish page.
    lblFinishTitle = AddLabel(L"lblFinishTitle", &finish, 20, 20, 196, 25, L"Kurulum Tamamlandı!",
                              {19, true}, RGB(0x80, 0x40, 0x40))
                         .Handle;
    lblFinishDesc = AddLabel(L"lblFinishDesc", &finish, 20, 55, 420, 120,
                             L"CorvaneMarket başarıyla kuruldu.", {16}, kGrey, wraps)
                        .Handle;
    chkRunApp =
        AddCheckBox(L"chkRunApp", &finish, 20, 200, 300, 22, L"CorvaneMarketı başlat", {19}, true)
            .Handle;

    // Page content before the button bar when tabbing through the window.
    SetTabOrder({pcPages, pnlButtons});
}

LRESULT TfrmSetup::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        BuildControls();
        FUiQueue.Attach(FHandle, WM_APP + 1);
        FormCreate(FHandle);
        if (FTerminated)
            return -1;
        // Picks up a wake-up message that could not be posted.
        SetTimer(FHandle, 1, 250, nullptr);
        return 0;
    case WM_APP + 1:
        RunQueued();
        return 0;
    case WM_TIMER:
        if (wp == 1) {
            RunQueued();
            return 0;
        }
        break;
    case WM_COMMAND:
        if (lp) {
            HandleCommand(reinterpret_cast<HWND>(lp), HIWORD(wp));
        } else if (LOWORD(wp) == IDOK) {
            // Enter, turned into IDOK by the dialog keyboard handling: the focused button acts.
            if (const TControl* c = Find(GetFocus()); c && c->Kind == TKind::Button)
                SendMessageW(c->Handle, BM_CLICK, 0, 0);
        }
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        return ColorControl(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_CLOSE:
        if (!FIgnoreCloseBox)
            Close();
        return 0;
    case WM_DPICHANGED:
        return 0; // fixed pixel layout: the window does not rescale
    case WM_DESTROY:
        KillTimer(FHandle, 1);
        FormDestroy(FHandle);
        return 0;
    }
    return DefWindowProcW(FHandle, msg, wp, lp);
}

void TfrmSetup::HandleCommand(HWND ctl, WORD code) {
    if (code == BN_CLICKED) {
        if (ctl == btnNext)
            btnNextClick(ctl);
        else if (ctl == btnBack)
            btnBackClick(ctl);
        else if (ctl == btnCancel)
            btnCancelClick(ctl);
        else if (ctl == btnGeriYukle)
            btnGeriYukleClick(ctl);
    } else if (code == CBN_SELCHANGE) {
        if (ctl == cbDrive)
            cbDriveChange(ctl);
        else if (ctl == cbDbDrive)
            cbDbDriveChange(ctl);
        else if (ctl == cbKurulumTipi)
            cbKurulumTipiChange(ctl);
    }
}

bool TfrmSetup::Create(int showCmd) {
    RegisterWindowClass(kPanelClass, PanelProc, false);
    return CreateMainWindow(kFormClass, TFormProc<TfrmSetup>::Proc, APP_TITLE, 690, 564, this,
                            showCmd) != nullptr;
}

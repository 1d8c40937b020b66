// The status window of a bridged simulated modem, looked at from inside its
// own modal loop, as the tray menu runs it.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "bridge/control_message.h"
#include "bridge/status_logic.h"
#include "res/dialog_ids.h"
#include "ui/bridge_rows.h"
#include "ui/status_window.h"
#include "tests/win/bridged_modem.h"
#include "tests/win/loopback_server.h"
#include "tests/win/test_window.h"
#include "tools/demo/modem_replies.h"
#include "tools/screens/high_contrast.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t BOTH_UPDATED = SF_MODEM_UPDATED | SF_KSEF_UPDATED;

ModemBridge* g_bridge;
const std::function<void(HWND)>* g_body;
bool g_ran, g_secondWindow;

// Thread timers, which a modal loop dispatches. The first runs the body once
// the window is on screen and then closes it, unless the body did.
void CALLBACK Visit(HWND, UINT, UINT_PTR timer, DWORD) {
  const HWND window = g_bridge->statusWindow;
  if (window == nullptr || !IsWindowVisible(window)) return;
  KillTimer(nullptr, timer);
  g_ran = true;
  (*g_body)(window);
  if (GetWindowLongPtrA(window, DWLP_USER) != 0) PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
}

void CALLBACK EndSecondWindow(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  g_secondWindow = true;
  EndDialog(g_bridge->statusWindow, 0);
}

void ClickTab(HWND window, int tab) {
  const HWND tabs = GetDlgItem(window, IDC_TABS);
  RECT r;
  SendMessageA(tabs, TCM_GETITEMRECT, tab, reinterpret_cast<LPARAM>(&r));
  SendMessageA(tabs, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(r.left + 4, r.top + 4));
  SendMessageA(tabs, WM_LBUTTONUP, 0, MAKELPARAM(r.left + 4, r.top + 4));
}

void Refresh(HWND window) {
  SendMessageA(window, WM_COMMAND, CMD_STATUS_REFRESH, 0);
}

class StatusWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartSockets();
    ASSERT_TRUE(modem_.Start());
    for (const Bytes& reply : {IdentifyReply(), ModemStatusReply(5000), KsefStatusReply()}) {
      TakeDeviceMessage(&bridge()->status, reply.data(), static_cast<uint32_t>(reply.size()));
    }
  }

  ModemBridge* bridge() { return modem_.bridge(); }

  // Opens the window through the bridge's ops; false if the body never ran.
  bool WhileOpen(const std::function<void(HWND)>& body) {
    g_bridge = bridge();
    g_body = &body;
    g_ran = g_secondWindow = false;
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, Visit);
    bridge()->ops->ShowStatus(bridge());
    KillTimer(nullptr, timer);
    return g_ran;
  }

  TestWindow window_;
  BridgedModem modem_;
};

TEST_F(StatusWindowTest, OpensWithTheSerialBothTabsAndTheirRows) {
  EXPECT_TRUE(WhileOpen([&](HWND w) {
    wchar_t text[64];
    GetWindowTextW(w, text, 64);  // the ANSI title read back through code page 1251
    EXPECT_STREQ(text, L"Varnel. ЗН: 40001234");
    const HWND tabs = GetDlgItem(w, IDC_TABS), list = GetDlgItem(w, IDC_ROWS);
    ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 0);
    const wchar_t* names[] = {L"Інформація", L"Стан КСЕФ"};
    const LRESULT rows[] = {17, 6};
    for (int tab = 0; tab < 2; ++tab) {
      TCITEMW item = {TCIF_TEXT, 0, 0, text, 64, 0, 0};
      SendMessageW(tabs, TCM_GETITEMW, tab, reinterpret_cast<LPARAM>(&item));
      EXPECT_STREQ(text, names[tab]);
      ClickTab(w, tab);
      ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), rows[tab]);
      for (LRESULT row = 0; row < rows[tab]; ++row)
        EXPECT_EQ(SendMessageA(list, LB_GETITEMDATA, row, 0), row);
    }
    EXPECT_EQ(LOWORD(SendMessageA(w, DM_GETDEFID, 0, 0)), IDOK);  // Enter never starts an exchange
  }));
  EXPECT_EQ(bridge()->statusWindow, nullptr);
}

TEST_F(StatusWindowTest, RefreshRepaintsOnlyTheVisibleTabClearsBothFlagsAndFollowsTheLink) {
  struct Case {
    int tab;
    uint32_t updated;
    bool repaint;
  };
  const Case cases[] = {{0, SF_MODEM_UPDATED, true},
                        {0, SF_KSEF_UPDATED, false},
                        {1, SF_MODEM_UPDATED, false},
                        {1, BOTH_UPDATED, true}};
  LoopbackServer server;
  EXPECT_TRUE(WhileOpen([&](HWND w) {
    const HWND list = GetDlgItem(w, IDC_ROWS);
    for (const Case& c : cases) {
      ClickTab(w, c.tab);
      ValidateRect(list, nullptr);
      bridge()->status.statusFlags = (bridge()->status.statusFlags & ~BOTH_UPDATED) | c.updated;
      Refresh(w);
      RECT update, client;  // the region may hold the frame too (a scroll bar gone): compare the client
      GetUpdateRect(list, &update, FALSE);
      GetClientRect(list, &client);
      EXPECT_EQ(EqualRect(&update, &client) != FALSE, c.repaint) << c.tab << " " << c.updated;
      EXPECT_EQ(bridge()->status.statusFlags & BOTH_UPDATED, 0u);
    }
    // New colours, or high contrast turned on or off, repaint the rows.
    for (UINT change : {WM_SYSCOLORCHANGE, WM_SETTINGCHANGE}) {
      ValidateRect(list, nullptr);
      SendMessageA(w, change, SPI_SETHIGHCONTRAST, 0);
      RECT update, client;
      GetUpdateRect(list, &update, FALSE);
      GetClientRect(list, &client);
      EXPECT_TRUE(EqualRect(&update, &client)) << change;
    }

    const HWND picture = GetDlgItem(w, IDC_LINK_BITMAP);
    auto pictureAfterRefreshWith = [&](int32_t linked) {
      window_.PumpUntil([&] { return bridge()->ops->IsConnected(bridge()) == linked; }, 5000);
      Refresh(w);
      return (GetWindowLongA(picture, GWL_STYLE) & WS_VISIBLE) != 0;
    };
    modem_.SendConnect(server.Address());
    ASSERT_TRUE(server.Accept(5000));
    EXPECT_TRUE(pictureAfterRefreshWith(1));
    server.Reset();
    EXPECT_FALSE(pictureAfterRefreshWith(0));
  }));
}

TEST_F(StatusWindowTest, DrawsRowsInTheirColoursWithoutAFocusRectangle) {
  EXPECT_TRUE(WhileOpen([&](HWND w) {
    const HWND list = GetDlgItem(w, IDC_ROWS);
    RECT r;
    SendMessageA(list, LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&r));
    const int width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    uint32_t* pixels = nullptr;
    const HDC dc = CreateCompatibleDC(nullptr);
    const HBITMAP canvas =
        CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&pixels), nullptr, 0);
    ASSERT_NE(canvas, nullptr);
    SelectObject(dc, canvas);
    SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(list, WM_GETFONT, 0, 0)));
    // Pixels of `colour` in the item's columns from `from` to `to` sixteenths of its width.
    auto count = [&](COLORREF colour, int from, int to) {
      const uint32_t rgb = GetRValue(colour) << 16 | GetGValue(colour) << 8 | GetBValue(colour);
      int n = 0;
      for (int y = 0; y < height; ++y) {
        for (int x = from * width / 16; x < to * width / 16; ++x)
          n += (pixels[y * width + x] & 0xFFFFFF) == rgb;
      }
      return n;
    };
    auto draw = [&](UINT row, UINT action, UINT state) {
      DRAWITEMSTRUCT item = {ODT_LISTBOX, IDC_ROWS, row, action, state, list, dc, {0, 0, width, height}, row};
      SendMessageA(w, WM_DRAWITEM, IDC_ROWS, reinterpret_cast<LPARAM>(&item));
      GdiFlush();
    };

    std::fill(pixels, pixels + width * height, 0x010203u);
    draw(6, ODA_FOCUS, ODS_FOCUS | ODS_SELECTED);
    EXPECT_EQ(std::count(pixels, pixels + width * height, 0x010203u), width * height) << "drawn on focus";

    struct Case {
      UINT row, state;
      int back;
      COLORREF label, value;
    };
    const Case cases[] = {
        {0, 0, COLOR_WINDOW, RGB(0, 0, 128), RGB(0, 0, 0)},
        {6, 0, COLOR_WINDOW, RGB(0, 0, 128), RGB(192, 0, 0)},  // the last exchange failed: a warning
        {6, ODS_SELECTED, COLOR_HIGHLIGHT, GetSysColor(COLOR_HIGHLIGHTTEXT), RGB(255, 0, 0)}};
    for (const Case& c : cases) {
      draw(c.row, ODA_DRAWENTIRE, c.state);
      EXPECT_GT(count(GetSysColor(c.back), 0, 8), width / 4 * height) << c.row << " " << c.state;
      EXPECT_GT(count(c.label, 0, 8), 0) << c.row << " " << c.state;
      EXPECT_GT(count(c.value, 8, 16), 0) << c.row << " " << c.state;
    }

    // In high contrast every text of both tabs is in the system's text colour, and a warning is marked at
    // the row's end rather than by its colour alone.
    SetHighContrast(true);
    for (int tab = 0; tab < 2; ++tab) {
      ClickTab(w, tab);
      for (UINT row = 0; row < static_cast<UINT>(SendMessageA(list, LB_GETCOUNT, 0, 0)); ++row) {
        char text[512];
        const bool warning = RenderStatusRow(bridge(), tab, row, text, sizeof text) == 1;
        const bool value = text[std::strlen(text) + 1] != '\0';
        for (UINT state : {0, ODS_SELECTED}) {
          draw(row, ODA_DRAWENTIRE, state);
          const COLORREF colour = GetSysColor(state != 0 ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
          const COLORREF back = GetSysColor(state != 0 ? COLOR_HIGHLIGHT : COLOR_WINDOW);
          EXPECT_NE(colour, back);
          EXPECT_GT(count(colour, 0, 8), 0) << tab << " " << row << " " << state;
          EXPECT_EQ(count(colour, 8, 15) > 0, value) << tab << " " << row << " " << state;
          const int markerArea = (width - 15 * width / 16) * height;  // its glyph may be all edge pixels
          EXPECT_EQ(count(back, 15, 16) < markerArea, warning) << tab << " " << row << " " << state;
        }
      }
    }
    SetHighContrast(false);
    DeleteDC(dc);
    DeleteObject(canvas);
  }));
}

TEST_F(StatusWindowTest, StartExchangeGoesOutOnEachPressAndASecondShowStatusDoesNothing) {
  EXPECT_TRUE(WhileOpen([&](HWND w) {
    for (int press = 0; press < 2; ++press) {
      SendDlgItemMessageA(w, IDC_START_EXCHANGE, BM_CLICK, 0, 0);
      EXPECT_EQ(modem_.NextControl(), Bytes({CTL_START_EXCHANGE, 1})) << press;
    }
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 100, EndSecondWindow);  // fires only in a second loop
    bridge()->ops->ShowStatus(bridge());
    KillTimer(nullptr, watchdog);
    EXPECT_FALSE(g_secondWindow);
    EXPECT_EQ(bridge()->statusWindow, w);
  }));
}

TEST_F(StatusWindowTest, StopInsideTheModalLoopClosesTheWindowAndLetsGoOfTheBridge) {
  const HWND marker = reinterpret_cast<HWND>(static_cast<intptr_t>(0x5A5A));
  HWND opened = nullptr;
  EXPECT_TRUE(WhileOpen([&](HWND w) {
    opened = w;
    modem_.Stop();  // as a removal does: CloseStatusWindow, then the worker is joined
    EXPECT_EQ(bridge()->statusWindow, nullptr);
    // Whatever the closing window still did to the bridge would leave a mark.
    bridge()->statusWindow = marker;
    bridge()->status.statusFlags |= BOTH_UPDATED;
    SendDlgItemMessageA(w, IDC_START_EXCHANGE, BM_CLICK, 0, 0);
    Refresh(w);
  }));
  EXPECT_FALSE(IsWindow(opened));
  EXPECT_EQ(bridge()->statusWindow, marker);  // neither WM_DESTROY nor ShowStatus wrote it
  EXPECT_EQ(bridge()->status.statusFlags & BOTH_UPDATED, BOTH_UPDATED);
  EXPECT_EQ(bridge()->outbox, nullptr);
  bridge()->statusWindow = nullptr;
}

// The modem's warnings (the last exchange failed, the store nearly full)
// are marked; the texts come out of code page 1251 as Unicode.
// Ctrl+C (in the rows and in a button) and the rows' menu item
// "Копіювати", chosen from the keyboard, each copy the same text.
TEST_F(StatusWindowTest, CtrlCAndTheMenuItemCopyBothTabsAsUnicodeText) {
  static char PATH[] = "\\\\?\\usb#vid_0000&pid_0000#copy#{003b07b0-c9b0-11dc-bd0b-001d6055e580}";
  bridge()->owner.path = PATH;  // as opening by the device list gives it
  struct Copy {
    std::wstring text, before, after;  // and the local time before and after
  };
  std::vector<Copy> copies;
  auto stamp = [] {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return std::wstring(text);
  };
  EXPECT_TRUE(WhileOpen([&](HWND w) {
    auto copy = [&](const std::function<void()>& action) {
      OpenClipboard(w);
      EmptyClipboard();
      CloseClipboard();
      Copy c;
      c.before = stamp();
      action();
      c.after = stamp();
      ASSERT_TRUE(OpenClipboard(w));
      if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        c.text = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
      }
      CloseClipboard();
      copies.push_back(c);
    };
    BYTE keys[256], control[256];
    GetKeyboardState(keys);
    std::copy(keys, keys + 256, control);
    control[VK_CONTROL] = 0x80;
    SetKeyboardState(control);
    for (int item : {IDC_ROWS, IDOK}) copy([&] { SendDlgItemMessageA(w, item, WM_KEYDOWN, 'C', 1); });
    SetKeyboardState(keys);
    copy([&] {
      // Read by the menu's own loop: the first item, then Enter.
      PostMessageA(w, WM_KEYDOWN, VK_DOWN, 1);
      PostMessageA(w, WM_KEYDOWN, VK_RETURN, 1);
      SendMessageA(w, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(GetDlgItem(w, IDC_ROWS)), -1);
      MSG message;
      while (PeekMessageA(&message, w, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    });
  }));
  bridge()->owner.path = nullptr;
  const std::wstring rows =
      L"Серійний номер\t40001234\r\n"
      L"ID DEV / ID SAM / ID ACQ\t00A1B2C3 / 5A3F0012 / 00000101\r\n"
      L"Версія / ревізія ОС\t02.03 / 0115\r\n"
      L"Код несправності модема\t\r\n"
      L"Час до можливого блокування\t71:00:00\r\n"
      L"Минуло часу з обміну з еквайером\t01:02:00\r\n"
      L"Результат обміну з еквайером\t0xF0 (ERR_CNCT)\t!\r\n"
      L"Сервер еквайера\t127.0.0.1:5000\r\n"
      L"Період обміну з еквайером\t01:00:00\r\n"
      L"Лічильник NT_SAM\t0x000004D2 (1234)\r\n"
      L"Лічильник NT_SESSION\t0x0102 (258)\r\n"
      L"Лічильник NT_SESSION_LOW\t7\r\n"
      L"Поточна операція\tACQ_XCHG\r\n"
      L"Час роботи РРО\t1236:32:12\r\n"
      L"Дата/час модема\t14.03.25 09:30:00\r\n"
      L"Прийнято / передано, блоків\t0 / 0\r\n"
      L"Прийнято / передано, об'єм\t0 / 0\r\n"
      L"Використано на носії КСЕФ\t96.12%\t!\r\n"
      L"Наступний пакет КСЕФ\t15021\r\n"
      L"Номер пакета персоналізації\t1\r\n"
      L"Останній збережений пакет КСЕФ\t15020\r\n"
      L"Останній підписаний пакет КСЕФ\t15020\r\n"
      L"Останній переданий пакет КСЕФ\t14987\r\n";
  const std::wstring head = L"Varnel 1.0.0\t40001234\t" + std::wstring(PATH, PATH + sizeof PATH - 1) + L"\t";
  ASSERT_EQ(copies.size(), 3u);
  for (const Copy& c : copies)
    EXPECT_TRUE(c.text == head + c.before + L"\r\n" + rows || c.text == head + c.after + L"\r\n" + rows);
}

}  // namespace

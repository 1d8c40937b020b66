#include "ui/status_window.h"

#include <commctrl.h>

#include <cstring>

#include "base/program_strings.h"
#include "bridge/control_message.h"
#include "res/dialog_ids.h"
#include "res/resource_ids.h"
#include "ui/bridge_rows.h"
#include "ui/status_copy.h"
#include "ui/status_rows.h"
#include "ui/ui_os.h"

namespace {

constexpr uint32_t ROW_TEXT_SIZE = 512;  // every label and value of a row fits
constexpr int LABEL_SIZE = 128;          // the title's format, a tab's name
constexpr int TITLE_SIZE = 1024;         // the most wsprintfA ever writes

// Text colours of an item that is not selected. A selected item draws its
// texts in the system's highlight text colour, a warning in brighter red.
// In high contrast every text takes the system's colours, and a warning's
// row ends in the marker the copy gives it instead.
constexpr COLORREF LABEL_COLOUR = RGB(0, 0, 128);
constexpr COLORREF VALUE_COLOUR = RGB(0, 0, 0);
constexpr COLORREF WARNING_COLOUR = RGB(192, 0, 0);
constexpr COLORREF SELECTED_WARNING_COLOUR = RGB(255, 0, 0);
constexpr char WARNING_MARKER[] = "!";

constexpr int TEXT_INSET = 4;    // left of the label, right of the value
constexpr int COLUMN_GAP = 8;    // between the label's column and the value's
constexpr int TEXT_MARGIN = 1;   // above and below the texts
constexpr int ITEM_PADDING = 2;  // added to the item height the list starts with
constexpr UINT TEXT_FORMAT = DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;

ModemBridge* AttachedBridge(HWND window) {
  return reinterpret_cast<ModemBridge*>(GetWindowLongPtrA(window, DWLP_USER));
}

int32_t SelectedTab(HWND window) {
  return static_cast<int32_t>(SendDlgItemMessageA(window, IDC_TABS, TCM_GETCURSEL, 0, 0));
}

void LoadLabel(UINT id, char (&text)[LABEL_SIZE]) {
  LoadProgramString(id, text, LABEL_SIZE);
}

void SetTitle(HWND window, const ModemBridge* bridge) {
  char format[LABEL_SIZE];
  LoadLabel(IDS_STATUS_TITLE, format);
  char title[TITLE_SIZE];
  wsprintfA(title, format, bridge->status.serial);
  SetWindowTextA(window, title);
}

// Each tab goes in at position 0, so the last one inserted comes first.
void InsertTabFirst(HWND window, UINT textId) {
  char text[LABEL_SIZE];
  LoadLabel(textId, text);
  TCITEMA item = {};
  item.mask = TCIF_TEXT;
  item.pszText = text;
  SendDlgItemMessageA(window, IDC_TABS, TCM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

// The list starts with items as high as the font it was created with (the
// system font), which need not fit its own font once that is scaled for a
// higher DPI: the taller of the two is taken, with a pixel above and below.
void SetItemHeight(HWND list) {
  LRESULT height = SendMessageA(list, LB_GETITEMHEIGHT, 0, 0);
  if (height == LB_ERR) return;
  if (HDC dc = GetDC(list)) {
    auto* font = reinterpret_cast<HFONT>(SendMessageA(list, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
    TEXTMETRICA metrics;
    if (GetTextMetricsA(dc, &metrics) && metrics.tmHeight > height) height = metrics.tmHeight;
    if (previous != nullptr) SelectObject(dc, previous);
    ReleaseDC(list, dc);
  }
  SendMessageA(list, LB_SETITEMHEIGHT, 0, MAKELPARAM(height + ITEM_PADDING, 0));
}

// Refills the list with the rows of the selected tab; the row number is
// each item's data, and the texts are made only when an item is drawn.
void FillRows(HWND window) {
  const int32_t tab = SelectedTab(window);
  HWND list = GetDlgItem(window, IDC_ROWS);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  if (tab != TAB_INFO && tab != TAB_KSEF) {
    ShowWindow(list, SW_HIDE);
    return;
  }
  // Without LBS_HASSTRINGS the "string" of an owner-drawn item is its data.
  for (uint32_t row = 0; row < RowCount(tab); ++row) SendMessageA(list, LB_ADDSTRING, 0, row);
  SendMessageA(list, LB_SETCURSEL, 0, 0);
  ShowWindow(list, SW_SHOW);
}

// Ctrl+C reaches whichever control has the focus; each hands it to the
// window as its copy command. (A modal dialog's loop has no accelerators.)
LRESULT CALLBACK CopyKeyProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                             DWORD_PTR dialog) {
  if (message == WM_KEYDOWN && wParam == 'C' && GetKeyState(VK_CONTROL) < 0) {
    SendMessageA(reinterpret_cast<HWND>(dialog), WM_COMMAND, CMD_STATUS_COPY, 0);
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(control, CopyKeyProc, id);
  return DefSubclassProc(control, message, wParam, lParam);
}

BOOL CALLBACK HearCopyKey(HWND control, LPARAM dialog) {
  SetWindowSubclass(control, CopyKeyProc, 0, static_cast<DWORD_PTR>(dialog));
  return TRUE;
}

BOOL CALLBACK PassColourChange(HWND control, LPARAM) {
  SendMessageA(control, WM_SYSCOLORCHANGE, 0, 0);
  return TRUE;
}

// The rows' context menu: "Копіювати", sent back as the copy command. From
// the keyboard (no position) it opens at the selected row.
void ShowRowsMenu(HWND window, HWND list, LPARAM position) {
  POINT at = {static_cast<SHORT>(LOWORD(position)), static_cast<SHORT>(HIWORD(position))};
  if (position == -1) {
    RECT row = {};
    SendMessageA(list, LB_GETITEMRECT, SendMessageA(list, LB_GETCURSEL, 0, 0),
                 reinterpret_cast<LPARAM>(&row));
    at = {row.left, row.bottom};
    ClientToScreen(list, &at);
  }
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  char text[LABEL_SIZE];
  LoadLabel(IDS_COPY, text);
  AppendMenuA(menu, MF_STRING, CMD_STATUS_COPY, text);
  TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  DestroyMenu(menu);
}

BOOL OnInitDialog(HWND window, ModemBridge* bridge) {
  if (bridge == nullptr) {
    EndDialog(window, 0);
    return FALSE;
  }
  SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(bridge));
  bridge->statusWindow = window;
  SetTitle(window, bridge);
  SetForegroundWindow(window);
  InsertTabFirst(window, IDS_TAB_KSEF);
  InsertTabFirst(window, IDS_TAB_INFO);
  SendDlgItemMessageA(window, IDC_TABS, TCM_SETCURSEL, 0, 0);
  // The template marks two buttons as default; Enter closes the window
  // rather than start an exchange with the acquirer by accident.
  SendMessageA(window, DM_SETDEFID, IDOK, 0);
  HWND list = GetDlgItem(window, IDC_ROWS);
  SetItemHeight(list);
  EnumChildWindows(window, HearCopyKey, reinterpret_cast<LPARAM>(window));
  NMHDR change = {GetDlgItem(window, IDC_TABS), IDC_TABS, static_cast<UINT>(TCN_SELCHANGE)};
  SendMessageA(window, WM_NOTIFY, IDC_TABS, reinterpret_cast<LPARAM>(&change));
  SetFocus(list);
  return FALSE;  // the focus is set
}

// Asked at every paint, so that the window follows the setting.
bool HighContrastOn() {
  HIGHCONTRASTA setting = {sizeof setting, 0, nullptr};
  return uios::SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof setting, &setting, 0) &&
         (setting.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

void DrawRowTexts(HDC memory, HDC itemDc, ModemBridge* bridge, int32_t tab, UINT row, bool selected,
                  int width, int height) {
  HGDIOBJ previousFont = SelectObject(memory, GetCurrentObject(itemDc, OBJ_FONT));
  char text[ROW_TEXT_SIZE];
  const bool warning = RenderStatusRow(bridge, tab, row, text, sizeof text) == 1;
  char* value = text + std::strlen(text) + 1;
  const bool highContrast = HighContrastOn();

  RECT label = {TEXT_INSET, TEXT_MARGIN, width / 2 - TEXT_INSET, height - TEXT_MARGIN};
  const COLORREF systemText = GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
  const COLORREF previousColour = SetTextColor(memory, selected || highContrast ? systemText : LABEL_COLOUR);
  DrawTextA(memory, text, -1, &label, TEXT_FORMAT);

  RECT field = {label.right + COLUMN_GAP, TEXT_MARGIN, width - TEXT_INSET, height - TEXT_MARGIN};
  if (!highContrast) {
    if (warning) {
      SetTextColor(memory, selected ? SELECTED_WARNING_COLOUR : WARNING_COLOUR);
    } else {
      SetTextColor(memory, selected ? systemText : VALUE_COLOUR);
    }
  } else if (warning) {
    // The marker at the row's end; the value keeps clear of it.
    DrawTextA(memory, WARNING_MARKER, -1, &field, TEXT_FORMAT | DT_RIGHT);
    RECT marker = field;
    DrawTextA(memory, WARNING_MARKER, -1, &marker, TEXT_FORMAT | DT_CALCRECT);
    field.right -= marker.right - marker.left + COLUMN_GAP;
  }
  DrawTextA(memory, value, -1, &field, TEXT_FORMAT);

  SetTextColor(memory, previousColour);
  SelectObject(memory, previousFont);
}

// Each item is drawn off-screen and copied in one step, so the repaints of
// a refresh (up to five a second) do not flicker. No focus rectangle.
BOOL OnDrawItem(HWND window, ModemBridge* bridge, const DRAWITEMSTRUCT* item) {
  if (item->CtlID != IDC_ROWS) return FALSE;
  if (item->itemAction != ODA_DRAWENTIRE && item->itemAction != ODA_SELECT) return TRUE;
  const int width = item->rcItem.right - item->rcItem.left;
  const int height = item->rcItem.bottom - item->rcItem.top;
  HDC memory = CreateCompatibleDC(item->hDC);
  HBITMAP picture = CreateCompatibleBitmap(item->hDC, width, height);
  if (memory != nullptr && picture != nullptr) {
    HGDIOBJ previousPicture = SelectObject(memory, picture);
    const int previousMode = SetBkMode(memory, TRANSPARENT);
    const bool selected = (item->itemState & ODS_SELECTED) != 0;
    const RECT whole = {0, 0, width, height};
    FillRect(memory, &whole, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    const int32_t tab = SelectedTab(window);
    if (item->itemID < RowCount(tab)) {
      DrawRowTexts(memory, item->hDC, bridge, tab, item->itemID, selected, width, height);
    }
    SetBkMode(memory, previousMode);
    BitBlt(item->hDC, item->rcItem.left, item->rcItem.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previousPicture);
  }
  if (memory != nullptr) DeleteDC(memory);
  if (picture != nullptr) DeleteObject(picture);
  return TRUE;
}

void StartExchange(ModemBridge* bridge) {
  IoBuffer* message = AllocIoBuffer();
  if (message == nullptr) return;  // the press is lost
  message->data[0] = CTL_START_EXCHANGE;
  message->data[1] = 1;
  message->count = 2;
  PostControl(bridge, message);
}

// New status arrived: repaint the list if it shows the block that changed,
// and let the link picture follow the link.
void Refresh(HWND window, ModemBridge* bridge) {
  const int32_t tab = SelectedTab(window);
  HWND list = GetDlgItem(window, IDC_ROWS);
  uint32_t& flags = bridge->status.statusFlags;
  if (flags & SF_MODEM_UPDATED) {
    if (tab == TAB_INFO) InvalidateRect(list, nullptr, FALSE);
    flags &= ~SF_MODEM_UPDATED;
  }
  if (flags & SF_KSEF_UPDATED) {
    if (tab == TAB_KSEF) InvalidateRect(list, nullptr, FALSE);
    flags &= ~SF_KSEF_UPDATED;
  }
  HWND picture = GetDlgItem(window, IDC_LINK_BITMAP);
  // The control's own flag: the dialog itself may not be on screen yet.
  const bool shown = (GetWindowLongA(picture, GWL_STYLE) & WS_VISIBLE) != 0;
  const bool linked = bridge->ops->IsConnected(bridge) != 0;
  if (linked != shown) ShowWindow(picture, linked ? SW_SHOW : SW_HIDE);
}

BOOL OnCommand(HWND window, ModemBridge* bridge, WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case IDOK:
    case IDCANCEL:
      EndDialog(window, 0);
      break;
    case IDC_START_EXCHANGE:
      StartExchange(bridge);
      break;
    case CMD_STATUS_REFRESH:
      Refresh(window, bridge);
      break;
    case CMD_STATUS_COPY:
      CopyStatusText(window, bridge);
      break;
    default:
      break;
  }
  return TRUE;
}

}  // namespace

void ShowStatus(ModemBridge* bridge) {
  if (bridge->statusWindow != nullptr) return;
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_TAB_CLASSES};
  InitCommonControlsEx(&classes);
  // Nothing may follow: the bridge can be gone by the time this returns.
  DialogBoxParamA(ProgramModule(), MAKEINTRESOURCEA(IDD_STATUS), nullptr, StatusDialogProc,
                  reinterpret_cast<LPARAM>(bridge));
}

void CloseStatusWindow(ModemBridge* bridge) {
  HWND window = bridge->statusWindow;
  if (window == nullptr) return;
  // The dialog procedure ignores every message once this is cleared.
  SetWindowLongPtrA(window, DWLP_USER, 0);
  bridge->statusWindow = nullptr;
  EndDialog(window, 0);
}

void RefreshStatusWindow(ModemBridge* bridge) {
  if (bridge->statusWindow != nullptr) PostMessageA(bridge->statusWindow, WM_COMMAND, CMD_STATUS_REFRESH, 0);
}

INT_PTR CALLBACK StatusDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog(window, reinterpret_cast<ModemBridge*>(lParam));
  // Before WM_INITDIALOG, and once the bridge has let go of the window.
  ModemBridge* bridge = AttachedBridge(window);
  if (bridge == nullptr) return FALSE;
  switch (message) {
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (wParam == IDC_TABS && header != nullptr && header->code == static_cast<UINT>(TCN_SELCHANGE)) {
        FillRows(window);
      }
      return TRUE;
    }
    case WM_DRAWITEM:
      return OnDrawItem(window, bridge, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case WM_COMMAND:
      return OnCommand(window, bridge, wParam);
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      if (message == WM_SETTINGCHANGE && wParam != SPI_SETHIGHCONTRAST) return FALSE;
      // The rows read the colours and the setting as they paint. Common
      // controls (with version 6, the buttons too) keep the colours they
      // started with until their parent passes the change on.
      if (message == WM_SYSCOLORCHANGE) EnumChildWindows(window, PassColourChange, 0);
      RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return FALSE;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) != GetDlgItem(window, IDC_ROWS)) return FALSE;
      ShowRowsMenu(window, reinterpret_cast<HWND>(wParam), lParam);
      return TRUE;
    case WM_DESTROY:
      bridge->statusWindow = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

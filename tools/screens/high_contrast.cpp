#include "tools/screens/high_contrast.h"

namespace {

constexpr int ELEMENTS[] = {
    COLOR_WINDOW,     COLOR_WINDOWTEXT, COLOR_HIGHLIGHT,     COLOR_HIGHLIGHTTEXT,
    COLOR_BTNFACE,    COLOR_BTNTEXT,    COLOR_ACTIVECAPTION, COLOR_GRADIENTACTIVECAPTION,
    COLOR_CAPTIONTEXT};
constexpr int COUNT = sizeof ELEMENTS / sizeof ELEMENTS[0];
// In the order of ELEMENTS.
constexpr COLORREF BLACK_SCHEME[COUNT] = {RGB(0, 0, 0), RGB(255, 255, 255), RGB(26, 235, 255),
                                          RGB(0, 0, 0), RGB(0, 0, 0),       RGB(255, 255, 255),
                                          RGB(0, 0, 0), RGB(0, 0, 0),       RGB(255, 255, 255)};
COLORREF g_replaced[COUNT];
HIGHCONTRASTA g_before = {sizeof g_before, 0, nullptr};
bool g_kept = false;
DWORD g_keptFlags = 0;

}  // namespace

void SetHighContrast(bool on) {
  HIGHCONTRASTA setting = g_before;
  if (on) {
    for (int i = 0; i < COUNT; ++i) g_replaced[i] = GetSysColor(ELEMENTS[i]);
    uios::SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof g_before, &g_before, 0);
    setting = {sizeof setting, g_before.dwFlags | HCF_HIGHCONTRASTON, nullptr};
  }
  // The setting first: on Windows it brings colours of its own.
  uios::SystemParametersInfoA(SPI_SETHIGHCONTRAST, sizeof setting, &setting, SPIF_SENDCHANGE);
  SetSysColors(COUNT, ELEMENTS, on ? BLACK_SCHEME : g_replaced);
}

namespace uios {

BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) {
  auto* setting = static_cast<HIGHCONTRASTA*>(data);
  if (action == SPI_GETHIGHCONTRAST && g_kept) {
    setting->dwFlags = g_keptFlags;
    setting->lpszDefaultScheme = nullptr;
    return TRUE;
  }
  const BOOL taken = ::SystemParametersInfoA(action, param, data, winIni);
  if (action != SPI_SETHIGHCONTRAST) return taken;
  g_kept = !taken;
  g_keptFlags = setting->dwFlags;
  return TRUE;
}

}  // namespace uios

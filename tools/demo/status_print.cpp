#include "tools/demo/status_print.h"

#include "app/app_state.h"
#include "bridge/modem_bridge.h"
#include "res/resource_ids.h"
#include "tools/demo/demo_output.h"
#include "ui/bridge_rows.h"
#include "ui/status_rows.h"

namespace {

constexpr int ROW_SIZE = 512;  // the status window's row buffer
constexpr int TEXT_SIZE = 1024;
constexpr int LABEL_COLUMNS = 34;

// A string of the program's table, as UTF-8.
void LoadUtf8(uint32_t id, char* utf8, int size) {
  char ansi[ROW_SIZE];
  if (LoadStringA(g_app.instance, id, ansi, sizeof ansi) <= 0) ansi[0] = '\0';
  AnsiToUtf8(ansi, utf8, size);
}

void PrintTab(ModemBridge* bridge, int32_t tab, uint32_t titleId) {
  char title[TEXT_SIZE];
  LoadUtf8(titleId, title, sizeof title);
  SayMore("%s", title);
  for (uint32_t row = 0; row < RowCount(tab); ++row) {
    char buffer[ROW_SIZE];
    const bool warning = RenderStatusRow(bridge, tab, row, buffer, sizeof buffer) != 0;
    char label[TEXT_SIZE];
    char value[TEXT_SIZE];
    AnsiToUtf8(buffer, label, sizeof label);
    AnsiToUtf8(buffer + lstrlenA(buffer) + 1, value, sizeof value);
    // Padded by characters, not bytes: the labels are Cyrillic.
    const int padding = LABEL_COLUMNS - Utf8Width(label);
    SayMore("%s %s%*s %s", warning ? "!" : " ", label, padding > 0 ? padding : 0, "", value);
  }
}

}  // namespace

void PrintStatusTabs(DeviceRecord* record) {
  char format[ROW_SIZE];
  char title[TEXT_SIZE];  // wsprintfA writes at most 1024 bytes
  if (LoadStringA(g_app.instance, IDS_STATUS_TITLE, format, sizeof format) <= 0) format[0] = '\0';
  wsprintfA(title, format, record->bridge->status.serial);
  char utf8[TEXT_SIZE];
  AnsiToUtf8(title, utf8, sizeof utf8);
  Say("gateway", "status window \"%s\" (\"!\" marks a warning):", utf8);
  PrintTab(record->bridge, TAB_INFO, IDS_TAB_INFO);
  PrintTab(record->bridge, TAB_KSEF, IDS_TAB_KSEF);
}

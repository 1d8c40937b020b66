#pragma once
// Resource ids: the string table entries, named as in res/string_table.inc,
// and the pictures of res/pictures.rc.
#include <cstdint>

#define VARNEL_STRING(name, id, text) constexpr uint32_t name = id;
#include "res/string_table.inc"
#undef VARNEL_STRING

constexpr uint32_t FIRST_STRING_ID = IDS_EXIT;
constexpr uint32_t LAST_STRING_ID = IDS_COPY;

// The tray icon's pictures, and the status window's link picture.
constexpr uint32_t IDI_NO_LINK = 104;    // modems attached, none linked
constexpr uint32_t IDI_NO_DEVICE = 105;  // no modem attached
constexpr uint32_t IDI_LINK_UP = 106;    // at least one modem linked
constexpr uint32_t IDB_LINK = 110;

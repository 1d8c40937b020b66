#pragma once
// Resource ids: the string table entries, named as in res/string_table.inc,
// and the pictures of res/pictures.rc.
#include <cstdint>

#define VARNEL_STRING(name, id, text) constexpr uint32_t name = id;
#include "res/string_table.inc"
#undef VARNEL_STRING

constexpr uint32_t FIRST_STRING_ID = IDS_EXIT;
constexpr uint32_t LAST_STRING_ID = IDS_CURRENT_OPERATION;

// Tray icons, one a link state, and the status window's link picture.
constexpr uint32_t IDI_NO_LINK = 104;
constexpr uint32_t IDI_NO_DEVICE = 105;
constexpr uint32_t IDI_LINK_UP = 106;
constexpr uint32_t IDB_LINK = 110;

// The compiled string table as the program sees it: LoadStringA under a
// Ukrainian locale gives every text in code page 1251.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "res/string_table.h"
#include "tests/win/code_page.h"

namespace {

std::string Load(UINT id, int bufferMax = 512) {
  char buffer[512];
  const int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, bufferMax);
  return std::string(buffer, static_cast<size_t>(length));
}

TEST(StringTable, RunsUnderTheUkrainianCodePage) {
  EXPECT_EQ(GetACP(), 1251u);
}

TEST(StringTable, EveryTextLoadsInCodePage1251) {
  for (uint32_t id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id) {
    EXPECT_EQ(Load(id), ToCodePage1251(StringTableText(id))) << id;
  }
  char buffer[8] = "x";
  EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), LAST_STRING_ID + 1, buffer, sizeof buffer), 0);
}

TEST(StringTable, KnownBytes) {
  EXPECT_EQ(Load(IDS_EXIT), "\xC2\xE8\xF5\xB3\xE4");                         // Вихід
  EXPECT_EQ(Load(IDS_UNKNOWN_ELAPSED), "\xCD\xE5\xE2\xB3\xE4\xEE\xEC\xEE");  // Невідомо
  EXPECT_EQ(Load(IDS_UNNAMED_DEVICE),
            "\xC8\xEC'\xFF \xED\xE5\xE2\xB3\xE4\xEE\xEC\xE5 %i");  // Им'я невідоме %i
  EXPECT_EQ(Load(IDS_STATUS_TITLE), "Varnel. \xC7\xCD: %s");       // Varnel. ЗН: %s
}

TEST(StringTable, CutsToTheBufferLikeTheRows) {
  EXPECT_EQ(Load(IDS_EXIT, 4), "\xC2\xE8\xF5");
  EXPECT_EQ(Load(IDS_EXIT, 1), "");
}

}  // namespace

// The compiled string table as the program sees it: LoadStringA under a
// Ukrainian locale gives every text in code page 1251.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "res/string_table.h"

namespace {

constexpr UINT UKRAINIAN_CODE_PAGE = 1251;

// The UTF-8 source text as the 1251 bytes LoadStringA should give.
std::string ToCodePage1251(const char* utf8) {
  wchar_t wide[512];
  const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, 512);
  EXPECT_GT(wideLength, 0) << utf8;
  char narrow[512];
  BOOL lossy = FALSE;
  const int length = WideCharToMultiByte(UKRAINIAN_CODE_PAGE, 0, wide, -1, narrow, 512, nullptr, &lossy);
  EXPECT_GT(length, 0) << utf8;
  EXPECT_FALSE(lossy) << "not representable in code page 1251: " << utf8;
  return std::string(narrow);
}

std::string Load(UINT id, int bufferMax = 512) {
  char buffer[512];
  const int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, bufferMax);
  return std::string(buffer, static_cast<size_t>(length));
}

TEST(StringTable, RunsUnderTheUkrainianCodePage) {
  EXPECT_EQ(GetACP(), UKRAINIAN_CODE_PAGE);
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

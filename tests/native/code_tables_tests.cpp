// Lookups in the code tables and the native copy of the string table.
#include "ui/code_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "res/string_table.h"

namespace {

TEST(CodeTables, CodesAreUniqueWithinEachTable) {
  const struct {
    const CodeName* table;
    size_t count;
  } tables[] = {{FaultCodeNames, FAULT_CODE_COUNT},
                {OperationNames, OPERATION_COUNT},
                {ExchangeResultNames, EXCHANGE_RESULT_COUNT}};
  for (const auto& t : tables) {
    std::set<uint8_t> codes;
    for (size_t i = 0; i < t.count; ++i) {
      EXPECT_TRUE(codes.insert(t.table[i].code).second) << int(t.table[i].code);
      EXPECT_STREQ(LookupCodeName(t.table, t.count, t.table[i].code), t.table[i].name);
    }
  }
}

TEST(CodeTables, SharedNamesAndUnknownCodes) {
  EXPECT_STREQ(ExchangeResultName(0x02), "TIMEOUT");
  EXPECT_STREQ(ExchangeResultName(0xF3), "TIMEOUT");
  EXPECT_STREQ(ExchangeResultName(0x20), "ABORTED");
  EXPECT_STREQ(ExchangeResultName(0xE0), "ABORTED");
  EXPECT_STREQ(ExchangeResultName(0xF8), "UNKNOWN");
  EXPECT_STREQ(FaultCodeName(0x00), "UNKNOWN");
  EXPECT_STREQ(FaultCodeName(0x26), "KSEF_MAC_FAIL");
  EXPECT_STREQ(FaultCodeName(0xFF), "UNKNOWN");
  EXPECT_STREQ(OperationName(0x00), "");
  EXPECT_STREQ(OperationName(0x05), "SIGNING");
  EXPECT_STREQ(OperationName(0x07), "UNKNOWN");
}

TEST(StringTable, EveryIdFromFirstToLastHasText) {
  EXPECT_EQ(StringTableText(FIRST_STRING_ID - 1), nullptr);
  EXPECT_EQ(StringTableText(LAST_STRING_ID + 1), nullptr);
  EXPECT_EQ(FIRST_STRING_ID, 1u);
  EXPECT_EQ(LAST_STRING_ID, 33u);
  for (uint32_t id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id) {
    ASSERT_NE(StringTableText(id), nullptr) << id;
    EXPECT_GT(std::strlen(StringTableText(id)), 0u) << id;
  }
  EXPECT_STREQ(StringTableText(IDS_EXIT), "Вихід");
  EXPECT_STREQ(StringTableText(IDS_UNKNOWN_DEADLINE), "Невідомий");
}

TEST(StringTable, LoadsLikeLoadStringA) {
  char buffer[8];
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(LoadStringTableText(IDS_IDENTIFIERS, buffer, 5), 4);  // "ID DEV / ..."
  EXPECT_STREQ(buffer, "ID D");
  EXPECT_EQ(buffer[5], 'Z');
  EXPECT_EQ(LoadStringTableText(IDS_IDENTIFIERS, buffer, 1), 0);
  EXPECT_EQ(buffer[0], '\0');
  buffer[0] = 'Z';
  EXPECT_EQ(LoadStringTableText(IDS_IDENTIFIERS, buffer, 0), 0);
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_EQ(LoadStringTableText(999, buffer, 8), 0);
  EXPECT_EQ(buffer[0], '\0');
}

}  // namespace

// The trace provider's OS-free parts: SHA-1, the id derived from a name (as
// Microsoft's tools derive it, against the pairs its documentation
// publishes), the self-describing event layout, byte for byte, and which
// keywords a session's masks let through.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "trace/event_layout.h"
#include "trace/provider.h"
#include "trace/provider_id.h"
#include "trace/sha1.h"

namespace {

TEST(TraceLayoutTest, Sha1OfTheStandardVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      // 56 bytes: the length no longer fits the first block's padding.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000, 'a'), "291e9a6c66994949b57ba5e650361e98fc36b1ba"},
  };
  for (const Case& c : cases) {
    Sha1 hash;
    hash.Start();
    // In two pieces, so that a piece ending inside a block is covered.
    const uint32_t half = static_cast<uint32_t>(c.message.size() / 2);
    hash.Add(c.message.data(), half);
    hash.Add(c.message.data() + half, static_cast<uint32_t>(c.message.size()) - half);
    uint8_t digest[SHA1_DIGEST_SIZE];
    hash.Finish(digest);
    char text[2 * SHA1_DIGEST_SIZE + 1];
    for (uint32_t i = 0; i < SHA1_DIGEST_SIZE; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(text, c.digest) << c.message.size();
  }
}

TEST(TraceLayoutTest, ProviderIdFromNameMatchesThePublishedPairs) {
  struct Case {
    const char* name;
    const char* id;
  };
  const Case cases[] = {
      // Both from Microsoft's documentation of TRACELOGGING_DEFINE_PROVIDER.
      {"MyProvider", "b3864c38-4273-58c5-545b-8b3608343471"},
      {"MyCompany.MyComponent", "ce5fa4ea-ab00-5402-8b76-9f76ac858fb5"},
      {"Varnel", "8ed551bc-4295-5cde-39f3-e77dafbfa159"},
      {"varnel", "8ed551bc-4295-5cde-39f3-e77dafbfa159"},  // names are compared upper-cased
  };
  for (const Case& c : cases) {
    const ProviderId id = ProviderIdFromName(c.name);
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", id.data1, id.data2,
                  id.data3, id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5],
                  id.data4[6], id.data4[7]);
    EXPECT_STREQ(text, c.id) << c.name;
  }
}

TEST(TraceLayoutTest, EventAndProviderMetadataAndDataByteForByte) {
  trace::EventLayout e;
  e.Begin("Ev");
  e.AddString("s", "ab");
  e.AddUInt32("e", 5, trace::OUT_WIN32ERROR);
  e.AddInt32("r", -2, trace::OUT_HRESULT);
  e.AddHex32("h", 0x10000000);
  e.AddUInt64("n", 0x0102030405060708ull);
  const uint16_t wide[] = {0x0423, 'a', 0};  // Уa
  e.AddUtf16("w", wide);
  ASSERT_TRUE(e.End());
  const std::vector<uint8_t> metadata = {26,  0, 0,        'E', 'v', 0, 's', 0,   2, 'e', 0,   8 | 0x80, 13,
                                         'r', 0, 7 | 0x80, 15,  'h', 0, 20,  'n', 0, 10,  'w', 0,        1};
  EXPECT_EQ(std::vector<uint8_t>(e.metadata, e.metadata + e.metadataSize), metadata);
  const std::vector<uint8_t> data = {'a', 'b', 0, 5, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x10,
                                     8,   7,   6, 5, 4, 3, 2, 1,    0x23, 0x04, 'a',  0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(e.data, e.data + e.dataSize), data);

  uint8_t provider[16];
  ASSERT_EQ(trace::ProviderMetadata("Varnel", provider, sizeof provider), 9u);
  EXPECT_EQ(std::vector<uint8_t>(provider, provider + 9),
            (std::vector<uint8_t>{9, 0, 'V', 'a', 'r', 'n', 'e', 'l', 0}));
  EXPECT_EQ(trace::ProviderMetadata("Varnel", provider, 8), 0u);
}

TEST(TraceLayoutTest, LongStringsAreCutAndAnEventThatDoesNotFitIsRefused) {
  trace::EventLayout e;
  e.Begin("Long");
  const std::string path(400, 'p');
  e.AddString("path", path.c_str());
  ASSERT_TRUE(e.End());
  EXPECT_EQ(e.dataSize, trace::STRING_VALUE_MAX + 1);
  EXPECT_EQ(e.data[trace::STRING_VALUE_MAX], 0);
  e.AddString("second", path.c_str());
  EXPECT_FALSE(e.End());  // data full
  const std::string name(trace::EVENT_METADATA_MAX, 'n');
  e.Begin(name.c_str());
  e.AddUInt32("x", 1);
  EXPECT_FALSE(e.End());  // metadata full
}

TEST(TraceLayoutTest, KeywordsASessionsMasksLetThrough) {
  using namespace trace;
  struct Case {
    uint64_t keyword, any, all;
    bool passes;
  };
  const Case cases[] = {
      {0, KEYWORD_LINK, KEYWORD_USB, true},  // an event without keyword
      {KEYWORD_DEVICE, KEYWORD_LINK | KEYWORD_USB, 0, false},
      {KEYWORD_LINK, ~0ull, KEYWORD_LINK | KEYWORD_USB, false},
      {KEYWORD_LINK | KEYWORD_USB, KEYWORD_LINK, KEYWORD_LINK | KEYWORD_USB, true},
      {KEYWORD_LINK, 0, 0, true},            // no keyword named: every keyword
      {KEYWORD_LINK, 0, KEYWORD_USB, true},  // and MatchAllKeyword is not used
  };
  for (const Case& c : cases)
    EXPECT_EQ(KeywordMatches(c.keyword, c.any, c.all), c.passes) << c.keyword << " " << c.any << " " << c.all;
}

}  // namespace

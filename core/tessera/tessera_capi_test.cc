#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/tessera/member_fixture.h"
#include "le/le.h"

namespace {

std::string variant(const std::string& name) { return le::test::tesseraVariant(name); }

TEST(TesseraCApi, SlotsAndCarriage) {
  EXPECT_EQ(le_tessera_slot_count(), 4);
  EXPECT_STREQ(le_tessera_slot_key(0), "bank_track");
  EXPECT_STREQ(le_tessera_slot_key(3), "head_config");
  EXPECT_EQ(le_tessera_slot_key(4), nullptr);
  EXPECT_EQ(le_tessera_slot_key(-1), nullptr);
  EXPECT_EQ(le_tessera_carriage_open(nullptr), nullptr);

  le_tessera_carriage* c = le_tessera_carriage_open(variant("missing_head_weights").c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  EXPECT_EQ(le_tessera_carriage_declared(c), 1);
  ASSERT_EQ(le_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(le_tessera_carriage_missing(c, 0), "head_weights");
  EXPECT_EQ(le_tessera_carriage_missing(c, 1), nullptr);
  EXPECT_EQ(std::string(le_tessera_carriage_path(c, "bank_sidecar")),
            variant("missing_head_weights") + "/tessera_bank.v1.json");
  EXPECT_STREQ(le_tessera_carriage_path(c, "nope"), "");
  EXPECT_STREQ(le_tessera_carriage_path(c, nullptr), "");
  le_tessera_carriage_close(c);
  le_tessera_carriage_close(nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(nullptr), 0);
  EXPECT_EQ(le_tessera_carriage_missing_count(nullptr), 0);
  EXPECT_STREQ(le_tessera_carriage_path(nullptr, "bank_track"), "");
}

TEST(TesseraCApi, MembersExposeTheLoadedFields) {
  char err[256] = "untouched";
  le_tessera_members* m = le_tessera_members_open(variant("ok").c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(le_tessera_members_n_donors(m), 6);
  EXPECT_EQ(le_tessera_members_band_w(m), 52);
  EXPECT_EQ(le_tessera_members_band_h(m), 28);
  EXPECT_EQ(le_tessera_members_band_bytes(m), int64_t{6} * 28 * 52 * 3);
  EXPECT_EQ(le_tessera_members_stamp(m)[11], 2);
  ASSERT_NE(le_tessera_members_cent(m), nullptr);
  ASSERT_NE(le_tessera_members_aperture(m), nullptr);
  EXPECT_EQ(le_tessera_members_c_canon(m)[0], 64.0);
  EXPECT_GT(le_tessera_members_head_pt_len(m), 1000u);
  EXPECT_EQ(std::memcmp(le_tessera_members_head_pt(m), "PK", 2), 0);
  EXPECT_STREQ(le_tessera_members_bank_pix_fmt(m), "gbrp");
  EXPECT_STREQ(le_tessera_members_bank_packing(m), "rgb24_frames");
  EXPECT_NE(std::strstr(le_tessera_members_manifest_json(m), "\"unified\""), nullptr);

  const int64_t bytes = le_tessera_members_band_bytes(m);
  std::vector<uint8_t> src(static_cast<size_t>(bytes)), dst(src.size());
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(le_tessera_members_reorder(m, src.data(), dst.data(), err, sizeof err), 0);
  EXPECT_EQ(le_tessera_members_reorder(m, nullptr, dst.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "le_tessera_members_reorder: null argument");
  le_tessera_members_close(m);

  EXPECT_EQ(le_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(le_tessera_members_cent(nullptr), nullptr);
  EXPECT_STREQ(le_tessera_members_bank_codec(nullptr), "");
  EXPECT_EQ(le_tessera_members_band_bytes(nullptr), 0);
  le_tessera_members_close(nullptr);
}

TEST(TesseraCApi, FailuresGoToTheCallerBufferTruncatedAndTerminated) {
  char err[16];
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(le_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "le_tessera_memb");  // capacity - 1 bytes and a terminator

  char full[1024];
  EXPECT_EQ(le_tessera_members_open(variant("wrong_format").c_str(), full, sizeof full), nullptr);
  EXPECT_EQ(std::string(full), variant("wrong_format") +
                                   "/tessera_bank.v1.json declares format 'tessera_bank.v2', not 'tessera_bank.v1' "
                                   "— this reader does not know that generation and will not guess at its keys.");

  char one[1] = {'x'};
  EXPECT_EQ(le_tessera_members_open(variant("wrong_format").c_str(), one, 1), nullptr);
  EXPECT_EQ(one[0], '\0');
  char keep[4] = "abc";
  EXPECT_EQ(le_tessera_members_open(variant("wrong_format").c_str(), keep, 0), nullptr);
  EXPECT_STREQ(keep, "abc");  // capacity below 1: nothing written
  EXPECT_EQ(le_tessera_members_open(variant("wrong_format").c_str(), nullptr, 64), nullptr);
}

}  // namespace

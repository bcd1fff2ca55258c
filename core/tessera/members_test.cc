#include "core/tessera/members.h"

#include <gtest/gtest.h>

#include "core/tessera/carriage.h"
#include "core/tessera/member_fixture.h"

namespace le {
namespace {

using test::SidecarSpec;

std::string variant(const std::string& name) { return le::test::tesseraVariant(name); }

std::string refusal(const std::string& dir) {
  try {
    loadTesseraMembers(dir);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

std::string refusal(const SidecarSpec& side, const std::string& manifest = "{\"tessera\":{}}") {
  test::TempDir dir;
  test::writeMemberBundle(dir.path(), side, manifest);
  std::string m = refusal(dir.path());
  // Messages name the sidecar by path; tests compare the rest.
  const std::string sidecar = dir.file("tessera_bank.v1.json");
  for (std::size_t at; (at = m.find(sidecar)) != std::string::npos;) m.replace(at, sidecar.size(), "SIDECAR");
  for (std::size_t at; (at = m.find(dir.path())) != std::string::npos;) m.replace(at, dir.path().size(), "DIR");
  return m;
}

TEST(TesseraMembers, GeneratedBundleLoadsEveryField) {
  TesseraAttachInputs in = loadTesseraMembers(variant("ok"));
  EXPECT_EQ(in.n_donors, 6);
  EXPECT_EQ(in.track_order.size(), 6u);
  EXPECT_EQ(in.cent.size(), 12u);
  EXPECT_EQ(in.aperture.size(), 6u);
  EXPECT_EQ(in.stamp[0], 128);
  EXPECT_EQ(in.band_w, 52);  // band_c1 - band_c0 + 2 * shift_margin
  EXPECT_EQ(in.band_h, 28);
  EXPECT_EQ(in.bandBytes(), 6 * 52 * 28 * 3);
  EXPECT_EQ(in.bank_container, "mp4");
  EXPECT_EQ(in.bank_codec, "h264");
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.bank_track_path, variant("ok") + "/tessera_bank.v1.mp4");
  EXPECT_EQ(in.head_pt, test::readFile(variant("ok") + "/tessera_head.v1.pt"));
  EXPECT_NE(in.head_json.find("retrieval"), std::string::npos);
  EXPECT_NE(in.manifest_json.find("unified"), std::string::npos);

  EXPECT_EQ(loadTesseraMembers(variant("pix_fmt_from_manifest")).bank_pix_fmt, "rgb24");
  EXPECT_NO_THROW(loadTesseraMembers(variant("renamed_head_weights")));
}

TEST(TesseraMembers, GeneratedDamageIsRefusedWithItsMessage) {
  EXPECT_NE(refusal(variant("missing_head_weights")).find("carries 3 of 4"), std::string::npos);
  EXPECT_EQ(refusal(variant("no_manifest")),
            variant("no_manifest") + " carries no manifest.json or meta.json — the compose descriptor (unified.pi) "
                                     "the pass places its window by lives there, and placing a borrow window "
                                     "without it is guessing.");
  EXPECT_EQ(refusal(variant("bad_manifest_json")).rfind("teeth: " + variant("bad_manifest_json") +
                                                        "/manifest.json is not readable JSON: teeth: ", 0),
            0u);
  EXPECT_NE(refusal(variant("wrong_format")).find("declares format 'tessera_bank.v2'"), std::string::npos);
  EXPECT_NE(refusal(variant("n_donors_1025")).find("carries n_donors=1025, over the owner's cap of 1024"),
            std::string::npos);
  EXPECT_NE(refusal(variant("track_order_repeat")).find("track_order is not a permutation (reference "),
            std::string::npos);
  EXPECT_NE(refusal(variant("geometry_disagrees")).find("teeth geometry DISAGREES"), std::string::npos);
  EXPECT_NE(refusal(variant("no_pix_fmt")).find("states the reference track's pixel format"), std::string::npos);
  EXPECT_NE(refusal(variant("cent_not_pair")).find(" cent[2] is not an (x,y) pair"), std::string::npos);
}

TEST(TesseraMembers, DonorCountCapIsInclusive) {
  SidecarSpec side;
  side.order.clear();
  for (int i = 1023; i >= 0; --i) side.order.push_back(i);
  EXPECT_EQ(refusal(side), "");
  side.order.push_back(1024);
  EXPECT_EQ(refusal(side),
            "SIDECAR carries n_donors=1025, over the owner's cap of 1024. This reader REFUSES rather than capping: "
            "the selector is the bank's BUILD-time cap selector, and a second one here would change which donors "
            "reach the mouth while every count-based check stayed green. Rebuild the bank.");
  side.order = {0};
  side.nDonors = "0";
  EXPECT_EQ(refusal(side), "SIDECAR says n_donors=0");
  side.nDonors = "\"3\"";
  EXPECT_EQ(refusal(side), "teeth: SIDECAR lacks numeric 'n_donors'");
}

TEST(TesseraMembers, SidecarRefusalsFireInOrder) {
  SidecarSpec side;
  side.format = "7";
  side.nDonors = "5000";  // a later fault must not mask the earlier one
  EXPECT_EQ(refusal(side), "SIDECAR declares format '7', not 'tessera_bank.v1' — this reader does not know that "
                           "generation and will not guess at its keys.");
  side.format = "\"tessera_bank.v1\"";
  side.geometry = "[]";
  EXPECT_EQ(refusal(side), "SIDECAR carries no `geometry` stamp");
  side.geometry = "{\"canvas_w\":128}";
  EXPECT_EQ(refusal(side), "teeth: SIDECAR.geometry lacks numeric 'canvas_h'");
  side = SidecarSpec();
  side.geometry = side.geometry.replace(side.geometry.find("\"band_c1\":56"), 12, "\"band_c1\":4");
  EXPECT_EQ(refusal(side).rfind("teeth stamp yields a non-positive stored patch ({canvas_w=128, canvas_h=128, "
                                "window_x0=32, window_y0=72, window_w=64, window_h=40, pad=4, band_r0=8, "
                                "band_r1=32, band_c0=8, band_c1=4, shift_margin=2})",
                                0),
            0u);
  side = SidecarSpec();
  side.aperture = "{}";
  EXPECT_EQ(refusal(side), "SIDECAR lacks one of track_order/cent/aperture/c_canon as an array");
  side.aperture = "[1,2]";
  EXPECT_EQ(refusal(side), "SIDECAR says n_donors=3 but carries track_order=3, cent=3, aperture=2 — a count "
                           "mismatch silently mis-orders the donors.");
  side = SidecarSpec();
  side.canon = "[1,2,3]";
  EXPECT_EQ(refusal(side), "SIDECAR c_canon is not a pair");
  // Numbers beyond a double: an infinite centroid would round to no shift.
  side.canon = "[1e999, 90]";
  EXPECT_EQ(refusal(side), "SIDECAR c_canon is not finite");
  side = SidecarSpec();
  side.cent = "[[10,20],[11,-1e999],[12,22]]";
  EXPECT_EQ(refusal(side), "SIDECAR cent[1] is not finite");
  side = SidecarSpec();
  side.aperture = "[0.1,1e999,0.3]";
  EXPECT_EQ(refusal(side), "SIDECAR aperture[1] is not finite");
  side = SidecarSpec();
  side.order = {0, 3, 1};
  EXPECT_EQ(refusal(side), "SIDECAR track_order[1]=3 is outside [0,3)");
  side.order = {1, 0, 1};
  EXPECT_EQ(refusal(side),
            "SIDECAR track_order is not a permutation (reference 1 appears twice) — the inverse permutation would "
            "leave a reference slot never written and the pass would blend uninitialised memory into a real mouth.");
  side = SidecarSpec();
  side.codec = "{\"codec\":\"h264\"}";
  EXPECT_EQ(refusal(side).rfind("DIR: neither manifest.tessera.bank_pix_fmt nor SIDECAR.codec.pix_fmt states", 0),
            0u);
  EXPECT_EQ(refusal(side, "{\"tessera\":{\"bank_pix_fmt\":\"rgb24\"}}"), "");
}

TEST(TesseraMembers, ManifestGeometryMustAgreeWithTheSidecar) {
  SidecarSpec side;
  std::string m = "{\"tessera\":{\"geometry\":" + side.geometry + "}}";
  EXPECT_EQ(refusal(side, m), "");
  std::string other = side.geometry;
  other.replace(other.find("\"pad\":4"), 7, "\"pad\":5");
  std::string msg = refusal(side, "{\"tessera\":{\"geometry\":" + other + "}}");
  EXPECT_EQ(msg.rfind("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest "
                      "{canvas_w=128, canvas_h=128, window_x0=32, window_y0=72, window_w=64, window_h=40, pad=5,",
                      0),
            0u)
      << msg;
  EXPECT_NE(msg.find(" vs SIDECAR {canvas_w=128,"), std::string::npos);
  EXPECT_EQ(refusal(side, "{\"tessera\":{\"geometry\":{\"canvas_w\":1}}}"),
            "teeth: manifest.tessera.geometry lacks numeric 'canvas_h'");
}

TEST(TesseraMembers, NumbersThatSizeBuffersAreRangeChecked) {
  SidecarSpec side;
  side.geometry.replace(side.geometry.find("\"band_c1\":56"), 12, "\"band_c1\":1e300");
  EXPECT_NE(refusal(side).find("is not a 32-bit integer"), std::string::npos);
  side = SidecarSpec();
  side.geometry.replace(side.geometry.find("\"band_c1\":56"), 12, "\"band_c1\":2000000000");
  EXPECT_NE(refusal(side).find("over the 16384 pixel limit"), std::string::npos);
  side = SidecarSpec();
  side.nDonors = "nan";
  EXPECT_EQ(refusal(side), "teeth: SIDECAR lacks numeric 'n_donors'");
  side.nDonors = "1e30";
  EXPECT_NE(refusal(side).find("over the owner's cap"), std::string::npos);
  side = SidecarSpec();
  side.order = {0, 1, 2};
  side.nDonors = "3.9";  // truncated to 3
  EXPECT_EQ(refusal(side), "");
  side.order = {0, -1, 2};
  side.nDonors = "";
  EXPECT_EQ(refusal(side), "SIDECAR track_order[1]=-1 is outside [0,3)");
}

TEST(TesseraMembers, ReorderPutsEachTrackBandInItsDonorSlot) {
  TesseraAttachInputs in;
  in.n_donors = 3;
  in.track_order = {2, 0, 1};
  in.band_w = 2;
  in.band_h = 1;
  const std::vector<uint8_t> src = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2};
  std::vector<uint8_t> dst(src.size(), 9);
  reorderTrackToDonor(in, src.data(), dst.data());
  EXPECT_EQ(dst, (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0}));

  auto err = [&](const TesseraAttachInputs& x, const uint8_t* s, uint8_t* d) {
    try {
      reorderTrackToDonor(x, s, d);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(err(in, nullptr, dst.data()), "teeth: null band buffer");
  TesseraAttachInputs bad = in;
  bad.track_order.pop_back();
  EXPECT_EQ(err(bad, src.data(), dst.data()), "teeth: track_order does not match n_donors");
  bad = in;
  bad.band_w = 0;
  EXPECT_EQ(err(bad, src.data(), dst.data()), "teeth: zero reference stride");
  bad = in;
  bad.track_order[0] = 3;  // edited after loading: must not write past dst
  EXPECT_NE(err(bad, src.data(), dst.data()).find("outside [0,3)"), std::string::npos);
}

}  // namespace
}  // namespace le

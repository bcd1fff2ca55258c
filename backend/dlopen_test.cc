// A host's view of the plug-in: loaded by file, entries looked up by name,
// and opens that a hostile host or container attempts.
#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backend/lightbackend.h"
#include "tests/test_support.h"

namespace {

TEST(LightbackendPlugin, LoadsByFileAndExportsOnlyItsEntries) {
  const char* path = LE_LIGHTBACKEND_PATH;
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  using BillingFn = const char* (*)();
  auto billing = reinterpret_cast<BillingFn>(dlsym(h, "be_engine_corvane2_light_billing_type"));
  ASSERT_NE(billing, nullptr);
  EXPECT_STREQ(billing(), "self-hosted-corvane-2-model");
  EXPECT_NE(dlsym(h, "mirelund_sha256"), nullptr);
  // Interior symbols stay hidden, the engine's and the plug-in's own.
  EXPECT_EQ(dlsym(h, "_ZN2le4capi10lastErrorENS0_6FamilyE"), nullptr);
  EXPECT_EQ(dlsym(h, "_ZN8mirelund6engine9container16imx_is_containerEPKc"), nullptr);
  dlclose(h);
}

// The plug-in's tables, loaded once, with a private TMPDIR to watch.
class HostileHost : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(LE_LIGHTBACKEND_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    backend_ = reinterpret_cast<be_engine_backend_entry_fn>(dlsym(handle_, "be_engine_backend_entry"))();
    renderer_ = reinterpret_cast<mirelund_renderer_entry_fn>(dlsym(handle_, "mirelund_renderer_entry"))(1);
    char tmpl[] = "/tmp/le_host_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    std::system(("rm -rf '" + dir_ + "'").c_str());
    if (handle_) dlclose(handle_);
  }

  struct Member {
    std::string name;
    uint64_t offset, size;
  };
  // Writes a container: the header and table, then `payload` at the first
  // free byte; member offsets are relative to that byte. The file spans
  // `span` bytes (a sparse tail) when that is more.
  std::string container(const std::string& name, std::vector<Member> members, const std::string& payload,
                        uint64_t span = 0) {
    std::string toc("IMX\0", 4);
    auto put = [&toc](uint64_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) toc.push_back(char(v >> (8 * i)));
    };
    put(2, 2);
    put(members.size(), 2);
    uint64_t start = toc.size();
    for (const Member& m : members) start += 2 + m.name.size() + 16;
    for (const Member& m : members) {
      put(m.name.size(), 2);
      toc += m.name;
      put(start + m.offset, 8);
      put(m.size, 8);
    }
    const std::string path = dir_ + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(toc.data(), 1, toc.size(), f);
    std::fwrite(payload.data(), 1, payload.size(), f);
    std::fclose(f);
    if (span > start + payload.size()) {
      EXPECT_EQ(truncate(path.c_str(), off_t(span)), 0);
    }
    return path;
  }

  int open(const std::string& path, int threads = 0) {
    be_engine_open_options o{};
    o.threads = threads;
    void* obj = nullptr;
    const int rc = backend_->open(path.c_str(), nullptr, 0, &o, &obj);
    if (obj) backend_->close(obj);
    return rc;
  }

  // Directories the plug-in left under TMPDIR.
  int leftovers() const {
    int n = 0;
    DIR* d = opendir(dir_.c_str());
    while (const dirent* e = d ? readdir(d) : nullptr) n += std::string(e->d_name).rfind("libengine-c2l-", 0) == 0;
    if (d) closedir(d);
    return n;
  }

  void* handle_ = nullptr;
  const be_engine_backend* backend_ = nullptr;
  const mirelund_renderer* renderer_ = nullptr;
  std::string dir_;
};

TEST_F(HostileHost, RefusesContainersThatUnpackToMoreThanTheyHold) {
  const std::string manifest = "{\"format\":\"le-bundle-v0\"}";
  const uint64_t kPayload = 512u << 10;
  // 256 members over one 512 KiB payload: 128 MiB from a container of 0.5 MiB.
  std::vector<Member> echoes = {{"manifest.json", 0, manifest.size()}};
  for (int i = 0; i < 256; ++i) echoes.push_back({"m" + std::to_string(i) + ".bin", manifest.size(), kPayload});
  EXPECT_EQ(open(container("echo.imx", echoes, manifest + std::string(kPayload, 'x'))), BE_STATUS_UNWRAP_FAILED);
  // A sparse file: one 4 GiB member, a few bytes stored.
  const std::string sparse =
      container("sparse.imx", {{"manifest.json", 0, manifest.size()}, {"big.bin", manifest.size(), 4ull << 30}},
                manifest, 8ull << 30);
  EXPECT_EQ(open(sparse), BE_STATUS_UNWRAP_FAILED);
  // No manifest: nothing is unpacked; the renderer table translates the refusal.
  const std::string bare = container("bare.imx", {{"a.bin", 0, 4}}, "abcd");
  EXPECT_EQ(open(bare), BE_STATUS_UNWRAP_FAILED);
  void* obj = nullptr;
  EXPECT_EQ(renderer_->open(nullptr, bare.c_str(), nullptr, "", &obj), 4);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(leftovers(), 0);
}

TEST_F(HostileHost, RefusesThreadCountsItCannotStart) {
  // Refused before the bundle is looked at (it does not even exist).
  const std::string missing = dir_ + "/no-bundle";
  EXPECT_EQ(open(missing, 20000), BE_STATUS_BAD_ARGS);
  EXPECT_EQ(open(missing, -3), BE_STATUS_BAD_ARGS);
  void* obj = nullptr;
  EXPECT_EQ(renderer_->open(nullptr, missing.c_str(), nullptr, "{\"threads\": 99999999999}", &obj), MIRELUND_RC_BAD_ARGS);
  EXPECT_EQ(obj, nullptr);
  // A count in range gets as far as the bundle.
  EXPECT_EQ(open(missing, 2), BE_STATUS_ENGINE_FAILED);
}

TEST_F(HostileHost, TheUtteranceProducerBorrowsTheBundlesTeethOrRefusesTheBundle) {
  using ::testing::HasSubstr;
  const std::string bundle = dir_ + "/teeth";
  ASSERT_EQ(le::test::runCommand("cp -r '" + le::test::bundlePath("tiny_teeth") + "' '" + bundle + "'"), 0);
  setenv("MIRELUND_CORVANE2_PRODUCER", "utterance", 1);
  setenv("MIRELUND_W2V_ONNX", (le::test::dataDir() + "/speech/audio_encoder_fp32.onnx").c_str(), 1);
  std::string log;
  auto openLogged = [&] {
    ::testing::internal::CaptureStderr();
    const int rc = open(bundle, 2);
    log = ::testing::internal::GetCapturedStderr();
    return rc;
  };
  EXPECT_EQ(openLogged(), BE_STATUS_OK) << log;
  EXPECT_THAT(log, HasSubstr("[corvane2-light] teeth: borrowed (6 donors, geometry "));

  le::test::writeFile(bundle + "/tessera_head.v1.pt", "not a head");
  EXPECT_EQ(openLogged(), BE_STATUS_ENGINE_FAILED) << log;
  EXPECT_THAT(log, HasSubstr("[corvane2-light] open refused: Cannot attach the teeth of " + bundle));

  setenv("MIRELUND_CORVANE2_TEETH", "0", 1);
  EXPECT_EQ(openLogged(), BE_STATUS_OK) << log;
  EXPECT_THAT(log, HasSubstr("[corvane2-light] teeth: left out (MIRELUND_CORVANE2_TEETH=0)"));
  unsetenv("MIRELUND_CORVANE2_TEETH");
  unsetenv("MIRELUND_W2V_ONNX");
  unsetenv("MIRELUND_CORVANE2_PRODUCER");
  EXPECT_EQ(leftovers(), 0);
}

}  // namespace

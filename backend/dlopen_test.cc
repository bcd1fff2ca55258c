#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

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

}  // namespace

// Telemetry: counters and values under concurrent updates, the JSON document,
// and the engine's own counters moving as it renders.
#include "core/telemetry/telemetry.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/pool.h"
#include "core/telemetry/frame_cpu.h"
#include "core/telemetry/telemetry_document.h"
#include "core/tessera/json.h"
#include "le/le.h"
#include "tests/test_support.h"

namespace {

namespace tm = le::telemetry;
namespace js = le::tessera::json;

int64_t counterIn(const js::JVal& doc, const std::string& name) {
  const js::JVal* v = doc.req("counters").find(name);
  return v ? int64_t(v->number) : -1;
}

std::string capiDocument() {
  const int64_t len = le_telemetry_json(nullptr, 0);
  EXPECT_GT(len, 0);
  std::string buf(size_t(len) + 4096, '\0');
  const int64_t got = le_telemetry_json(buf.data(), buf.size());
  EXPECT_GT(got, 0);
  buf.resize(size_t(got));
  return buf;
}

TEST(Telemetry, FrameCpuRecordsEveryEngineStageOncePerFrameAndCountsOnlyThisThread) {
  tm::resetAll();
  tm::FrameCpu cpu;
  cpu[tm::Stage::kRender] = 12.5;
  cpu[tm::Stage::kTeeth] = 3.0;
  cpu[tm::Stage::kEncode] = 99.0;  // the host's own; the engine never records it
  tm::recordFrameCpu(cpu);
  tm::recordFrameCpu(tm::FrameCpu{});
  for (int i = 0; i < tm::kStageCount; ++i) {
    const tm::Stage s = tm::Stage(i);
    const tm::Value::Summary v = tm::value(std::string("frame_cpu.") + tm::stageName(s) + "_ms").summary();
    EXPECT_EQ(v.count, s == tm::Stage::kEncode ? 0 : 2) << tm::stageName(s);
    EXPECT_EQ(v.sum, s == tm::Stage::kRender ? 12.5 : s == tm::Stage::kTeeth ? 3.0 : 0.0) << tm::stageName(s);
  }

  // A thread that sleeps uses no CPU; the busy thread beside it is not counted.
  std::atomic<bool> done{false};
  std::thread busy([&] {
    volatile double x = 0;
    while (!done) x = x + 1;
  });
  double slept = 0;
  {
    const tm::ScopedCpu timer(slept);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  double spun = 0;
  {
    const tm::ScopedCpu timer(spun);
    const double until = tm::threadCpuMs() + 5.0;
    volatile double x = 0;
    while (tm::threadCpuMs() < until) x = x + 1;
  }
  done = true;
  busy.join();
  EXPECT_LT(slept, 5.0);
  EXPECT_GE(spun, 5.0);
}

// Spins until the calling thread alone has used `ms` more CPU.
void burnOwnCpu(double ms) {
  auto own = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
  };
  const double until = own() + ms;
  volatile double x = 0;
  while (own() < until) x = x + 1;
}

TEST(Telemetry, FrameCpuCountsTheThreadsThatWorkForAStage) {
  // A parallel loop's workers belong to the thread that owns them.
  double looped = 0;
  std::thread owner([&] {
    le::pool::detail::overrideThreadsForTest(2);
    {
      const tm::ScopedCpu timer(looped);
      le::pool::parallelRange(2, 1, [](uint64_t, uint64_t) { burnOwnCpu(20.0); });
    }
    le::pool::detail::overrideThreadsForTest(0);
  });
  owner.join();
  EXPECT_GE(looped, 39.0);

  // Clocks of a session's threads: what a removed thread used stays counted,
  // and what is handed over counts on the receiving thread.
  tm::HelperClocks clocks;
  std::atomic<bool> stop{false};
  std::thread helper([&] {
    burnOwnCpu(10.0);
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  clocks.add(helper.native_handle());
  EXPECT_EQ(clocks.size(), 1);
  while (clocks.cpuMs() < 10.0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  clocks.remove(helper.native_handle());
  stop = true;
  helper.join();
  EXPECT_EQ(clocks.size(), 0);
  EXPECT_GE(clocks.cpuMs(), 10.0);

  double handed = 0;
  {
    const tm::ScopedCpu timer(handed);
    tm::addHelperCpuMs(25.0);
  }
  EXPECT_GE(handed, 25.0);
}

TEST(Telemetry, CountersAndValuesAddUpAcrossThreads) {
  tm::Counter& c = tm::counter("test.threads.count");
  tm::Value& v = tm::value("test.threads.ms");
  EXPECT_EQ(&c, &tm::counter("test.threads.count")) << "one name, one counter";
  const int64_t before = c.value();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10000; ++i) {
        c.add();
        v.record(double(t * 10000 + i));
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(c.value() - before, 40000);
  const tm::Value::Summary s = v.summary();
  EXPECT_EQ(s.count, 40000);
  EXPECT_EQ(s.min, 0.0);
  EXPECT_EQ(s.max, 39999.0);
  EXPECT_DOUBLE_EQ(s.sum, 39999.0 * 40000.0 / 2.0);
}

TEST(Telemetry, ValuesIgnoreNonFiniteSamplesAndResetToEmpty) {
  tm::Value& v = tm::value("test.values.reset");
  v.reset();
  EXPECT_EQ(v.summary().min, 0.0) << "no samples report zeros, not the infinite seeds";
  v.record(2.5);
  v.record(std::nan(""));
  v.record(INFINITY);
  v.record(-1.0);
  tm::Value::Summary s = v.summary();
  EXPECT_EQ(s.count, 2);
  EXPECT_EQ(s.min, -1.0);
  EXPECT_EQ(s.max, 2.5);
  EXPECT_EQ(s.last, -1.0);
  tm::counter("test.values.c").add(7);
  le_telemetry_reset();
  s = v.summary();
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.sum, 0.0);
  EXPECT_EQ(tm::counter("test.values.c").value(), 0);
}

TEST(Telemetry, NamesOutsideTheAlphabetAreRefused) {
  for (const std::string& bad : std::vector<std::string>{"", "has space", "quote\"", std::string(65, 'a')}) {
    EXPECT_EQ(le::test::thrownBy([&] { tm::counter(bad); }),
              "Telemetry name '" + bad + "' is not 1 to 64 letters, digits, '.', '_' or '-'.");
  }
  EXPECT_NO_THROW(tm::value(std::string(64, 'a')));
}

TEST(Telemetry, TheDocumentParsesAndCarriesCountersValuesAndTheMachine) {
  tm::counter("test.doc.count").add(3);
  tm::Value& v = tm::value("test.doc.ms");
  v.reset();
  v.record(1.0);
  v.record(3.0);
  const std::string text = capiDocument();
  const js::JVal doc = js::parse(text);
  ASSERT_TRUE(doc.isObj()) << text;
  EXPECT_EQ(doc.req("format").str, "facecore-telemetry-v1");
  EXPECT_EQ(doc.req("facecore").str, le_version());
  const js::JVal& m = doc.req("machine");
  EXPECT_FALSE(m.req("cpu_model").str.empty());
  EXPECT_GE(m.reqNum("logical_cores"), 1);
  EXPECT_GE(m.reqNum("online_cores"), 1);
  EXPECT_EQ(m.req("simd_target").str, le_simd_target());
  EXPECT_FALSE(m.req("onnxruntime").str.empty());
  EXPECT_NE(m.req("libavcodec").str.find('.'), std::string::npos);
  EXPECT_GT(m.reqNum("memory_total_bytes"), 0);
  EXPECT_GT(m.reqNum("process_rss_bytes"), 0);
  EXPECT_GE(counterIn(doc, "test.doc.count"), 3);
  const js::JVal& ms = doc.req("values").req("test.doc.ms");
  EXPECT_EQ(ms.reqNum("count"), 2);
  EXPECT_EQ(ms.reqNum("mean"), 2.0);
  EXPECT_EQ(ms.reqNum("min"), 1.0);
  EXPECT_EQ(ms.reqNum("max"), 3.0);
  EXPECT_EQ(ms.reqNum("last"), 3.0);

  // Finite samples whose sum overflows: the document still parses, the sum is null.
  ASSERT_EQ(le_telemetry_record("test.doc.huge", 1.7e308), 0);
  ASSERT_EQ(le_telemetry_record("test.doc.huge", 1.7e308), 0);
  const std::string huge = capiDocument();
  const js::JVal hugeDoc = js::parse(huge);
  const js::JVal& h = hugeDoc.req("values").req("test.doc.huge");
  EXPECT_EQ(h.reqNum("count"), 2);
  EXPECT_EQ(h.reqNum("max"), 1.7e308);
  EXPECT_TRUE(h.req("sum").isNull()) << huge;
}

TEST(Telemetry, ABufferTooSmallGetsNothingButTheLength) {
  char buf[32];
  buf[0] = 'x';
  const int64_t len = le_telemetry_json(buf, sizeof buf);
  EXPECT_GE(len, int64_t(sizeof buf));
  EXPECT_EQ(buf[0], '\0');
  buf[0] = 'x';
  EXPECT_GT(le_telemetry_json(buf, 0), 0);
  EXPECT_EQ(buf[0], 'x') << "a zero capacity writes nothing";
}

TEST(Telemetry, JsonStringsEscapeQuotesBackslashesAndControls) {
  EXPECT_EQ(tm::jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  const js::JVal back = js::parse(tm::jsonString("cpu \"X\"\t\\"));
  EXPECT_EQ(back.str, "cpu \"X\"\t\\");
}

TEST(Telemetry, TheEngineCountsRenderedPastedAndDecodedFrames) {
  const js::JVal before = js::parse(capiDocument());
  le_ctx* ctx = le_create(le::test::bundlePath("tiny").c_str(), "b1_fp32", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  std::vector<uint8_t> rgba(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 4);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(le_render_drive_rgba(ctx, i, rgba.data(), rgba.size()), 1) << le_last_error();
  le_destroy(ctx);
  const js::JVal after = js::parse(capiDocument());
  EXPECT_EQ(counterIn(after, "render.frames") - std::max<int64_t>(counterIn(before, "render.frames"), 0), 3);
  EXPECT_EQ(counterIn(after, "paste.frames") - std::max<int64_t>(counterIn(before, "paste.frames"), 0), 3);
  EXPECT_GE(counterIn(after, "driver.frames_decoded"), 3);
  EXPECT_GE(after.req("values").req("render.call_ms").reqNum("count"), 3);
  EXPECT_GT(after.req("values").req("paste.ms").reqNum("sum"), 0.0);
}

}  // namespace

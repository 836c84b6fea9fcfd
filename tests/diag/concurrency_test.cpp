// Many threads logging and tracing at once: every line arrives whole, the
// repeats of a shared message add up, the error count and hook see every
// error once, and the indentation depth ends where it started.
#include <atomic>
#include <cstdio>
#include <map>

#include "log_capture.h"
#include "pf_thread.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmtrace.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 250;
const std::string kPayload(180, 'p');

std::atomic<int> g_hookCalls{0};

// Counts its calls and logs an ERROR of its own, which must be written but
// neither counted nor handed back to the hook.
int32_t CountingHook(uint32_t, const char *, const char *fmt, va_list) {
  ++g_hookCalls;
  LOG_Log(QM_LOG_ERROR, "hook saw %s", fmt);
  return 0;
}

void *Worker(void *arg) {
  const int t = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  for (int i = 0; i < kRounds; ++i) {
    qmenter(QM_TRACE_RTK, "worker", " t%d i%d\n", t, i);
    LOG_Log(QM_LOG_INFO, "thread %d message %d %s\n", t, i, kPayload.c_str());
    TRACE_LogFine(QM_TRACE_RTK, "fine t%d i%d\n", t, i);
    LOG_Log(QM_LOG_ERROR, "shared\n");
    qmexitn(QM_TRACE_RTK, "worker", i);
  }
  return nullptr;
}

using Concurrency = rtktest::LoggingTest;

TEST_F(Concurrency, LinesStayWholeAndCountsAddUp) {
  TRACE_Set(QM_TRACE_RTK);
  g_hookCalls = 0;
  qmlog_errStat = CountingHook;
  const int32_t errorsBefore = log_nerrors;
  std::vector<int64_t> threads(kThreads);
  for (intptr_t t = 0; t < kThreads; ++t) {
    ASSERT_EQ(PF_ThreadCreate(&threads[static_cast<size_t>(t)], Worker, 0, 0, reinterpret_cast<void *>(t)), 0);
  }
  for (int64_t h : threads) pthread_join(static_cast<pthread_t>(h), nullptr);
  qmlog_errStat = nullptr;
  TRACE_LogFine(QM_TRACE_RTK, "after all\n");   // also flushes pending repeats
  const std::vector<rtktest::LogLine> lines = Captured();

  const int total = kThreads * kRounds;
  EXPECT_EQ(log_nerrors - errorsBefore, total);
  EXPECT_EQ(g_hookCalls.load(), total);

  // Every stamped line is one of the expected ones (indentation aside);
  // each notice adds its count to the line before it.
  std::map<std::string, int> seen;
  std::string previous;
  for (const rtktest::LogLine &line : lines) {
    int count = 1;
    if (line.stamped) {
      previous = line.text.substr(line.text.find_first_not_of(' '));
    } else {
      ASSERT_EQ(std::sscanf(line.text.c_str(), "Last message repeated %d times.", &count), 1) << line.text;
    }
    seen[previous] += count;
  }
  std::map<std::string, int> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) {
      char text[4][400];
      std::snprintf(text[0], sizeof text[0], "RTK worker  t%d i%d\n", t, i);
      std::snprintf(text[1], sizeof text[1], "Quillmar Info thread %d message %d %s\n", t, i, kPayload.c_str());
      std::snprintf(text[2], sizeof text[2], "RTK fine t%d i%d\n", t, i);
      std::snprintf(text[3], sizeof text[3], "RTK worker Result:%d (0x%x)\n", i, i);
      for (const char *line : text) expected[line] += 1;
    }
  }
  expected["Quillmar ERROR shared\n"] = total;
  expected["Quillmar ERROR hook saw shared\n"] = total;
  expected["RTK after all\n"] = 1;
  EXPECT_EQ(seen, expected);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().text, "RTK after all\n") << "the depth went back to 0";
}

}  // namespace

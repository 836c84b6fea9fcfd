// Several threads use the frame all at once: they trace entries and exits,
// log their own messages and a shared one (whose repeats fold), and
// announce a code (the first announcement races the one-time conversion of
// the catalogue's texts into heap copies), while the error hook counts the
// errors and logs one line of its own for each. Built with ThreadSanitizer
// (the tsan preset) this must run without a report; in every build each line
// must arrive whole and as often as it was written (repeat notices
// included), the hook and the error count must see every error once, the
// indentation must end where it started, and after the exit handlers the
// heap must be as clean and as empty as before. The heap's own threads are
// tests/mem's.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <map>

#include "log_capture.h"
#include "pf_thread.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmtrace.h"

namespace {

constexpr int kThreads = 8, kRounds = 250;
std::barrier<> g_start{kThreads};
std::atomic<int> g_hookCalls{0};
const char *g_firstText[kThreads];

int32_t CountingHook(uint32_t, const char *, const char *fmt, va_list) {
  ++g_hookCalls;
  LOG_Log(QM_LOG_ERROR, "hook saw %s", fmt);
  return 0;
}

void *Worker(void *arg) {
  const int t = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  g_start.arrive_and_wait();
  g_firstText[t] = QMERR_err2str(QM_INFO_MSGREPEAT);
  for (int i = 0; i < kRounds; ++i) {
    qmenter(QM_TRACE_RTK, "worker", " t%d r%d\n", t, i);
    LOG_Log(QM_LOG_INFO, "t%d r%d log\n", t, i);
    LOG_Log(QM_LOG_ERROR, "shared\n");
    QMERR_Announce(QM_ERR_ALLOC, i, ("thread " + std::to_string(t)).c_str());
    qmexitb(QM_TRACE_RTK, "worker", i);
  }
  return nullptr;
}

using Concurrency = rtktest::LoggingTest;

TEST_F(Concurrency, TracingLoggingAndAnnouncementsAtOnce) {
  uint64_t allocatedBefore = 0, allocatedAfter = 0;
  MEM_Stats(&allocatedBefore, nullptr);
  TRACE_Set(QM_TRACE_RTK);
  qmlog_errStat = CountingHook;
  const int32_t errorsBefore = log_nerrors;
  std::vector<int64_t> threads(kThreads);
  for (intptr_t t = 0; t < kThreads; ++t)
    ASSERT_EQ(PF_ThreadCreate(&threads[static_cast<size_t>(t)], Worker, 0, 0, reinterpret_cast<void *>(t)), 0);
  for (int64_t h : threads) pthread_join(static_cast<pthread_t>(h), nullptr);
  qmlog_errStat = nullptr;
  TRACE_LogFine(QM_TRACE_RTK, "after all\n");  // also writes the pending repeat notice
  const std::vector<rtktest::LogLine> lines = Captured();
  EXPECT_EQ(std::count(g_firstText, g_firstText + kThreads, g_firstText[0]), kThreads) << "the conversion ran once";
  EXPECT_STREQ(g_firstText[0], "Last message repeated %d times.");
  EXPECT_EQ((std::vector<int>{log_nerrors - errorsBefore, g_hookCalls}), std::vector<int>(2, 2 * kThreads * kRounds));

  // Every stamped line is one of the expected ones (indentation aside); a
  // repeat notice adds its count to the line before it.
  std::map<std::string, int> seen, expected;
  std::string previous;
  for (const rtktest::LogLine &line : lines) {
    int count = 1;
    if (line.stamped) previous = line.text.substr(line.text.find_first_not_of(' '));
    else EXPECT_EQ(std::sscanf(line.text.c_str(), "Last message repeated %d times.", &count), 1) << line.text;
    seen[previous] += count;
  }
  const std::string alloc = QMERR_err2str(QM_ERR_ALLOC);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) {
      char announced[200];
      std::snprintf(announced, sizeof announced, alloc.c_str(), i, ("thread " + std::to_string(t)).c_str());
      const std::string ti = "t" + std::to_string(t) + " r" + std::to_string(i), result = std::to_string(i) + (i ? " TRUE" : " FALSE");
      for (const std::string &line : {"RTK worker  " + ti, "Quillmar Info " + ti + " log", "RTK worker Result:" + result,
                                      "Quillmar ERROR ALLOC(6010):" + std::string(announced)})
        expected[line + "\n"] += 1;
    }
  for (const std::string &line : std::initializer_list<std::string>{"shared\n", "hook saw shared\n", "hook saw " + alloc + "\n"})
    expected["Quillmar ERROR " + line] = kThreads * kRounds;
  expected["RTK after all\n"] = 1;
  // The last line shows that the depth went back to 0.
  EXPECT_EQ((std::tuple{seen, lines.empty() ? "" : lines.back().text}), std::tuple(expected, "RTK after all\n"));
  qmexit_rundown();  // puts the catalogue's texts back and releases the copies
  MEM_Stats(&allocatedAfter, nullptr);
  EXPECT_EQ((std::tuple{qmmem_check(), allocatedAfter}), std::tuple(0, allocatedBefore));
}

}  // namespace

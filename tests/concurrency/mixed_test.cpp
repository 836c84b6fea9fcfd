// Several threads use the frame all at once: they log, trace, allocate from
// the debug heap, announce codes (the first announcement races the one-time
// conversion of the catalogue's texts) and convert texts between UTF-8 and
// UTF-16. Built with ThreadSanitizer (the tsan preset) this must run without
// a report; in every build each line must arrive whole and exactly once, the
// heap blocks must keep what their owner wrote, and the heap must end as
// clean and as empty as it started.
#include <barrier>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "log_capture.h"
#include "pf_thread.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmstr.h"
#include "qmtrace.h"

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 120;
constexpr int kKept = 4;   // blocks each thread holds at once
constexpr int32_t kAnnounced = QM_ERR_ALLOC;
constexpr const char *kLevelNames[] = {"PANIC", "ERROR", "Warn", "Info"};

struct Shared {
  std::barrier<> start{kThreads};
  const char *firstText[kThreads] = {};
  int failures[kThreads] = {};
};
Shared *g_shared = nullptr;

// A text that needs every UTF-8 length: ASCII, Latin, CJK and an emoji.
std::string UtfText(int t, int i) {
  return "t" + std::to_string(t) + " r" + std::to_string(i) + " caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
}

// One round trip through both converters; true when the text came back.
bool RoundTrip(const std::string &text) {
  uint16_t units[64];
  const int32_t n = utf8array_to_utf16asciz(reinterpret_cast<const uint8_t *>(text.data()), text.size(),
                                            units, 63);
  if (n <= 0) return false;
  uint8_t back[128];
  const int32_t k = utf16array_to_utf8asciz(units, static_cast<uint64_t>(n), back, sizeof back);
  return k == static_cast<int32_t>(text.size()) && std::memcmp(back, text.data(), text.size()) == 0;
}

// The size of the block that thread t allocates in round i (100 to 70,099
// bytes), which its announcement names too.
int32_t BlockSize(int t, int i) { return 100 + (i * 7919 + t * 104729) % 70000; }

// True when every byte of a block still holds what its owner wrote.
bool Holds(const unsigned char *block, int32_t size, int byte) {
  for (int32_t b = 0; b < size; ++b) {
    if (block[b] != static_cast<unsigned char>(byte)) return false;
  }
  return true;
}

void *Worker(void *arg) {
  const int t = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  int &failures = g_shared->failures[t];
  g_shared->start.arrive_and_wait();
  g_shared->firstText[t] = QMERR_err2str(QM_INFO_MSGREPEAT);

  unsigned char *kept[kKept] = {};
  int32_t keptSize[kKept] = {};
  char tag[5];
  std::snprintf(tag, sizeof tag, "cc%02d", t);
  for (int i = 0; i < kRounds; ++i) {
    const int slot = i % kKept;
    if (kept[slot] != nullptr) {
      failures += !Holds(kept[slot], keptSize[slot], t + slot);
      failures += MEM_free(kept[slot]) != keptSize[slot];
    }
    keptSize[slot] = BlockSize(t, i);
    kept[slot] = static_cast<unsigned char *>(MEM_malloc(512 << (i % 3), keptSize[slot], tag));
    if (kept[slot] == nullptr) {
      ++failures;
      continue;
    }
    std::memset(kept[slot], t + slot, static_cast<size_t>(keptSize[slot]));

    LOG_Log(QM_LOG_INFO, "t%d r%d log\n", t, i);
    TRACE_LogFine(QM_TRACE_RTK, "t%d r%d trace\n", t, i);
    QMERR_Announce(kAnnounced, keptSize[slot], tag);
    failures += !RoundTrip(UtfText(t, i));
  }
  for (int slot = 0; slot < kKept; ++slot) failures += MEM_free(kept[slot]) != keptSize[slot];
  return nullptr;
}

class Concurrency : public rtktest::LoggingTest {};

TEST_F(Concurrency, LoggingTracingHeapAnnouncementsAndConversionsAtOnce) {
  qmmem_setDbg(1);   // check the whole heap on every allocation and release
  uint64_t allocatedBefore = 0;
  uint64_t freeBefore = 0;
  MEM_Stats(&allocatedBefore, &freeBefore);
  TRACE_Set(QM_TRACE_RTK);
  const int32_t errorsBefore = log_nerrors;

  Shared shared;
  g_shared = &shared;
  std::vector<int64_t> threads(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(PF_ThreadCreate(&threads[static_cast<size_t>(t)], Worker, 0, 0,
                              reinterpret_cast<void *>(static_cast<intptr_t>(t))), 0);
  }
  for (int64_t h : threads) pthread_join(static_cast<pthread_t>(h), nullptr);
  g_shared = nullptr;
  const std::vector<rtktest::LogLine> lines = Captured();
  TRACE_Set(0);

  // The one-time conversion ran once: every thread got the same converted text.
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(shared.failures[t], 0) << "thread " << t;
    EXPECT_EQ(shared.firstText[t], shared.firstText[0]);
  }
  ASSERT_NE(shared.firstText[0], nullptr);
  EXPECT_EQ(std::strstr(shared.firstText[0], "<var"), nullptr) << shared.firstText[0];

  // Every line came whole and exactly once; no two threads ever wrote the
  // same text, so nothing was folded into a repeat notice.
  const int32_t severity = QMERR_getSeverity(kAnnounced);
  ASSERT_GE(severity, 0);
  ASSERT_LT(severity, 4);
  std::map<std::string, int> expected;
  for (int t = 0; t < kThreads; ++t) {
    char tag[5];
    std::snprintf(tag, sizeof tag, "cc%02d", t);
    for (int i = 0; i < kRounds; ++i) {
      const std::string ti = "t" + std::to_string(t) + " r" + std::to_string(i);
      expected["Quillmar Info " + ti + " log\n"] += 1;
      expected["RTK " + ti + " trace\n"] += 1;
      char text[512];
      std::snprintf(text, sizeof text, QMERR_err2str(kAnnounced), BlockSize(t, i), tag);
      expected[std::string("Quillmar ") + kLevelNames[severity] + " " + QMERR_err2mnemonic(kAnnounced) + "(" +
               std::to_string(kAnnounced) + "):" + text + "\n"] += 1;
    }
  }
  std::map<std::string, int> seen;
  for (const rtktest::LogLine &line : lines) {
    EXPECT_TRUE(line.stamped) << line.text;
    seen[line.text] += 1;
  }
  EXPECT_EQ(seen, expected);

  // After the exit handlers have put the catalogue's converted texts back,
  // the heap holds exactly what it held before.
  qmexit_rundown();
  uint64_t allocatedAfter = 0;
  uint64_t freeAfter = 0;
  MEM_Stats(&allocatedAfter, &freeAfter);
  EXPECT_EQ(qmmem_check(), 0);
  EXPECT_EQ(allocatedAfter, allocatedBefore);
  qmmem_setDbg(0);

  const bool counted = severity <= static_cast<int32_t>(QM_LOG_ERROR);
  EXPECT_EQ(log_nerrors - errorsBefore, counted ? kThreads * kRounds : 0);
}

}  // namespace

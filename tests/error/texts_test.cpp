// Printf-ready texts, the disabled flag, the one-time conversion under
// threads and without heap memory, and the exit handler "err".
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "errtest.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmtrace.h"

namespace {

using errtest::AllRows;
using errtest::InFreshProcess;
using errtest::Row;

// The printf conversions of a text in order ("%s", "%d", "%Ld", "%x" ...).
std::vector<std::string> Conversions(const std::string &text) {
  std::vector<std::string> found;
  for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
    found.push_back(text.substr(at, text.compare(at, 3, "%Ld") == 0 ? 3 : 2));
  }
  return found;
}

TEST(CatalogueTexts, ConventionsHoldOverTheWholeTable) {
  int withArguments = 0, endingInLineFeed = 0;
  std::vector<std::string> innerLineFeeds, direct;
  for (const Row &r : AllRows()) {
    const std::string text = QMERR_err2str(r.code);
    EXPECT_EQ(text.find("<var"), std::string::npos) << r.mnemonic;
    bool arguments = false;
    for (const std::string &c : Conversions(text)) {
      EXPECT_TRUE(c == "%x" || c == "%s" || c == "%d" || c == "%Ld") << r.mnemonic;
      if (c == "%x") direct.push_back(r.mnemonic);
      arguments |= c != "%x";
    }
    withArguments += arguments;
    endingInLineFeed += !text.empty() && text.back() == '\n';
    const size_t lineFeed = text.find('\n');
    if (lineFeed != std::string::npos && lineFeed + 1 < text.size()) innerLineFeeds.push_back(r.mnemonic);
  }
  EXPECT_EQ(withArguments, 62);
  EXPECT_EQ(endingInLineFeed, 14);
  EXPECT_EQ(direct, std::vector<std::string>{"DRIVERQ"});
  EXPECT_EQ(innerLineFeeds, (std::vector<std::string>{"NETWORKWAIT", "SYNTAX1", "SYNTAX2", "SYNTAX3", "RESTARTABLE_WAIT",
                                                      "RESTARTABLE_CONTINUE", "SYSERRMSG2", "VSB_RESTARTABLE"}));
  for (int32_t code : {QM_INFO_SYNTAX1, QM_INFO_SYNTAX2, QM_INFO_SYNTAX3}) {
    const std::string help = QMERR_err2str(code);
    EXPECT_TRUE(help.find_first_of("<>") == std::string::npos && help.find("&lt;") != std::string::npos) << code;
  }
  EXPECT_EQ(std::strlen(QMERR_err2str(QM_INFO_SYNTAX2)), 1641u);
  EXPECT_EQ(std::strlen(QMERR_err2str(QM_INFO_SYNTAX3)), 650u);
  EXPECT_EQ(Conversions(QMERR_err2str(QM_INFO_MIRRORCATCHUPSIZE)), (std::vector<std::string>{"%s", "%Ld", "%s", "%Ld"}));
  EXPECT_STREQ(QMERR_err2str(QM_INFO_MSGREPEAT), "Last message repeated %d times.");
  EXPECT_STREQ(QMERR_err2str(4242), "WEIRD ERROR");
}

TEST(DisabledFlag, StoredAsGivenAndAbsentCodesShareWeird) {
  InFreshProcess([] {
    const std::string out = rtktest::Logged([] {
      TRACE_Set(QM_TRACE_ERR);
      QMERR_setDisabled(QM_ERR_NOMEM, 7);
      QMERR_setDisabled(5006, 1);
    });
    EXPECT_EQ(QMERR_getDisabled(QM_ERR_NOMEM), 7);
    EXPECT_EQ(QMERR_getDisabled(QM_ERR_INTRPTD), 0);
    EXPECT_EQ(QMERR_getDisabled(4242), 1);
    EXPECT_NE(out.find("QMERR_setDisbled: err:5006 idx:223 to disabled:1\n"), std::string::npos);
  });
}

// Threads make their first catalogue calls at once while others announce
// and disable: all see the same converted texts, every announcement arrives
// whole, and the exit handler puts "(msg deleted)" in exactly the 62 rows
// that held markers.
TEST(OneTimeConversion, ManyThreadsThenExitHandler) {
  InFreshProcess([] {
    std::vector<std::vector<const char *>> seen(6);
    const std::string out = rtktest::Logged([&seen] {
      std::atomic<bool> go{false};
      std::vector<std::thread> threads;
      for (auto &texts : seen) {
        threads.emplace_back([&go, &texts] {
          while (!go) std::this_thread::yield();
          for (const Row &r : AllRows()) texts.push_back(QMERR_err2str(r.code));
        });
      }
      threads.emplace_back([&go] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 100; ++i) QMERR_Announce(QM_ERR_DRIVERWRITE, i);
      });
      threads.emplace_back([&go] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i <= 100; ++i) QMERR_setDisabled(QM_ERR_INTRPTD, i);
      });
      go = true;
      for (std::thread &t : threads) t.join();
    });
    for (const auto &texts : seen) EXPECT_EQ(texts, seen[0]);
    EXPECT_EQ(QMERR_getDisabled(QM_ERR_INTRPTD), 100);
    for (int i = 0; i < 100; ++i) {
      EXPECT_NE(out.find("ERROR DRIVERWRITE(6021):Failed to write " + std::to_string(i) + " bytes to the driver.\n"),
                std::string::npos) << i;
    }
    qmexit_rundown();
    int deleted = 0;
    for (size_t i = 0; i < AllRows().size(); ++i) {
      const char *now = QMERR_err2str(AllRows()[i].code);
      if (std::strcmp(now, "(msg deleted)") == 0) ++deleted;
      else EXPECT_EQ(now, seen[0][i]) << AllRows()[i].mnemonic;
    }
    EXPECT_EQ(deleted, 62);
  });
}

// The heap may log while the conversion allocates (here: a damaged block
// that the checks of debug level 1 report), and the error hook may then ask
// for a text on the same thread. That call comes back, and the conversion
// still ends with every text converted.
TEST(OneTimeConversion, AHookAskingForATextMeanwhileGetsAnAnswer) {
  InFreshProcess([] {
    alarm(10);  // a thread waiting for itself ends the run
    static int hookCalls = 0;
    qmlog_errStat = [](uint32_t, const char *, const char *, va_list) -> int32_t {
      QMERR_err2str(QM_ERR_ALLOC);
      ++hookCalls;
      return 0;
    };
    qmmem_setDbg(1);
    auto *block = static_cast<char *>(MEM_malloc(8, 16, "test"));
    ASSERT_NE(block, nullptr);
    block[16] = 'x';  // one byte past the block
    rtktest::Logged([] { QMERR_err2str(QM_INFO_MSGREPEAT); });
    qmlog_errStat = nullptr;
    EXPECT_GT(hookCalls, 0);
    for (const Row &r : AllRows()) EXPECT_EQ(std::string(QMERR_err2str(r.code)).find("<var"), std::string::npos) << r.mnemonic;
  });
}

// Without heap memory for the copies the rows keep their built-in texts,
// which are still harmless formats, and the texts left unconverted are logged.
TEST(OneTimeConversion, NoHeapMemoryKeepsBuiltInTexts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit cannot be set under a sanitizer";
#endif
  InFreshProcess([] {
    const std::string out = rtktest::Logged([] {
      long pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlim_t limit = static_cast<rlim_t>(pages) * 4096 + (256 << 10);
      const rlimit small{limit, limit};
      ASSERT_EQ(setrlimit(RLIMIT_AS, &small), 0);
      EXPECT_STREQ(QMERR_err2str(QM_INFO_MSGREPEAT), "Last message repeated <var type=\"int32\"/> times.");
    });
    EXPECT_NE(out.find("qmerror convert failed:Last message repeated <var"), std::string::npos);
  });
}

}  // namespace

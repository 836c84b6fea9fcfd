// The trace: mask texts both ways, levels, the program filter, plain lines
// with their indentation, XML records, and the trace command.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "diag_test_util.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using diagtest::DiagTest;
using Lines = std::vector<std::string>;

uint64_t Mask() {
  uint64_t m = 0;
  TRACE_Get(&m);
  return m;
}

std::string MaskText(uint64_t mask, int32_t size = 256) {
  std::vector<char> buf(static_cast<size_t>(size) + 1, '#');
  TRACE_mask2str(mask, buf.data(), size);
  return buf.data();
}

constexpr uint64_t kUnchanged = QM_TRACE_HASH;

TEST(TraceMaskText, ParsesNamesSeparatorsAndAll) {
  struct Case {
    const char *text;
    int32_t rc;
    uint64_t mask;
  };
  const Case cases[] = {
      {"RTK", QM_SUCCESS, 0x0040000000000000ull},
      {"rtk,file", QM_SUCCESS, QM_TRACE_RTK | QM_TRACE_FILE},
      {"RTK|FILE", QM_SUCCESS, QM_TRACE_RTK | QM_TRACE_FILE},
      {"ERR,RTK|FILE", QM_SUCCESS, QM_TRACE_ERR | QM_TRACE_RTK | QM_TRACE_FILE},
      {"RTK|FILE,ERR", QM_ERR_IVLOGLVL, kUnchanged},   // 'RTK|FILE' is one token
      {"RTK,,", QM_SUCCESS, QM_TRACE_RTK},
      {",RTK", QM_SUCCESS, QM_TRACE_RTK},
      {"", QM_SUCCESS, 0},
      {"RTK, FILE", QM_ERR_IVLOGLVL, kUnchanged},
      {"RTK,NOSUCH", QM_ERR_IVLOGLVL, kUnchanged},
      {"!RTK", QM_ERR_IVLOGLVL, kUnchanged},
      {"0x40", QM_ERR_IVLOGLVL, kUnchanged},
      {"all", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull},
      {"ALL,DEBUG1", QM_SUCCESS, ~0ull},
      {"DEBUG1,all", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull},
      {"RTK,all,FILE", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull},
      {"vftest", QM_SUCCESS, 1ull << 52},
      {"MIRROR_DRAINER", QM_SUCCESS, 1ull << 44},
      {"RTKRTKRTKRTKRTKRTKRTKRTKRTKRTK", QM_ERR_IVLOGLVL, kUnchanged},
      {nullptr, QM_ERR_NULLPARAM, kUnchanged},
  };
  for (const Case &c : cases) {
    TRACE_Set(kUnchanged);
    EXPECT_EQ(TRACE_SetByStr(c.text), c.rc) << (c.text ? c.text : "(null)");
    EXPECT_EQ(Mask(), c.mask) << (c.text ? c.text : "(null)");
  }
  TRACE_Set(0);
}

TEST(TraceMaskText, WritesNamesInRowOrderWithinTheBuffer) {
  EXPECT_EQ(MaskText(QM_TRACE_FILE | QM_TRACE_RTK | QM_TRACE_BASIC), "BASIC,FILE,RTK");
  EXPECT_EQ(MaskText(1ull << 52), "VFTEST,VFTEST");
  EXPECT_EQ(MaskText((1ull << 43) | (0x1FFull << 55)), "");
  const std::string all = MaskText(QM_TRACE_ALL);
  EXPECT_EQ(all.size(), 250u);
  EXPECT_EQ(all.rfind("BASIC,SYS,HOOK,", 0), 0u);
  EXPECT_EQ(all.substr(all.size() - 11), ",TABULATION");
  // Names are cut like snprintf, writing stops once 9 bytes or fewer are
  // left, and nothing lands outside the buffer.
  const struct {
    int32_t size;
    const char *text;
  } cuts[] = {{1, ""}, {5, "BASI"}, {6, "BASIC"}, {14, "BASIC"}, {15, "BASIC,SYS"}};
  for (const auto &c : cuts) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    TRACE_mask2str(QM_TRACE_BASIC | QM_TRACE_SYS, buf.data(), c.size);
    EXPECT_TRUE(buf.Intact()) << c.size;
    EXPECT_STREQ(buf.data(), c.text) << c.size;
  }
  rtktest::GuardedBuffer empty(1, 'z');
  TRACE_mask2str(QM_TRACE_BASIC, empty.data(), 0);
  EXPECT_EQ(empty.data()[0], 'z');
  EXPECT_TRUE(empty.Intact());
}

// Any mask of a few named bits survives text and back.
TEST(TraceMaskText, RoundTripsRandomMasks) {
  std::mt19937_64 rng(4711);
  for (int i = 0; i < 500; ++i) {
    uint64_t mask = 0;
    for (int bits = static_cast<int>(rng() % 8); bits > 0; --bits) mask |= 1ull << (rng() % 55);
    mask &= ~(1ull << 43);
    ASSERT_EQ(TRACE_SetByStr(MaskText(mask).c_str()), QM_SUCCESS) << MaskText(mask);
    EXPECT_EQ(Mask(), mask) << MaskText(mask);
  }
  TRACE_Set(0);
}

TEST(TraceSettings, LevelsByNameAndLogOn) {
  const struct {
    const char *name;
    int32_t rc;
    const char *level;
  } cases[] = {{"coarse", QM_SUCCESS, "Coarse"}, {"MEDIUM", QM_SUCCESS, "Medium"},
               {"Fine", QM_SUCCESS, "Fine"},     {"Verbose", QM_ERR_IVLOGLVL, "Fine"},
               {"", QM_ERR_IVLOGLVL, "Fine"},     {nullptr, QM_ERR_IVLOGLVL, "Fine"}};
  for (const auto &c : cases) {
    EXPECT_EQ(TRACE_SetLevelByStr(c.name), c.rc);
    EXPECT_STREQ(TRACE_GetLevelStr(), c.level);
  }
  ASSERT_EQ(TRACE_SetByStr("RTK"), QM_SUCCESS);
  EXPECT_NE(LogOn(QM_TRACE_RTK), 0);
  EXPECT_NE(LogOn(QM_TRACE_RTK | QM_TRACE_FILE), 0);
  EXPECT_EQ(LogOn(QM_TRACE_FILE), 0);
  TRACE_Set(0);
}

class TraceLines : public DiagTest {};

TEST_F(TraceLines, LevelProgramAndMaskDecideWhatIsWritten) {
  TRACE_Set(QM_TRACE_RTK);
  TRACE_SetLevelByStr("Coarse");
  TRACE_LogFine(QM_TRACE_RTK, "fine\n");
  TRACE_LogMedium(QM_TRACE_RTK, "medium\n");
  qmenter(QM_TRACE_RTK, "f", "entry\n");          // Medium: dropped, depth stays
  TRACE_LogCoarse(QM_TRACE_RTK, "coarse\n");
  TRACE_SetLevelByStr("Fine");
  TRACE_LogL(QM_TRACE_RTK, 3, "level 3\n");
  TRACE_LogL(QM_TRACE_RTK, 2, "level 2\n");
  TRACE_LogFine(QM_TRACE_FILE, "other bit\n");
  TRACE_SetProgram("RT");
  TRACE_LogFine(QM_TRACE_RTK, "filter RT\n");
  TRACE_SetProgram("rtkx");
  TRACE_LogFine(QM_TRACE_RTK, "filter rtkx\n");
  TRACE_SetProgram("");
  TRACE_LogFine(QM_TRACE_RTK, "no filter\n");
  const Lines expected = {"RTK coarse\n", "RTK level 2\n", "RTK filter RT\n", "RTK no filter\n"};
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST(TraceSettings, ProgramFilterKeepsFifteenCharacters) {
  TRACE_SetProgram("abcdefghijklmnopqrst");
  EXPECT_STREQ(TRACE_GetProgram(), "abcdefghijklmno");
  TRACE_SetProgram(nullptr);
  EXPECT_STREQ(TRACE_GetProgram(), "");
}

TEST_F(TraceLines, EntryAndExitLinesNestByTheDepth) {
  TRACE_Set(QM_TRACE_RTK);
  qmenter(QM_TRACE_RTK, "RTK_UninstallDriver", " mode: %d\n", 0);
  TRACE_LogFine(QM_TRACE_RTK, "inside\n");
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 0);
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 1);   // at depth 0: stays there
  TRACE_LogFine(QM_TRACE_RTK, "after\n");
  const Lines expected = {"RTK RTK_UninstallDriver  mode: 0\n", " RTK inside\n",
                          "RTK RTK_UninstallDriver Result:0 (0x0)\n",
                          "RTK RTK_UninstallDriver Result:1 (0x1)\n", "RTK after\n"};
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(TraceLines, DepthIsClampedAtTwentyAndHookFunctionsRestart) {
  TRACE_Set(QM_TRACE_RTK);
  for (int i = 0; i < 21; ++i) qmenter(QM_TRACE_RTK, "f", "%d\n", i);
  TRACE_LogFine(QM_TRACE_RTK, "deep\n");
  for (int i = 0; i < 20; ++i) qmexitn(QM_TRACE_RTK, "f", i);
  TRACE_LogFine(QM_TRACE_RTK, "top\n");
  qmenter(QM_TRACE_RTK, "a", "\n");
  qmenter(QM_TRACE_RTK, "b", "\n");
  qmenter(QM_TRACE_RTK, "Hook_x", "\n");   // restarts at depth 0, leaves 1
  TRACE_LogFine(QM_TRACE_RTK, "in hook\n");
  qmexitn(QM_TRACE_RTK, "hook_x", 0);      // restarts at depth 0, leaves 0
  TRACE_LogFine(QM_TRACE_RTK, "out\n");
  TRACE_Set(0);
  qmenter(QM_TRACE_RTK, "untraced", "\n");   // changes nothing
  TRACE_Set(QM_TRACE_RTK);
  TRACE_LogFine(QM_TRACE_RTK, "still out\n");

  auto exitLine = [](int blanks, int result) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", result);
    return std::string(static_cast<size_t>(blanks), ' ') + "RTK f Result:" + std::to_string(result) +
           " (0x" + hex + ")\n";
  };
  Lines expected;
  for (int i = 0; i < 21; ++i) {
    // Entry i is written at depth i; depth 20 writes no blanks.
    expected.push_back(std::string(i < 20 ? static_cast<size_t>(i) : 0, ' ') + "RTK f " +
                       std::to_string(i) + "\n");
  }
  expected.push_back("RTK deep\n");
  for (int i = 0; i < 20; ++i) expected.push_back(exitLine(19 - i, i));
  expected.insert(expected.end(), {"RTK top\n", "RTK a \n", " RTK b \n", "RTK Hook_x \n", " RTK in hook\n",
                                   "RTK hook_x Result:0 (0x0)\n", "RTK out\n", "RTK still out\n"});
  const Lines got = CapturedTexts();
  EXPECT_EQ(got, expected);
}

TEST_F(TraceLines, MaskNameIsTheFirstRowOfTheLine) {
  TRACE_SetByStr("all");
  TRACE_LogFine(QM_TRACE_ALL, "a\n");
  TRACE_LogFine(QM_TRACE_RTK | QM_TRACE_FILE, "b\n");
  TRACE_LogFine((1ull << 52) | QM_TRACE_SYSPROTECT, "c\n");
  TRACE_LogFine(1ull << 43, "d\n");
  const Lines expected = {"BASIC a\n", "FILE b\n", "VFTEST c\n", "??err?? d\n"};
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(TraceLines, XmlRecordsKeepTheDepthAndFlattenTheFirstLineFeed) {
  TRACE_Set(QM_TRACE_RTK);
  TRACE_SetMode(1);
  diagtest::StdoutCapture raw;
  qmenter(QM_TRACE_RTK, "RTK_UninstallDriver", "\n");
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 0);
  TRACE_LogFine(QM_TRACE_RTK, "a\nb\n");
  TRACE_LogFine(QM_TRACE_RTK, "%s\n", "x\"<&>\ny");
  const std::string out = raw.Finish();
  TRACE_SetMode(0);
  TRACE_LogFine(QM_TRACE_RTK, "plain\n");
  EXPECT_EQ(CapturedTexts(), Lines{"RTK plain\n"});   // the XML entry left depth 0

  std::vector<std::string> records;
  for (size_t pos = 0; (pos = out.find(": <trace ", pos)) != std::string::npos; pos += 2) {
    const size_t end = out.find("\"/>\n", pos);
    ASSERT_NE(end, std::string::npos);
    records.push_back(out.substr(pos + 2, end + 4 - pos - 2));
  }
  const Lines expected = {
      "<trace code=\"RTK\" func=\"RTK_UninstallDriver\" msg=\" \"/>\n",
      "<trace code=\"RTK\" func=\"RTK_UninstallDriver\" msg=\"Result:0 (0x0) \"/>\n",
      "<trace code=\"RTK\" msg=\"a b\n\"/>\n",
      "<trace code=\"RTK\" msg=\"x\"<&>\ny \"/>\n",
  };
  EXPECT_EQ(records, expected);
}

TEST_F(TraceLines, LongMessagesAreCutNotWrapped) {
  TRACE_Set(QM_TRACE_RTK);
  const std::string big(6000, 'm');
  TRACE_LogFine(QM_TRACE_RTK, "%s", big.c_str());
  const Lines got = CapturedTexts();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "RTK " + std::string(1009, 'm'));   // the log keeps 1013 characters
}

// The reply to a command without mask and device, fed back, sets the same
// settings again.
TEST(TraceCommand, ReplyRoundTripsTheSettings) {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  char cmd[512] = "<trace level=\"medium\" program=\"rt\" mode=\"plain\"/>";
  TRACE_Set(QM_TRACE_RTK | QM_TRACE_FILE | QM_TRACE_ERR);
  ASSERT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_INFO_XMLRESPONSE);
  const std::string reply = cmd;
  EXPECT_EQ(reply, "<trace device=\"terminal\" mask=\"ERR,FILE,RTK\" level=\"Medium\" program=\"rt\"/>");

  TRACE_Set(QM_TRACE_HASH);
  TRACE_SetLevelByStr("Coarse");
  TRACE_SetProgram("other");
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  EXPECT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_SUCCESS);
  char again[512] = "<trace/>";
  ASSERT_EQ(TRACE_Parse_Common(again, sizeof again), QM_INFO_XMLRESPONSE);
  EXPECT_EQ(std::string(again), reply);
  TRACE_Set(0);
  TRACE_SetProgram(nullptr);
  TRACE_SetLevelByStr("Fine");
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
}

TEST(TraceCommand, AppliesDeviceLevelModeAndMaskInOrder) {
  struct Case {
    const char *cmd;
    int32_t rc;
    int32_t target;
    uint64_t mask;
    const char *level;
  };
  // Every case starts from target 0, mask HASH, level Fine.
  const Case cases[] = {
      {"<trace device=\"screen\"/>", QM_SUCCESS, 1, QM_TRACE_HASH, "Fine"},
      {"<trace mask='RTK' level='Fine' device='file'/>", QM_SUCCESS, 0, QM_TRACE_RTK, "Fine"},
      {"<trace mask=\"RTK,BOGUS\" level=\"Coarse\"/>", QM_ERR_IVLOGLVL, 0, QM_TRACE_HASH, "Coarse"},
      {"<trace device=\"printer\" mask=\"RTK\" level=\"Medium\"/>", QM_ERR_IVLOGDEV, 0, QM_TRACE_HASH, "Medium"},
      {"<trace level=\"verbose\" mask=\"RTK\" device=\"screen\"/>", QM_ERR_IVLOGLVL, 0, QM_TRACE_HASH, "Fine"},
      {"<trace mask=\"!RTK\" device=\"terminal\"/>", QM_SUCCESS, 1, QM_TRACE_HASH, "Fine"},
      {"<trace mask=\"\"/>", QM_SUCCESS, 0, 0, "Fine"},
  };
  for (const Case &c : cases) {
    LOG_SetTarget(QM_LOG_TARGET_FILE);
    TRACE_Set(QM_TRACE_HASH);
    TRACE_SetLevelByStr("Fine");
    char cmd[256];
    STR_copy(cmd, c.cmd, sizeof cmd);
    EXPECT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), c.rc) << c.cmd;
    int32_t target = -1;
    LOG_GetTarget(&target);
    EXPECT_EQ(target, c.target) << c.cmd;
    EXPECT_EQ(Mask(), c.mask) << c.cmd;
    EXPECT_STREQ(TRACE_GetLevelStr(), c.level) << c.cmd;
  }
  TRACE_Set(0);
  TRACE_SetLevelByStr("Fine");
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  EXPECT_EQ(TRACE_Parse_Common(nullptr, 10), QM_ERR_NULLPARAM);
}

TEST(TraceCommand, ReplyNamesTargetsAndModeAndIsCutAtTheBufferSize) {
  TRACE_Set(0);
  TRACE_SetProgram(nullptr);
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  char cmd[128] = "<trace level='coarse'/>";
  ASSERT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(cmd, "<trace device=\"file\" mask=\"\" level=\"Coarse\" program=\"\"/>");
  LOG_SetTarget(2);   // any target but 0 is named "terminal"
  STR_copy(cmd, "<trace mode=\"XML\"/>", sizeof cmd);
  ASSERT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(cmd, "<trace device=\"terminal\" mask=\"\" level=\"Coarse\" program=\"\"/>");
  rtktest::GuardedBuffer small(20);
  STR_copy(small.data(), "<trace/>", 20);
  EXPECT_EQ(TRACE_Parse_Common(small.data(), 20), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(small.data(), "<trace device=\"term");
  EXPECT_TRUE(small.Intact());
  TRACE_SetMode(0);
  TRACE_SetLevelByStr("Fine");
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
}

}  // namespace

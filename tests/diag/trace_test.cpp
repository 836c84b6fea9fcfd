// The trace: mask texts both ways, levels, the program filter, plain lines
// with their indentation, XML records, and the trace command.
#include <cstdio>
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

using Lines = std::vector<std::string>;
class TraceLines : public diagtest::DiagTest {};

uint64_t Mask() {
  uint64_t m = 0;
  TRACE_Get(&m);
  return m;
}

std::string MaskText(uint64_t mask) {
  char buf[256];
  TRACE_mask2str(mask, buf, sizeof buf);
  return buf;
}

TEST(TraceMaskText, ParsesNamesSeparatorsAndAll) {
  constexpr uint64_t kOld = QM_TRACE_HASH;   // the mask before each case
  const struct {
    const char *text;
    int32_t rc;
    uint64_t mask;
  } cases[] = {
      {"RTK", QM_SUCCESS, 0x0040000000000000ull},
      {"rtk,file", QM_SUCCESS, QM_TRACE_RTK | QM_TRACE_FILE},
      {"RTK|FILE", QM_SUCCESS, QM_TRACE_RTK | QM_TRACE_FILE},
      {"ERR,RTK|FILE", QM_SUCCESS, QM_TRACE_ERR | QM_TRACE_RTK | QM_TRACE_FILE},
      {"RTK|FILE,ERR", QM_ERR_IVLOGLVL, kOld},   // 'RTK|FILE' is one token
      {",RTK", QM_SUCCESS, QM_TRACE_RTK},
      {"", QM_SUCCESS, 0},
      {"RTK, FILE", QM_ERR_IVLOGLVL, kOld},
      {"!RTK", QM_ERR_IVLOGLVL, kOld},
      {"0x40", QM_ERR_IVLOGLVL, kOld},
      {"all", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull},
      {"ALL,DEBUG1", QM_SUCCESS, ~0ull},
      {"DEBUG1,all", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull},
      {"vftest", QM_SUCCESS, 1ull << 52},
      {"RTKRTKRTKRTKRTKRTKRTKRTKRTKRTK", QM_ERR_IVLOGLVL, kOld},
      {nullptr, QM_ERR_NULLPARAM, kOld},
  };
  for (const auto &c : cases) {
    TRACE_Set(kOld);
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
  EXPECT_EQ(all.substr(0, 15) + all.substr(all.size() - 11), "BASIC,SYS,HOOK,,TABULATION");
  // Names are cut like snprintf, writing stops once 9 bytes or fewer are
  // left, and nothing lands outside the buffer.
  const struct {
    int32_t size;
    const char *text;
  } cuts[] = {{1, ""}, {5, "BASI"}, {14, "BASIC"}, {15, "BASIC,SYS"}};
  for (const auto &c : cuts) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    TRACE_mask2str(QM_TRACE_BASIC | QM_TRACE_SYS, buf.data(), c.size);
    EXPECT_STREQ(buf.data(), c.text) << c.size;
    EXPECT_TRUE(buf.Intact()) << c.size;
  }
  rtktest::GuardedBuffer none(1, 'z');
  TRACE_mask2str(QM_TRACE_BASIC, none.data(), 0);
  EXPECT_EQ(none.data()[0], 'z');
}

TEST(TraceSettings, LevelsProgramAndLogOn) {
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
  TRACE_SetProgram("abcdefghijklmnopqrst");
  EXPECT_STREQ(TRACE_GetProgram(), "abcdefghijklmno");
  TRACE_SetProgram(nullptr);
  EXPECT_STREQ(TRACE_GetProgram(), "");
  TRACE_Set(QM_TRACE_RTK);
  EXPECT_NE(LogOn(QM_TRACE_RTK | QM_TRACE_FILE), 0);
  EXPECT_EQ(LogOn(QM_TRACE_FILE), 0);
  TRACE_Set(0);
}

TEST_F(TraceLines, LevelProgramAndMaskDecideWhatIsWritten) {
  TRACE_Set(QM_TRACE_RTK);
  TRACE_SetLevelByStr("Coarse");
  TRACE_LogFine(QM_TRACE_RTK, "fine\n");
  TRACE_LogMedium(QM_TRACE_RTK, "medium\n");
  qmenter(QM_TRACE_RTK, "f", "entry\n");   // Medium: dropped, the depth stays 0
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
  EXPECT_EQ(CapturedTexts(), (Lines{"RTK coarse\n", "RTK level 2\n", "RTK filter RT\n", "RTK no filter\n"}));
}

TEST_F(TraceLines, EntryAndExitLinesNestAndTheDepthStaysWithin0To20) {
  TRACE_Set(QM_TRACE_RTK);
  qmenter(QM_TRACE_RTK, "RTK_UninstallDriver", " mode: %d\n", 0);
  TRACE_LogFine(QM_TRACE_RTK, "inside\n");
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 0);
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 1);   // at depth 0: stays there
  Lines expected = {"RTK RTK_UninstallDriver  mode: 0\n", " RTK inside\n",
                    "RTK RTK_UninstallDriver Result:0 (0x0)\n", "RTK RTK_UninstallDriver Result:1 (0x1)\n"};
  for (int i = 0; i < 21; ++i) {
    qmenter(QM_TRACE_RTK, "f", "%d\n", i);   // written at depth i; depth 20 has no blanks
    expected.push_back(std::string(i < 20 ? static_cast<size_t>(i) : 0, ' ') + "RTK f " + std::to_string(i) + "\n");
  }
  TRACE_LogFine(QM_TRACE_RTK, "deep\n");
  expected.push_back("RTK deep\n");
  for (int i = 0; i < 20; ++i) {
    qmexitb(QM_TRACE_RTK, "f", i);
    expected.push_back(std::string(static_cast<size_t>(19 - i), ' ') + "RTK f Result:" + std::to_string(i) +
                       (i ? " TRUE\n" : " FALSE\n"));
  }
  qmenter(QM_TRACE_RTK, "a", "\n");
  qmenter(QM_TRACE_RTK, "Hook_x", "\n");   // restarts at depth 0, leaves 1
  TRACE_LogFine(QM_TRACE_RTK, "in hook\n");
  qmexitn(QM_TRACE_RTK, "hook_x", 0);      // restarts at depth 0, leaves 0
  TRACE_Set(0);
  qmenter(QM_TRACE_RTK, "untraced", "\n");   // changes nothing
  TRACE_Set(QM_TRACE_RTK);
  TRACE_LogFine(QM_TRACE_RTK, "out\n");
  expected.insert(expected.end(), {"RTK a \n", "RTK Hook_x \n", " RTK in hook\n", "RTK hook_x Result:0 (0x0)\n",
                                   "RTK out\n"});
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(TraceLines, MaskNameIsTheFirstRowOfTheLinesMask) {
  TRACE_SetByStr("all");
  TRACE_LogFine(QM_TRACE_ALL, "a\n");
  TRACE_LogFine(QM_TRACE_RTK | QM_TRACE_FILE, "b\n");
  TRACE_LogFine((1ull << 52) | QM_TRACE_SYSPROTECT, "c\n");
  TRACE_LogFine(1ull << 43, "d\n");
  EXPECT_EQ(CapturedTexts(), (Lines{"BASIC a\n", "FILE b\n", "VFTEST c\n", "??err?? d\n"}));
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
  EXPECT_EQ(CapturedTexts(), Lines{"RTK plain\n"});   // the XML entry left the depth at 0
  Lines records;
  for (size_t pos = 0; (pos = out.find(": <trace ", pos)) != std::string::npos; pos += 2) {
    records.push_back(out.substr(pos + 2, out.find("\"/>\n", pos) + 2 - pos));
  }
  EXPECT_EQ(records, (Lines{"<trace code=\"RTK\" func=\"RTK_UninstallDriver\" msg=\" \"/>\n",
                            "<trace code=\"RTK\" func=\"RTK_UninstallDriver\" msg=\"Result:0 (0x0) \"/>\n",
                            "<trace code=\"RTK\" msg=\"a b\n\"/>\n", "<trace code=\"RTK\" msg=\"x\"<&>\ny \"/>\n"}));
}

// The reply to a command without mask and device, fed back, sets the same
// settings again.
TEST(TraceCommand, ReplyRoundTripsTheSettings) {
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
  TRACE_Set(QM_TRACE_RTK | QM_TRACE_FILE | QM_TRACE_ERR);
  char cmd[512] = "<trace level=\"medium\" program=\"rt\" mode=\"plain\"/>";
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

TEST(TraceCommand, AppliesLevelThenDeviceThenMask) {
  const struct {
    const char *cmd;
    int32_t rc;
    int32_t target;   // each case starts from target 0, mask HASH, level Fine
    uint64_t mask;
    const char *level;
  } cases[] = {
      {"<trace device=\"screen\"/>", QM_SUCCESS, 1, QM_TRACE_HASH, "Fine"},
      {"<trace mask='RTK' level='Coarse' device='terminal'/>", QM_SUCCESS, 1, QM_TRACE_RTK, "Coarse"},
      {"<trace mask=\"RTK,BOGUS\" level=\"Coarse\"/>", QM_ERR_IVLOGLVL, 0, QM_TRACE_HASH, "Coarse"},
      {"<trace device=\"printer\" mask=\"RTK\" level=\"Medium\"/>", QM_ERR_IVLOGDEV, 0, QM_TRACE_HASH, "Medium"},
      {"<trace level=\"verbose\" mask=\"RTK\" device=\"screen\"/>", QM_ERR_IVLOGLVL, 0, QM_TRACE_HASH, "Fine"},
      {"<trace mask=\"\"/>", QM_SUCCESS, 0, 0, "Fine"},
  };
  for (const auto &c : cases) {
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

TEST(TraceCommand, ReplyNamesTargetsAndIsCutAtTheBufferSize) {
  TRACE_Set(0);
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  char cmd[128] = "<trace level='coarse'/>";
  ASSERT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(cmd, "<trace device=\"file\" mask=\"\" level=\"Coarse\" program=\"\"/>");
  LOG_SetTarget(2);   // any target but 0 is named "terminal"
  rtktest::GuardedBuffer small(20);
  STR_copy(small.data(), "<trace/>", 20);
  EXPECT_EQ(TRACE_Parse_Common(small.data(), 20), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(small.data(), "<trace device=\"term");
  EXPECT_TRUE(small.Intact());
  TRACE_SetLevelByStr("Fine");
  LOG_SetTarget(QM_LOG_TARGET_SCREEN);
}

}  // namespace

// The trace: mask texts both ways, levels, the program filter, plain lines
// with their indentation, XML records, and the trace command.
#include "log_capture.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using Lines = std::vector<std::string>;
// LoggingTest's defaults before each test, and the target, level and program
// put back after it.
struct Trace : rtktest::LoggingTest {
  void TearDown() override {
    LOG_SetTarget(QM_LOG_TARGET_SCREEN);
    TRACE_SetLevelByStr("Fine");
    TRACE_SetProgram(nullptr);
    LoggingTest::TearDown();
  }
};

uint64_t Mask() {
  uint64_t m = 0;
  TRACE_Get(&m);
  return m;
}

TEST_F(Trace, MaskTextParsesNamesSeparatorsAndAll) {
  constexpr uint64_t kOld = QM_TRACE_HASH;   // the mask before each case
  const struct { const char *text; int32_t rc; uint64_t mask; } cases[] = {
      {"RTK", QM_SUCCESS, 0x0040000000000000ull},
      {"err,RTK|file", QM_SUCCESS, QM_TRACE_ERR | QM_TRACE_RTK | QM_TRACE_FILE},
      {"RTK|FILE,ERR", QM_ERR_IVLOGLVL, kOld},   // 'RTK|FILE' is one token
      {",RTK", QM_SUCCESS, QM_TRACE_RTK},          {"", QM_SUCCESS, 0},
      {"RTK, FILE", QM_ERR_IVLOGLVL, kOld},        {"!RTK", QM_ERR_IVLOGLVL, kOld},
      {"all", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull},  {"ALL,DEBUG1", QM_SUCCESS, ~0ull},
      {"DEBUG1,all", QM_SUCCESS, 0xFFFFFFFFFFFFFFFDull}, {"vftest", QM_SUCCESS, 1ull << 52},
      {"RTKRTKRTKRTKRTKRTKRTKRTKRTKRTK", QM_ERR_IVLOGLVL, kOld}, {nullptr, QM_ERR_NULLPARAM, kOld}};
  for (const auto &c : cases) {
    TRACE_Set(kOld);
    EXPECT_EQ(TRACE_SetByStr(c.text), c.rc) << (c.text ? c.text : "(null)");
    EXPECT_EQ(Mask(), c.mask) << (c.text ? c.text : "(null)");
  }
}

TEST_F(Trace, MaskTextWritesNamesInRowOrderWithinTheBuffer) {
  // Names are cut like snprintf, writing stops once 9 bytes or fewer are
  // left, and nothing lands outside the buffer (size 0: nothing at all).
  const auto text = [](uint64_t mask, int32_t size) {
    rtktest::GuardedBuffer buf(size ? static_cast<size_t>(size) : 1, 'z');
    TRACE_mask2str(mask, buf.data(), size);
    EXPECT_TRUE(buf.Intact()) << size;
    return size ? std::string(buf.data()) : std::string(1, buf.data()[0]);
  };
  constexpr uint64_t kTwo = QM_TRACE_BASIC | QM_TRACE_SYS;
  const struct { uint64_t mask; int32_t size; const char *text; } cases[] = {
      {QM_TRACE_FILE | QM_TRACE_RTK | QM_TRACE_BASIC, 256, "BASIC,FILE,RTK"}, {1ull << 52, 256, "VFTEST,VFTEST"},
      {(1ull << 43) | (0x1FFull << 55), 256, ""}, {kTwo, 1, ""}, {kTwo, 5, "BASI"}, {kTwo, 14, "BASIC"},
      {kTwo, 15, "BASIC,SYS"}, {QM_TRACE_BASIC, 0, "z"}};
  for (const auto &c : cases) EXPECT_EQ(text(c.mask, c.size), c.text) << c.size;
  const std::string all = text(QM_TRACE_ALL, 256);
  EXPECT_EQ(all.size(), 250u);
  EXPECT_EQ(all.substr(0, 15) + all.substr(all.size() - 11), "BASIC,SYS,HOOK,,TABULATION");
}

TEST_F(Trace, LevelsProgramAndLogOn) {
  const struct { const char *name; int32_t rc; const char *level; } cases[] = {
      {"coarse", QM_SUCCESS, "Coarse"}, {"MEDIUM", QM_SUCCESS, "Medium"}, {"Fine", QM_SUCCESS, "Fine"},
      {"Verbose", QM_ERR_IVLOGLVL, "Fine"}, {"", QM_ERR_IVLOGLVL, "Fine"}, {nullptr, QM_ERR_IVLOGLVL, "Fine"}};
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
}

TEST_F(Trace, LevelProgramAndMaskDecideWhatIsWritten) {
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
  for (const char *program : {"RT", "rtkx", ""}) {
    TRACE_SetProgram(program);
    TRACE_LogFine(QM_TRACE_RTK, "filter %s\n", program);
  }
  TRACE_SetByStr("all");   // the name is the first row of the line's mask
  TRACE_LogFine(QM_TRACE_ALL, "a\n");
  TRACE_LogFine(QM_TRACE_RTK | QM_TRACE_FILE, "b\n");
  TRACE_LogFine((1ull << 52) | QM_TRACE_SYSPROTECT, "c\n");
  TRACE_LogFine(1ull << 43, "d\n");
  EXPECT_EQ(CapturedTexts(), (Lines{"RTK coarse\n", "RTK level 2\n", "RTK filter RT\n", "RTK filter \n", "BASIC a\n",
                                    "FILE b\n", "VFTEST c\n", "??err?? d\n"}));
}

TEST_F(Trace, EntryAndExitLinesNestAndTheDepthStaysWithin0To20) {
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

TEST_F(Trace, XmlRecordsKeepTheDepthAndFlattenTheFirstLineFeed) {
  TRACE_Set(QM_TRACE_RTK);
  TRACE_SetMode(1);
  rtktest::StdoutCapture raw;
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
// settings again; the reply names target 0 "file", any other "terminal",
// and is cut at the buffer size.
TEST_F(Trace, CommandReplyRoundTripsTheSettingsAndIsCut) {
  TRACE_Set(QM_TRACE_RTK | QM_TRACE_FILE | QM_TRACE_ERR);
  char cmd[512] = "<trace level=\"medium\" program=\"rt\" mode=\"plain\"/>";
  ASSERT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_INFO_XMLRESPONSE);
  const std::string reply = cmd;
  EXPECT_EQ(reply, "<trace device=\"terminal\" mask=\"ERR,FILE,RTK\" level=\"Medium\" program=\"rt\"/>");
  TRACE_Set(0);
  TRACE_SetLevelByStr("Coarse");
  TRACE_SetProgram("other");
  LOG_SetTarget(QM_LOG_TARGET_FILE);
  char probe[128] = "<trace/>";
  ASSERT_EQ(TRACE_Parse_Common(probe, sizeof probe), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(probe, "<trace device=\"file\" mask=\"\" level=\"Coarse\" program=\"other\"/>");
  EXPECT_EQ(TRACE_Parse_Common(cmd, sizeof cmd), QM_SUCCESS);
  char again[512] = "<trace/>";
  ASSERT_EQ(TRACE_Parse_Common(again, sizeof again), QM_INFO_XMLRESPONSE);
  EXPECT_EQ(std::string(again), reply);
  LOG_SetTarget(2);
  rtktest::GuardedBuffer small(20);
  STR_copy(small.data(), "<trace/>", 20);
  EXPECT_EQ(TRACE_Parse_Common(small.data(), 20), QM_INFO_XMLRESPONSE);
  EXPECT_STREQ(small.data(), "<trace device=\"term");
  EXPECT_TRUE(small.Intact());
  EXPECT_EQ(TRACE_Parse_Common(nullptr, 10), QM_ERR_NULLPARAM);
}

TEST_F(Trace, CommandAppliesLevelThenDeviceThenMask) {
  // Each case starts from target 0, mask HASH, level Fine.
  const struct { const char *cmd; int32_t rc; int32_t target; uint64_t mask; const char *level; } cases[] = {
      {"<trace device=\"screen\"/>", QM_SUCCESS, 1, QM_TRACE_HASH, "Fine"},
      {"<trace mask='RTK' level='Coarse' device='terminal'/>", QM_SUCCESS, 1, QM_TRACE_RTK, "Coarse"},
      {"<trace mask=\"RTK,BOGUS\" level=\"Coarse\"/>", QM_ERR_IVLOGLVL, 0, QM_TRACE_HASH, "Coarse"},
      {"<trace device=\"printer\" mask=\"RTK\" level=\"Medium\"/>", QM_ERR_IVLOGDEV, 0, QM_TRACE_HASH, "Medium"},
      {"<trace level=\"verbose\" mask=\"RTK\" device=\"screen\"/>", QM_ERR_IVLOGLVL, 0, QM_TRACE_HASH, "Fine"},
      {"<trace mask=\"\"/>", QM_SUCCESS, 0, 0, "Fine"}};
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
}

}  // namespace

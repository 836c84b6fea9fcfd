// The trace: mask texts both ways, levels, the program filter, plain lines
// with their indentation, entry and exit lines, XML records, the trace
// command, and the exit-handler list with its rundown.
#include <unistd.h>

#include <regex>
#include <utility>

#include "log_capture.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmstr.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using Lines = std::vector<std::string>;
using Trace = rtktest::LoggingTest;

TEST_F(Trace, MaskTextsBothWaysLevelsProgramAndLogOn) {
  constexpr uint64_t kOld = QM_TRACE_HASH, kAll = 0xFFFFFFFFFFFFFFFDull;  // kOld: the mask before each case
  const struct { const char *text; int32_t rc; uint64_t mask; } masks[] = {
      {"RTK", 0, 0x0040000000000000ull}, {"err,RTK|file", 0, QM_TRACE_ERR | QM_TRACE_RTK | QM_TRACE_FILE}, {",RTK,,", 0, QM_TRACE_RTK},
      {"RTK|FILE,ERR", QM_ERR_IVLOGLVL, kOld}, {"", 0, 0}, {"RTK, FILE", QM_ERR_IVLOGLVL, kOld}, {"!RTK", QM_ERR_IVLOGLVL, kOld},
      {"all", 0, kAll}, {"ALL,DEBUG1", 0, ~0ull}, {"DEBUG1,all", 0, kAll}, {"vftest", 0, 1ull << 52},
      {"RTKRTKRTKRTKRTKRTKRTKRTKRTKRTK", QM_ERR_IVLOGLVL, kOld}, {nullptr, QM_ERR_NULLPARAM, kOld}};
  for (const auto &c : masks) {
    uint64_t mask = (TRACE_Set(kOld), 0);
    EXPECT_EQ((std::tuple{TRACE_SetByStr(c.text), (TRACE_Get(&mask), mask)}), std::tuple(c.rc, c.mask)) << (c.text ? c.text : "(null)");
  }
  // Names are cut like snprintf, writing stops once 9 bytes or fewer are
  // left, and nothing lands outside the buffer (size 0: nothing at all).
  constexpr uint64_t kTwo = QM_TRACE_BASIC | QM_TRACE_SYS;
  const struct { uint64_t mask; int32_t size; const char *text; } texts[] = {
      {QM_TRACE_FILE | QM_TRACE_RTK | QM_TRACE_BASIC, 256, "BASIC,FILE,RTK"}, {1ull << 52, 256, "VFTEST,VFTEST"},
      {(1ull << 43) | (0x1FFull << 55), 256, ""}, {kTwo, 1, ""}, {kTwo, 5, "BASI"}, {kTwo, 14, "BASIC"}, {kTwo, 15, "BASIC,SYS"},
      {QM_TRACE_BASIC, 0, "z"}, {kAll, 64, "BASIC,SYS,HOOK,HOOK_IO,QMA,REPLQ,REPLT,REPLK,REPLD,LOG,EXEC"}};
  for (const auto &c : texts) {
    rtktest::GuardedBuffer buf(c.size ? static_cast<size_t>(c.size) : 1, 'z');
    TRACE_mask2str(c.mask, buf.data(), c.size);
    EXPECT_EQ((c.size ? std::string(buf.data()) : std::string(1, buf.data()[0])) + (buf.Intact() ? "" : " and past it"), c.text);
  }
  // Other level names: the trace command's cases.
  EXPECT_EQ((std::tuple{TRACE_SetLevelByStr(nullptr), (TRACE_SetProgram("abcdefghijklmnopqrst"), std::string(TRACE_GetProgram()))}),
            std::tuple(QM_ERR_IVLOGLVL, "abcdefghijklmno"));
  EXPECT_TRUE((TRACE_Set(QM_TRACE_RTK), LogOn(QM_TRACE_RTK | QM_TRACE_FILE)) && !LogOn(QM_TRACE_FILE));
  EXPECT_TRUE((TRACE_AddBit(QM_TRACE_FILE), LogOn(QM_TRACE_FILE)) && LogOn(QM_TRACE_RTK));
}

TEST_F(Trace, LevelProgramAndMaskDecideWhatIsWrittenAndEntriesNest) {
  TRACE_Set(QM_TRACE_RTK), TRACE_SetLevelByStr("Coarse");
  TRACE_LogFine(QM_TRACE_RTK, "fine\n"), TRACE_LogMedium(QM_TRACE_RTK, "medium\n");
  qmenter(QM_TRACE_RTK, "f", "entry\n");  // Medium: dropped, the depth stays 0
  TRACE_LogCoarse(QM_TRACE_RTK, "coarse\n"), TRACE_SetLevelByStr("Fine");
  TRACE_LogL(QM_TRACE_RTK, 3, "level 3\n"), TRACE_LogL(QM_TRACE_RTK, 2, "level 2\n"), TRACE_LogFine(QM_TRACE_FILE, "other bit\n");
  for (const char *program : {"RT", "rtkx", ""}) TRACE_SetProgram(program), TRACE_LogFine(QM_TRACE_RTK, "filter %s\n", program);
  TRACE_SetByStr("all");  // the name is the first row of the line's mask
  TRACE_LogFine(QM_TRACE_ALL, "a\n"), TRACE_LogFine((1ull << 52) | QM_TRACE_SYSPROTECT, "c\n"), TRACE_LogFine(1ull << 43, "d\n");
  TRACE_Set(QM_TRACE_RTK);
  qmenter(QM_TRACE_RTK, "RTK_UninstallDriver", " mode: %d\n", 0), TRACE_LogFine(QM_TRACE_RTK, "inside\n");
  qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 0), qmexitn(QM_TRACE_RTK, "RTK_UninstallDriver", 1);  // at depth 0: stays there
  for (int32_t rc : std::initializer_list<int32_t>{QM_ERR_NOMEM, 5006, QM_SUCCESS}) qmexit(QM_TRACE_RTK, "x", rc);
  for (const char *text : {"", static_cast<const char *>(nullptr)}) qmexits(QM_TRACE_RTK, "x", text);
  qmexitn(QM_TRACE_RTK, "x", -1), qmexitp(QM_TRACE_RTK, "x", nullptr), qmexit(QM_TRACE_FILE, "x", 0);  // FILE: not traced
  Lines expected = {"RTK coarse\n", "RTK level 2\n", "RTK filter RT\n", "RTK filter \n", "BASIC a\n", "VFTEST c\n", "??err?? d\n",
                    "RTK RTK_UninstallDriver  mode: 0\n", " RTK inside\n", "RTK RTK_UninstallDriver Result:0 (0x0)\n",
                    "RTK RTK_UninstallDriver Result:1 (0x1)\n", "RTK x Result:5001 NOMEM\n", "RTK x Result:5006 WEIRD\n",
                    "RTK x Result:0 SUCCESS\n", "RTK x Result:[]\n", "RTK x Result:[[null]]\n", "RTK x Result:-1 (0xffffffff)\n",
                    "RTK x Result:(nil)\n"};
  for (int i = 0; i < 21; ++i) {  // written at depth i; depth 20 has no blanks, and the depth stops there
    qmenter(QM_TRACE_RTK, "f", "%d\n", i);
    expected.push_back(std::string(i < 20 ? static_cast<size_t>(i) : 0, ' ') + "RTK f " + std::to_string(i) + "\n");
  }
  for (int i = 0; i < 20; ++i) {
    qmexitb(QM_TRACE_RTK, "f", i);
    expected.push_back(std::string(static_cast<size_t>(19 - i), ' ') + "RTK f Result:" + std::to_string(i) + (i ? " TRUE\n" : " FALSE\n"));
  }
  qmenter(QM_TRACE_RTK, "a", "\n"), qmenter(QM_TRACE_RTK, "Hook_x", "\n");  // a "hook_" entry restarts at depth 0, leaves 1
  TRACE_LogFine(QM_TRACE_RTK, "in hook\n"), qmexitn(QM_TRACE_RTK, "hook_x", 0);  // so does its exit, which leaves 0
  TRACE_Set(0), qmenter(QM_TRACE_RTK, "untraced", "\n"), TRACE_Set(QM_TRACE_RTK);  // changes nothing
  TRACE_LogFine(QM_TRACE_RTK, "out\n");
  expected.insert(expected.end(), {"RTK a \n", "RTK Hook_x \n", " RTK in hook\n", "RTK hook_x Result:0 (0x0)\n", "RTK out\n"});
  EXPECT_EQ(CapturedTexts(), expected);
}

TEST_F(Trace, XmlRecordsKeepTheDepthAndFlattenTheFirstLineFeed) {
  TRACE_Set(QM_TRACE_RTK), TRACE_SetMode(1);
  rtktest::StdoutCapture raw;  // a record may hold line feeds
  qmenter(QM_TRACE_RTK, "f", "\n"), qmexitn(QM_TRACE_RTK, "f", 0);
  TRACE_LogFine(QM_TRACE_RTK, "a\nb\n"), TRACE_LogFine(QM_TRACE_RTK, "%s\n", "x\"<&>\ny");
  EXPECT_EQ(std::regex_replace(raw.Finish(), std::regex(std::to_string(getpid()) + " [0-9]+: "), ""),
            "<trace code=\"RTK\" func=\"f\" msg=\" \"/>\n<trace code=\"RTK\" func=\"f\" msg=\"Result:0 (0x0) \"/>\n"
            "<trace code=\"RTK\" msg=\"a b\n\"/>\n<trace code=\"RTK\" msg=\"x\"<&>\ny \"/>\n");
  TRACE_SetMode(0), TRACE_LogFine(QM_TRACE_RTK, "plain\n");
  EXPECT_EQ(CapturedTexts(), Lines{"RTK plain\n"});  // the XML entry left the depth at 0
}

// The settings as a trace command shows them.
std::string Reply(const char *device, const char *mask, const char *level, const std::string &program = "") {
  return std::string("<trace device=\"") + device + "\" mask=\"" + mask + "\" level=\"" + level + "\" program=\"" + program + "\"/>";
}

// Each command starts from log target `from`, mask HASH, level Fine and no
// program filter. A command without mask and device is answered in its own
// buffer, cut at its size; otherwise the settings it left are asked for. The
// reply names target 0 "file" and any other "terminal", and writes the
// program filter as one attribute value (quotes and markup as entities), so
// that a reply fed back sets the same settings.
TEST_F(Trace, CommandAppliesLevelProgramDeviceThenMaskAndAnswers) {
  const std::string h = "r&quot;&lt;/&gt;&apos;";  // a program filter of quotes and markup
  const struct { int32_t from; std::string cmd; int32_t size, rc; std::string settings; } cases[] = {
      {2, "<trace/>", 512, QM_INFO_XMLRESPONSE, Reply("terminal", "HASH", "Fine")},
      {1, "<trace/>", 20, QM_INFO_XMLRESPONSE, "<trace device=\"term"},
      {0, "<trace level=\"medium\" program=\"" + h + "\" mode=\"plain\"/>", 512, QM_INFO_XMLRESPONSE, Reply("file", "HASH", "Medium", h)},
      {0, Reply("terminal", "ERR,FILE,RTK", "Medium", h), 512, 0, Reply("terminal", "ERR,FILE,RTK", "Medium", h)},
      {0, "<trace device=\"screen\"/>", 512, 0, Reply("terminal", "HASH", "Fine")},
      {1, "<trace mask='RTK' level='Coarse' device='FILE'/>", 512, 0, Reply("file", "RTK", "Coarse")},
      {0, "<trace mask=\"RTK,BOGUS\" level=\"Coarse\"/>", 512, QM_ERR_IVLOGLVL, Reply("file", "HASH", "Coarse")},
      {0, "<trace device=\"files\" mask=\"RTK\" level=\"Medium\"/>", 512, QM_ERR_IVLOGDEV, Reply("file", "HASH", "Medium")},
      {0, "<trace level=\"verbose\" mask=\"RTK\" device=\"screen\"/>", 512, QM_ERR_IVLOGLVL, Reply("file", "HASH", "Fine")},
      {0, "<trace mask=\"\"/>", 512, 0, Reply("file", "", "Fine")}};
  for (const auto &c : cases) {
    LOG_SetTarget(c.from), TRACE_Set(QM_TRACE_HASH), TRACE_SetLevelByStr("Fine"), TRACE_SetProgram(nullptr);
    rtktest::GuardedBuffer cmd(static_cast<size_t>(c.size));
    EXPECT_EQ(TRACE_Parse_Common(STR_copy(cmd.data(), c.cmd.c_str(), c.size), c.size), c.rc) << c.cmd;
    char probe[256] = "<trace/>";
    EXPECT_EQ(c.rc == QM_INFO_XMLRESPONSE ? cmd.data() : (TRACE_Parse_Common(probe, sizeof probe), probe), c.settings) << c.cmd;
    EXPECT_TRUE(cmd.Intact()) << c.cmd;
  }
  EXPECT_EQ(TRACE_Parse_Common(nullptr, 10) + TRACE_getXmlTraceCommand(nullptr, 10), 2 * QM_ERR_NULLPARAM);
}

// Handlers record the order in which the rundown calls them.
std::vector<int> g_calls;
template <int N>
void Handler() { g_calls.push_back(N); }
template <int... N>
std::vector<QMEXIT_Handler> HandlerTable(std::integer_sequence<int, N...>) { return {&Handler<N + 10>...}; }

// Registration, duplicates, the rundown's order and trace, and the full
// list, in a fresh run of the program: the list lives for the whole process
// (nothing is registered in it yet), and the rundown also runs the library's
// own handlers.
FRESH_TEST(ExitHandlers, RunNewestFirstAndTheListHoldsAHundred) {
  EXPECT_EQ((std::vector<int32_t>{qmexit_register(&Handler<1>, "first"), qmexit_register(&Handler<2>, "second"),
                                  qmexit_register(&Handler<1>, "renamed"), qmexit_register(nullptr, "null"),
                                  qmexit_register(&Handler<3>, "a name longer than thirty-one characters")}),
            (std::vector<int32_t>{0, 0, 0, -1, 0}));
  TRACE_Set(QM_TRACE_QML);
  const std::string calling = "QML qmexit_rundown calling (", next = "QML qmexit_rundown next is ";
  const auto Ptr = [](QMEXIT_Handler f) { char t[32]; std::snprintf(t, 32, "%p", reinterpret_cast<void *>(f)); return std::string(t); };
  EXPECT_EQ(rtktest::LoggedTexts(qmexit_rundown),
            (Lines{calling + "2) " + Ptr(&Handler<3>) + " a name longer than thirty-one c", next + Ptr(&Handler<2>) + " second",
                   calling + "1) " + Ptr(&Handler<2>) + " second", next + Ptr(&Handler<1>) + " first",
                   calling + "0) " + Ptr(&Handler<1>) + " first", "QML qmexit_rundown finished."}));
  EXPECT_EQ(g_calls, (std::vector<int>{3, 2, 1}));
  int accepted = 0;  // exactly the free slots accept a new handler
  for (QMEXIT_Handler f : HandlerTable(std::make_integer_sequence<int, 100>())) accepted += qmexit_register(f, "more") == 0;
  EXPECT_EQ((std::tuple{accepted, qmexit_register(&Handler<1>, "again")}), std::tuple(97, 0));  // Handler<1> is still registered
  g_calls.clear();
  TRACE_Set(0);
  qmexit_rundown();
  EXPECT_EQ(g_calls.size() == 100 ? g_calls.front() : -1, 9 + 97);
}

}  // namespace

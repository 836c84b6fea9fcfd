// The result-code catalogue: lookups by code and by name, the printf-ready
// texts, the disabled flag, the messages file and announcements. A test that
// changes the catalogue runs in a fresh run of the program.
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>

#include "log_capture.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"
#include "qmmem.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using rtktest::Logged;
using Lines = std::vector<std::string>;

// Whether a code has a row of its own (every other code reads WEIRD's).
bool InTable(int32_t code) { return code == QM_ERR_WEIRD || std::strcmp(QMERR_err2mnemonic(code), "WEIRD") != 0; }

int32_t Integrate(std::string text) { return QMERR_Integrate(text.data()); }

std::string Element(int32_t code, const std::string &body) { return "<Message val=\"" + std::to_string(code) + "\"><MsgText>" + body + "</MsgText></Message>"; }

// Integrates one element and answers the code's text afterwards ("failed" when refused).
std::string Set(int32_t code, const std::string &body) { return Integrate(Element(code, body)) == QM_SUCCESS ? QMERR_err2str(code) : "failed"; }

// Every mnemonic finds its row in any case and behind any one prefix, which
// also shows that no two mnemonics differ only in case; names match whole.
TEST(Catalogue, LookupsByCodeAndByName) {
  for (int32_t code : {5006, 5007, 5020, 5021, 5029, 5048, 5085, 5102, 5104, 6034, -1, INT32_MIN, INT32_MAX})
    EXPECT_EQ(QMERR_err2mnemonic(code) + std::to_string(QMERR_getSeverity(code)), "WEIRD1") << code;
  for (int32_t code = 0; code <= QM_ERR_WEIRD; ++code) {
    std::string m = QMERR_err2mnemonic(code), low = m;
    std::transform(m.begin(), m.end(), low.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const std::string &name : {m, low, "QM_ERR_" + m, "qm_info_" + m, "Qm_Panic_" + m, "QM_WARN_" + low})
      EXPECT_EQ(InTable(code) ? QMERR_str2err(name.c_str()) : code, code) << name;
  }
  for (const char *name : {"QM_ERR_", "", "5001", "NOMEM ", " NOMEM", "NOME", "QM_ERR_QM_INFO_xyz"}) EXPECT_EQ(QMERR_str2err(name), 100000);
}

// Every text is a printf format whose conversions are those of its markers
// (DRIVERQ alone brings its own "%x"), also when the heap logs while the
// conversion allocates (here: a damaged block that the checks of debug level
// 1 report) and the error hook then asks for a text on the same thread: that
// call comes back. The exit handler "err" then releases the converted
// copies, and their rows read "(msg deleted)".
FRESH_TEST(CatalogueTexts, ConvertedOnceWhileAHookAsksAndReleasedByTheExitHandler) {
  alarm(10);  // a thread waiting for itself ends the run
  static int hookCalls = 0;
  qmlog_errStat = [](uint32_t, const char *, const char *, va_list) { return QMERR_err2str(QM_ERR_ALLOC), ++hookCalls, 0; };
  qmmem_setDbg(1);
  static_cast<char *>(MEM_malloc(8, 16, "test"))[16] = 'x';  // one byte past the block
  Logged([] { QMERR_err2str(QM_INFO_MSGREPEAT); });
  qmlog_errStat = nullptr, qmmem_setDbg(0);  // the checks at every allocation are slow
  EXPECT_GT(hookCalls, 0);
  std::map<int32_t, std::string> before;
  const std::regex foreign("%(?!s|d|Ld)|<var");
  for (int32_t code = 0; code <= QM_ERR_WEIRD; ++code) {
    const std::string text = InTable(code) ? before[code] = QMERR_err2str(code) : "";
    EXPECT_FALSE(code != QM_ERR_DRIVERQ && std::regex_search(text, foreign)) << text;
  }
  EXPECT_STREQ(QMERR_err2str(QM_ERR_DRIVERQ), "Data (0x%x) sent to driver does not match any addresses in queue.");
  qmexit_rundown();
  for (const auto &[code, text] : before)
    EXPECT_EQ(QMERR_err2str(code), text.find('%') != std::string::npos && code != QM_ERR_DRIVERQ ? "(msg deleted)" : text) << code;
}

// Without heap memory for the copies the rows keep their built-in texts,
// whose markers hold no '%', and the texts left unconverted are logged; a
// messages-file text that finds no memory is refused.
TEST(CatalogueTexts, NoHeapMemoryKeepsTheBuiltInTexts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit cannot be set under a sanitizer";
#endif
  rtktest::InFreshProcess([] {
    EXPECT_NE(Logged([] {
      std::string big = Element(QM_ERR_IOERR, std::string(1 << 20, 'a'));
      long pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlimit small{static_cast<rlim_t>(pages) * 4096 + (256 << 10), static_cast<rlim_t>(pages) * 4096 + (256 << 10)};
      ASSERT_EQ(setrlimit(RLIMIT_AS, &small), 0);
      EXPECT_STREQ(QMERR_err2str(QM_INFO_MSGREPEAT), "Last message repeated <var type=\"int32\"/> times.");
      EXPECT_EQ(QMERR_Integrate(big.data()), QM_ERR_NOMEM);
    }).find("qmerror convert failed:Last message repeated <var"), std::string::npos);
  });
}

FRESH_TEST(MessagesFile, ReplacesCleansAndKeepsTextsAlreadySet) {
  std::string twice = Element(QM_ERR_NOMEM, "Out of memory") + "\n<Message val='5053'><MsgText>No file</MsgText></Message>";
  EXPECT_STREQ(Integrate(twice) ? "failed" : QMERR_err2str(QM_ERR_NOENT), "No file");
  const char *nomem = QMERR_err2str(QM_ERR_NOMEM);
  // NOMEM, already set, is not replaced; a second time, the val attributes are used up.
  EXPECT_EQ((std::tuple{QMERR_Integrate(twice.data()), QMERR_err2str(QM_ERR_NOMEM), QMERR_Integrate(twice.data())}),
            std::tuple(QM_SUCCESS, nomem, QM_ERR_IVVALUE));
  const struct { int32_t code; const char *body, *expected; } cleaning[] = {
      {4242, "Unknown", "Unknown"},  // the WEIRD row
      {QM_ERR_BAD_IOCTL, "  A &amp;lt; B  ", "A &lt; B"}, {QM_ERR_ITEMNF, "Line one\\nLine two", "Line one \nLine two"},
      {QM_ERR_OVERFLOW, "a\tb\r\nc <var type=\"string\"/> <var type=\"int64\"/>", "a b  c %s %Ld"},
      {QM_ERR_PERM, "&lt;b&gt; &amp; <var type=\"float\"/>", "<b> & <var type=\"float\"/>"}};
  for (const auto &c : cleaning) EXPECT_EQ(Set(c.code, c.body), c.expected);
  // A row first gets text `now`, then `next` is offered: blanks of the
  // current text may be missing and the new text may stop early, but added
  // blanks or other characters replace it; a line feed after a word is no blank.
  const struct { const char *now, *next, *after; } offers[] = {
      {"A B", "AB", "A B"}, {"AB", "A B", "A B"}, {"one two", "one", "one two"}, {"one", "one two", "one two"}, {"AB", "AB\\n", "AB"},
      {"AB", "   ", "AB"}, {"AB", "Ab", "Ab"}, {"A B", "A  B", "A B"}, {"AB", "ABC", "ABC"}};
  for (const auto &c : offers)  // a braced list runs the integrations in order
    EXPECT_EQ((Lines{Set(QM_ERR_IOERR, "reset"), Set(QM_ERR_IOERR, c.now), Set(QM_ERR_IOERR, c.next)}).back(), c.after) << c.now;
  const std::string wait = "Quillmar is waiting for the network to become available.", builtin = QMERR_err2str(QM_INFO_NETWORKWAIT);
  EXPECT_EQ((Lines{Set(QM_INFO_NETWORKWAIT, wait), Set(QM_INFO_NETWORKWAIT, wait + " Re")}), (Lines{builtin, wait + " Re"}));
}

FRESH_TEST(MessagesFile, DisabledFlagsFailuresAndTheExitHandler) {
  const std::string trace = Logged([] {  // 5006 sets the WEIRD row, which every code without a row reads
    TRACE_Set(QM_TRACE_ERR), QMERR_setDisabled(QM_ERR_DRVROPEN, 7), QMERR_setDisabled(5006, 1), TRACE_Set(0);
  });
  EXPECT_TRUE(std::regex_search(trace, std::regex(": ERR QMERR_setDisbled: err:5006 idx:[0-9]+ to disabled:1\n"))) << trace;
  EXPECT_EQ(QMERR_getDisabled(QM_ERR_DRVROPEN) * 10 + QMERR_getDisabled(4242), 71);
  const std::pair<std::string, int32_t> integrations[] = {
      {"<Message val='5001' disabled><MsgText>x</MsgText></Message>", QM_SUCCESS},
      {"<Message val=5002 disabled='no'><MsgText>y</MsgText></Message>", QM_SUCCESS},
      {"<Message val=5045 disabled></Message>", QM_ERR_IVSYNTAX},  // the flag is set all the same
      {"<Messages>" + Element(QM_ERR_IOERR, "a") + "</Messages>", QM_ERR_IVKEYWORD},
      {"<Message val='999990'><MsgText>a</MsgText></Message>", QM_ERR_IVVALUE},
      {"<Message val='5052'></MsgText>a<MsgText>", QM_ERR_IVSYNTAX},  // closing tag first: refused
      {"<Message val='5052'><MsgText>a", QM_ERR_IVSYNTAX}, {"<Message val='5052'>a</MsgText>", QM_ERR_IVSYNTAX}};
  for (const auto &[text, rc] : integrations) EXPECT_EQ(Integrate(text), rc) << text;
  EXPECT_EQ((std::tuple{QMERR_getDisabled(QM_ERR_NOMEM) + QMERR_getDisabled(QM_ERR_INTRPTD) + QMERR_getDisabled(QM_ERR_DRVRREAD),
                        QMERR_err2str(QM_ERR_NOMEM) + Logged([] { QMERR_Announce(QM_ERR_NOMEM); })}), std::tuple(3, "x"));  // disabled: silent
  EXPECT_EQ((std::tuple{Integrate("<Message val='5001' enabled><MsgText>x</MsgText></Message>"), QMERR_getDisabled(QM_ERR_NOMEM),
                        std::string(QMERR_err2str(QM_ERR_IOERR))}), std::tuple(QM_SUCCESS, 0, "Error doing file I/O"));
  std::string out = Logged([] {
    EXPECT_EQ(Integrate(Element(QM_ERR_IOERR, "one") + "<MessageBox/>" + Element(QM_ERR_NOENT, "two")), QM_ERR_IVKEYWORD);
  });
  EXPECT_NE(out.find("Quillmar ERROR QMERR_Integrate, err: Unknown XML command for [<MessageBox/>]\n"), std::string::npos) << out;
  EXPECT_EQ((Lines{QMERR_err2str(QM_ERR_IOERR), QMERR_err2str(QM_ERR_NOENT)}), (Lines{"one", "File (or path) does not exist"}));
  qmexit_rundown();  // texts that were replaced go back to what they were before, and may be replaced again
  EXPECT_EQ((Lines{QMERR_err2str(QM_ERR_IOERR), Set(QM_ERR_IOERR, "c")}), (Lines{"Error doing file I/O", "c"}));
}

// The log's repeat notice is MSGREPEAT's current text filled with the count,
// before the texts are converted and after, also while the row is disabled;
// a text that is no count format gives way to the built-in one.
FRESH_TEST(MessagesFile, RepeatNoticeTakesTheCurrentText) {
  const struct { const char *body; bool convertFirst; const char *notice; } cases[] = {  // body null: the text stays
      {nullptr, false, "Last message repeated 2 times."}, {"Again <var type=\"int32\"/> times", false, "Again 2 times"},
      {"Once more <var type=\"int32\"/>", true, "Once more 2"}, {"<var type=\"string\"/> again", true, "Last message repeated 2 times."}};
  QMERR_setDisabled(QM_INFO_MSGREPEAT, 1);
  for (const auto &c : cases) {
    ASSERT_EQ(c.body ? Integrate(Element(QM_INFO_MSGREPEAT, c.body)) : 0, QM_SUCCESS);
    if (c.convertFirst) QMERR_err2str(QM_ERR_NOMEM);
    const std::string out = Logged([&c] { for (int i = 0; i < 4; ++i) LOG_Log(QM_LOG_INFO, i < 3 ? "round %s\n" : "end %s\n", c.notice); });
    EXPECT_NE(out.find(std::to_string(getpid()) + " " + c.notice + "\n"), std::string::npos) << out;
  }
}

// Callers pass the arguments of a code's built-in text (ALLOC: %d, %s). A
// text from the messages file is announced only when its conversions take
// those arguments, or fewer; otherwise the built-in text is.
FRESH_TEST(Announce, LineShapesAndTextsThatDoNotFitTheCallersArguments) {
  const std::string next = std::to_string(getpid()) + " ", text506(506, 'y'), text511(511, 'z');
  ASSERT_EQ(Integrate(Element(QM_ERR_IOERR, text506) + Element(QM_ERR_NOENT, text511)), QM_SUCCESS);
  const std::string out = Logged([] {
    QMERR_Announce(QM_INFO_MSGREPEAT, 3), QMERR_Announce(QM_ERR_ALLOC, 65536, "CopyFile");
    for (int32_t code : std::initializer_list<int32_t>{QM_ERR_HTMLDAEMON, 5006, QM_INFO_SYNTAX3, QM_ERR_IOERR, QM_ERR_NOENT, QM_ERR_NOMEM}) QMERR_Announce(code);
  });
  for (const std::string &expected : {"Quillmar Info MSGREPEAT(6001):Last message repeated 3 times.\n" + next,
           "Quillmar ERROR ALLOC(6010):Memory allocation failed of 65536 bytes in function CopyFile.\n" + next,
           "HTMLDAEMON(6031):The HTML daemon did not start; consult system error log.\n" + next,
           "Quillmar ERROR WEIRD(5006):WEIRD ERROR\n" + next, "for example NOENT(5053)." + next,  // over 510: no line feed
           "IOERR(5052):" + text506.substr(0, 502) + "\n" + next, "NOENT(5053):" + text511 + next})
    EXPECT_NE(out.find(expected), std::string::npos) << expected;
  const std::string builtin = "Memory allocation failed of # bytes in function CopyFile.";
  const std::pair<const char *, std::string> cases[] = {
      {"Got <var type=\"int32\"/> in <var type=\"string\"/>", "Got # in CopyFile"}, {"%5d and %-9.4s|", "  # and Copy     |"},
      {"Only <var type=\"int32\"/>, 100%% sure", "Only #, 100% sure"}, {"%s%s%s%s%s%s%s%s%s%s%s%s%s%s", builtin},
      {"<var type=\"string\"/> <var type=\"int32\"/>", builtin},
      {"<var type=\"int64\"/> in <var type=\"string\"/>", builtin}, {"<var type=\"int32\"/>%n", builtin}, {"%*d", builtin},
      {"%1$d", builtin}, {"%d %s %d", builtin}, {"%", builtin}};
  int number = 100;  // each case its own, so that no line repeats another
  for (const auto &[text, shown] : cases) {
    ASSERT_EQ(Integrate(Element(QM_ERR_ALLOC, "reset")) | Integrate(Element(QM_ERR_ALLOC, text)), QM_SUCCESS);
    std::string line = "ALLOC(6010):" + shown + "\n";
    line.replace(line.find('#'), 1, std::to_string(number));
    EXPECT_NE(Logged([&number] { QMERR_Announce(QM_ERR_ALLOC, number++, "CopyFile"); }).find(line), std::string::npos) << text;
  }
}

}  // namespace

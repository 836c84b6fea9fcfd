// The messages file (replacing and disabling texts, cleaning, the "already
// set" rule, failures, the exit handler) and announcements. Every test
// changes the catalogue, so each runs in a fresh run of the program.
#include <unistd.h>

#include "errtest.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmlog.h"

namespace {

using errtest::InFreshProcess;
using rtktest::Logged;

// Integrates a messages text from a writable copy.
int32_t Integrate(std::string text) { return QMERR_Integrate(text.data()); }

std::string Element(int32_t code, const std::string &body) {
  return "<Message val=\"" + std::to_string(code) + "\"><MsgText>" + body + "</MsgText></Message>";
}

TEST(MessagesFile, ReplacesCleansAndKeepsTextsAlreadySet) {
  InFreshProcess([] {
    std::string twice = Element(QM_ERR_NOMEM, "Out of memory") + "\n<Message val='5053'><MsgText>No file</MsgText></Message>";
    ASSERT_EQ(Integrate(twice), QM_SUCCESS);
    const char *nomem = QMERR_err2str(QM_ERR_NOMEM);
    EXPECT_STREQ(QMERR_err2str(QM_ERR_NOENT), "No file");
    EXPECT_EQ(QMERR_Integrate(twice.data()), QM_SUCCESS);
    EXPECT_EQ(QMERR_err2str(QM_ERR_NOMEM), nomem);                 // already set: not replaced
    EXPECT_EQ(QMERR_Integrate(twice.data()), QM_ERR_IVVALUE);      // its val attributes are used up
    EXPECT_EQ(Integrate(Element(4242, "Unknown")), QM_SUCCESS);
    EXPECT_STREQ(QMERR_err2str(5006), "Unknown");
    const struct {
      int32_t code;
      const char *body, *expected;
    } cleaning[] = {
        {QM_ERR_BAD_IOCTL, "  A &amp;lt; B  ", "A &lt; B"},
        {QM_ERR_ITEMNF, "Line one\\nLine two", "Line one \nLine two"},
        {QM_ERR_OVERFLOW, "a\tb\r\nc <var type=\"string\"/> <var type=\"int64\"/>", "a b  c %s %Ld"},
        {QM_ERR_PERM, "&lt;b&gt; &amp; <var type=\"float\"/>", "<b> & <var type=\"float\"/>"},
    };
    for (const auto &c : cleaning) {
      EXPECT_EQ(Integrate(Element(c.code, c.body)), QM_SUCCESS) << c.body;
      EXPECT_STREQ(QMERR_err2str(c.code), c.expected) << c.body;
    }
  });
}

// A row first gets text `current`, then `next` is offered: blanks of the
// current text may be missing and the new text may stop early, but added
// blanks or other characters replace it; a line feed right after a word is
// no blank.
TEST(MessagesFile, AlreadySetRule) {
  InFreshProcess([] {
    const struct {
      const char *current, *next;
      bool replaced;
    } cases[] = {
        {"A B", "AB", false},       {"AB", "A B", true},    {"one two", "one", false}, {"one", "one two", true},
        {"AB", "AB\\n", false},     {"AB", "   ", false},   {"AB", "Ab", true},        {"A B", "A  B", false},
    };
    for (const auto &c : cases) {
      ASSERT_EQ(Integrate(Element(QM_ERR_IOERR, "reset")) | Integrate(Element(QM_ERR_IOERR, c.current)), QM_SUCCESS);
      const char *before = QMERR_err2str(QM_ERR_IOERR);
      EXPECT_EQ(Integrate(Element(QM_ERR_IOERR, c.next)), QM_SUCCESS);
      EXPECT_EQ(QMERR_err2str(QM_ERR_IOERR) != before, c.replaced) << c.current << " / " << c.next;
    }
    const char *wait = QMERR_err2str(QM_INFO_NETWORKWAIT);
    EXPECT_EQ(Integrate(Element(QM_INFO_NETWORKWAIT, "Quillmar is waiting for the network to become available.")), QM_SUCCESS);
    EXPECT_EQ(QMERR_err2str(QM_INFO_NETWORKWAIT), wait);
    EXPECT_EQ(Integrate(Element(QM_INFO_NETWORKWAIT, "Quillmar is waiting for the network to become available. Re")), QM_SUCCESS);
    EXPECT_NE(QMERR_err2str(QM_INFO_NETWORKWAIT), wait);
  });
}

TEST(MessagesFile, DisabledEnabledAndFailures) {
  InFreshProcess([] {
    EXPECT_EQ(Integrate("<Message val='5001' disabled><MsgText>x</MsgText></Message>"), QM_SUCCESS);
    EXPECT_EQ(Integrate("<Message val=5002 disabled='no'><MsgText>y</MsgText></Message>"), QM_SUCCESS);
    EXPECT_EQ(Integrate("<Message val=5003 disabled></Message>"), QM_ERR_IVSYNTAX);  // the flag is set all the same
    EXPECT_EQ(QMERR_getDisabled(QM_ERR_NOMEM) + QMERR_getDisabled(QM_ERR_INTRPTD) + QMERR_getDisabled(QM_ERR_DRVROPEN), 3);
    EXPECT_STREQ(QMERR_err2str(QM_ERR_NOMEM), "x");
    EXPECT_EQ(Logged([] { QMERR_Announce(QM_ERR_NOMEM); }), "");
    EXPECT_EQ(Integrate("<Message val='5001' enabled><MsgText>x</MsgText></Message>"), QM_SUCCESS);
    EXPECT_EQ(QMERR_getDisabled(QM_ERR_NOMEM), 0);

    const std::pair<std::string, int32_t> failures[] = {
        {"<Messages>" + Element(QM_ERR_IOERR, "a") + "</Messages>", QM_ERR_IVKEYWORD},
        {"<Message val='999990'><MsgText>a</MsgText></Message>", QM_ERR_IVVALUE},
        {"<Message val='5052'></MsgText>a<MsgText>", QM_ERR_IVSYNTAX},  // closing tag first: refused
        {"<Message val='5052'><MsgText>a", QM_ERR_IVSYNTAX},
    };
    for (const auto &[text, rc] : failures) EXPECT_EQ(Integrate(text), rc) << text;
    EXPECT_STREQ(QMERR_err2str(QM_ERR_IOERR), "Error doing file I/O");

    std::string out = Logged([] {
      EXPECT_EQ(Integrate(Element(QM_ERR_IOERR, "one") + "<MessageBox/>" + Element(QM_ERR_NOENT, "two")), QM_ERR_IVKEYWORD);
    });
    EXPECT_NE(out.find("Quillmar ERROR QMERR_Integrate, err: Unknown XML command for [<MessageBox/>]\n"), std::string::npos);
    EXPECT_STREQ(QMERR_err2str(QM_ERR_IOERR), "one");
    EXPECT_STREQ(QMERR_err2str(QM_ERR_NOENT), "File (or path) does not exist");
    // Attributes are looked up to the end of the text: an element without
    // val takes the next one's, which then has none.
    out = Logged([] { EXPECT_EQ(Integrate("<Message><MsgText>a</MsgText></Message>" + Element(QM_ERR_NOENT, "two")), QM_ERR_IVVALUE); });
    EXPECT_NE(out.find("err: Value specified for an error value is either missing or invalid for [<Message "),
              std::string::npos);
    EXPECT_STREQ(QMERR_err2str(QM_ERR_NOENT), "a");
  });
}

TEST(MessagesFile, ExitHandlerPutsBackEarlierTexts) {
  InFreshProcess([] {
    ASSERT_EQ(Integrate(Element(QM_INFO_MSGREPEAT, "Again <var type=\"int32\"/>")), QM_SUCCESS);
    qmexit_rundown();  // before any conversion: the saved built-in text is back and is converted now
    EXPECT_STREQ(QMERR_err2str(QM_INFO_MSGREPEAT), "Last message repeated %d times.");
    ASSERT_EQ(Integrate(Element(QM_ERR_NOMEM, "x")), QM_SUCCESS);
    qmexit_rundown();
    EXPECT_STREQ(QMERR_err2str(QM_ERR_NOMEM), "No memory available for operation");
    EXPECT_STREQ(QMERR_err2str(QM_INFO_MSGREPEAT), "Last message repeated <var type=\"int32\"/> times.");
    EXPECT_STREQ(QMERR_err2str(QM_ERR_ALLOC), "(msg deleted)");  // a converted copy with nothing saved
    ASSERT_EQ(Integrate(Element(QM_ERR_NOMEM, "y")), QM_SUCCESS);
    EXPECT_STREQ(QMERR_err2str(QM_ERR_NOMEM), "y");
  });
}

// The log's repeat notice is MSGREPEAT's current text filled with the
// count, before the texts are converted and after, also while the row is
// disabled; a text that is no count format gives way to the built-in one.
TEST(MessagesFile, RepeatNoticeTakesTheCurrentText) {
  InFreshProcess([] {
    const std::string pid = std::to_string(getpid()) + " ";
    const struct {
      const char *body;  // null: the text stays
      bool convertFirst;
      const char *notice;
    } cases[] = {
        {nullptr, false, "Last message repeated 2 times."},
        {"Again <var type=\"int32\"/> times", false, "Again 2 times"},
        {"Once more <var type=\"int32\"/>", true, "Once more 2"},
        {"<var type=\"string\"/> again", true, "Last message repeated 2 times."},
    };
    QMERR_setDisabled(QM_INFO_MSGREPEAT, 1);
    int round = 0;
    for (const auto &c : cases) {
      if (c.body != nullptr) {
        ASSERT_EQ(Integrate(Element(QM_INFO_MSGREPEAT, c.body)), QM_SUCCESS);
      }
      if (c.convertFirst) QMERR_err2str(QM_ERR_NOMEM);
      const std::string out = Logged([&round] {
        for (int i = 0; i < 3; ++i) LOG_Log(QM_LOG_INFO, "round %d\n", round);
        LOG_Log(QM_LOG_INFO, "end of round %d\n", round);
      });
      ++round;
      EXPECT_NE(out.find(pid + c.notice + "\n"), std::string::npos) << round << " gave " << out;
    }
  });
}

TEST(Announce, LineShapes) {
  InFreshProcess([] {
    const std::string next = std::to_string(getpid()) + " ", text506(506, 'y'), text511(511, 'z');
    ASSERT_EQ(Integrate(Element(QM_ERR_IOERR, text506) + Element(QM_ERR_NOENT, text511)), QM_SUCCESS);
    const std::string out = Logged([] {
      QMERR_Announce(QM_INFO_MSGREPEAT, 3);
      QMERR_Announce(QM_ERR_ALLOC, 65536, "CopyFile");
      QMERR_Announce(QM_ERR_HTMLDAEMON);
      QMERR_Announce(5006);
      QMERR_Announce(QM_INFO_SYNTAX3);
      QMERR_Announce(QM_ERR_IOERR);
      QMERR_Announce(QM_ERR_NOENT);
      QMERR_Announce(QM_ERR_NOMEM);
    });
    for (const std::string &expected : {
             "Quillmar Info MSGREPEAT(6001):Last message repeated 3 times.\n" + next,
             "Quillmar ERROR ALLOC(6010):Memory allocation failed of 65536 bytes in function CopyFile.\n" + next,
             "HTMLDAEMON(6031):The HTML daemon did not start; consult system error log.\n" + next,
             "Quillmar ERROR WEIRD(5006):WEIRD ERROR\n" + next,
             "for example NOENT(5053)." + next,  // over 510 characters: no line feed added
             "IOERR(5052):" + text506.substr(0, 502) + "\n" + next,
             "NOENT(5053):" + text511 + next,
         }) {
      EXPECT_NE(out.find(expected), std::string::npos) << expected;
    }
  });
}

// Callers pass the arguments of a code's built-in text (ALLOC: %d, %s). A
// text from the messages file is announced only when its conversions take
// those arguments, or fewer of them; otherwise the built-in text is. Each
// case passes its own number (# in the line), so no line repeats another.
TEST(Announce, TextsWhoseConversionsDoNotFitTheCallersFallBackToTheBuiltInText) {
  InFreshProcess([] {
    const std::string builtin = "Memory allocation failed of # bytes in function CopyFile.";
    const std::pair<const char *, std::string> cases[] = {
        {"Got <var type=\"int32\"/> in <var type=\"string\"/>", "Got # in CopyFile"},
        {"Only <var type=\"int32\"/>, 100%% sure", "Only #, 100% sure"},
        {"%5d and %-9.4s|", "  # and Copy     |"},
        {"%s%s%s%s%s%s%s%s%s%s%s%s%s%s", builtin},
        {"<var type=\"string\"/> <var type=\"int32\"/>", builtin},
        {"<var type=\"int64\"/> in <var type=\"string\"/>", builtin},
        {"<var type=\"int32\"/>%n", builtin},
        {"%*d", builtin},
        {"%1$d", builtin},
        {"%d %s %d", builtin},
        {"%", builtin},
    };
    int number = 100;
    for (const auto &[text, shown] : cases) {
      ASSERT_EQ(Integrate(Element(QM_ERR_ALLOC, "reset")) | Integrate(Element(QM_ERR_ALLOC, text)), QM_SUCCESS);
      const std::string out = Logged([=] { QMERR_Announce(QM_ERR_ALLOC, number, "CopyFile"); });
      std::string line = "ALLOC(6010):" + shown + "\n";
      line.replace(line.find('#'), 1, std::to_string(number++));
      EXPECT_NE(out.find(line), std::string::npos) << text << " gave " << out;
    }
  });
}

}  // namespace

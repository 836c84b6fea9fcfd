// The call frame's exit lines and the exit-handler list with its rundown.
#include <cstdio>
#include <utility>

#include "log_capture.h"
#include "qmerror.h"
#include "qmexit.h"
#include "qmtrace.h"
#include "rtktest.h"

namespace {

using Lines = std::vector<std::string>;
using ExitLines = rtktest::LoggingTest;

std::string Ptr(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

TEST_F(ExitLines, EachWriterFormatsItsValue) {
  TRACE_Set(QM_TRACE_FILE);
  int local = 0;
  qmexit(QM_TRACE_FILE, "f", QM_ERR_NOMEM);
  qmexit(QM_TRACE_FILE, "f", 5006);
  qmexit(QM_TRACE_FILE, "f", QM_SUCCESS);
  qmexitn(QM_TRACE_FILE, "f", -1);
  qmexitb(QM_TRACE_FILE, "f", 2);
  qmexitb(QM_TRACE_FILE, "f", 0);
  qmexits(QM_TRACE_FILE, "f", "");
  qmexits(QM_TRACE_FILE, "f", nullptr);
  qmexitp(QM_TRACE_FILE, "f", &local);
  qmexit(QM_TRACE_RTK, "f", QM_ERR_NOMEM);   // bit not traced: nothing
  EXPECT_EQ(CapturedTexts(), (Lines{"FILE f Result:5001 NOMEM\n", "FILE f Result:5006 WEIRD\n",
                                    "FILE f Result:0 SUCCESS\n", "FILE f Result:-1 (0xffffffff)\n",
                                    "FILE f Result:2 TRUE\n", "FILE f Result:0 FALSE\n", "FILE f Result:[]\n",
                                    "FILE f Result:[[null]]\n", "FILE f Result:" + Ptr(&local) + "\n"}));
}

// Handlers record the order in which the rundown calls them.
std::vector<int> g_calls;
template <int N>
void Handler() {
  g_calls.push_back(N);
}

template <int... N>
std::vector<QMEXIT_Handler> HandlerTable(std::integer_sequence<int, N...>) {
  return {&Handler<N + 10>...};
}

// Registration, duplicates, the rundown's order and trace, and the full
// list, in one sequence. It runs in a child process: the list lives for the
// whole process, and the rundown also runs the library's own handlers.
TEST_F(ExitLines, HandlersRunNewestFirstAndTheListHoldsAHundred) {
  EXPECT_EQ(rtktest::InChild([this] {
    StartCapture();
    [this] {
      EXPECT_EQ(qmexit_register(&Handler<1>, "first"), 0);
      EXPECT_EQ(qmexit_register(&Handler<2>, "second"), 0);
      EXPECT_EQ(qmexit_register(&Handler<1>, "renamed"), 0);
      EXPECT_EQ(qmexit_register(&Handler<3>, "a name longer than thirty-one characters"), 0);
      TRACE_Set(QM_TRACE_QML);
      g_calls.clear();
      qmexit_rundown();
      ASSERT_GE(g_calls.size(), 3u);
      EXPECT_EQ(std::vector<int>(g_calls.begin(), g_calls.begin() + 3), (std::vector<int>{3, 2, 1}));
      const Lines got = CapturedTexts();
      ASSERT_GE(got.size(), 6u);
      int top = -1;
      ASSERT_EQ(std::sscanf(got[0].c_str(), "QML qmexit_rundown calling (%d)", &top), 1) << got[0];
      const std::string third = Ptr(reinterpret_cast<void *>(&Handler<3>)),
                        second = Ptr(reinterpret_cast<void *>(&Handler<2>)),
                        first = Ptr(reinterpret_cast<void *>(&Handler<1>));
      const std::string calling = "QML qmexit_rundown calling (", next = "QML qmexit_rundown next is ";
      EXPECT_EQ(Lines(got.begin(), got.begin() + 5),
                (Lines{calling + std::to_string(top) + ") " + third + " a name longer than thirty-one c\n",
                       next + second + " second\n", calling + std::to_string(top - 1) + ") " + second + " second\n",
                       next + first + " first\n", calling + std::to_string(top - 2) + ") " + first + " first\n"}));
      EXPECT_EQ(got.back(), "QML qmexit_rundown finished.\n");
      EXPECT_TRUE(top != 2 || got.size() == 6u) << "with nothing else registered, nothing else ran";
      // Fill the list: exactly the free slots accept a new handler, then -1.
      int accepted = 0;
      for (QMEXIT_Handler h : HandlerTable(std::make_integer_sequence<int, 100>())) {
        accepted += qmexit_register(h, "more") == 0;
      }
      EXPECT_EQ(accepted, 100 - (top + 1));
      EXPECT_EQ(qmexit_register(&Handler<1>, "again"), 0);   // still registered
      g_calls.clear();
      TRACE_Set(0);
      qmexit_rundown();
      ASSERT_EQ(g_calls.size(), 3u + static_cast<size_t>(accepted));
      EXPECT_EQ(g_calls.front(), 9 + accepted);
      EXPECT_EQ(qmexit_register(nullptr, "null"), -1);
    }();
    std::fflush(stdout);
    return HasFailure() ? 1 : 0;
  }), 0) << "see the failures the child reported";
}

}  // namespace

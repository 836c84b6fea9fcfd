// The test programs' promise that what a test starts dies with it (see
// rtktest::Fork and rtktest::ContainDescendants).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "rtktest.h"

namespace {

// A test program killed (as a time limit kills it) takes along a child that
// would run for ever and, run as in main(), a daemon that left its parent.
// Each holds the write end of a pipe, whose read end ends once the last of
// them is gone.
TEST(Containment, WhatATestStartedDiesWithIt) {
  for (const bool contained : {false, true}) {
    SCOPED_TRACE(contained ? "in a PID namespace, with a daemon" : "a child made by Fork()");
    if (contained && geteuid() != 0) GTEST_SKIP() << "a PID namespace needs root";
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t program = rtktest::Fork();
    if (program == 0) {
      if (contained) rtktest::ContainDescendants();
      if (rtktest::Fork() == 0) for (;;) pause();
      if (contained) rtktest::RunCommand({"sh", "-c", "setsid sleep 600 >/dev/null 2>&1 &"});
      if (write(held[1], "r", 1) == 1) pause();
      _exit(1);
    }
    close(held[1]);
    char byte = 0;
    pollfd end{held[0], POLLIN, 0};
    ASSERT_TRUE(poll(&end, 1, 10000) == 1 && read(held[0], &byte, 1) == 1) << "the program did not start";
    kill(program, SIGKILL);
    rtktest::WaitForExit(program);
    const bool ended = poll(&end, 1, 10000) == 1 && read(held[0], &byte, 1) == 0;
    close(held[0]);
    EXPECT_TRUE(ended) << "a process the test started is still there";
  }
}

}  // namespace

// The test programs' promise that what a test starts dies with it (see
// rtktest::Fork and rtktest::ContainDescendants).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "rtktest.h"

// A test program killed (as a time limit kills it) takes along a child that
// would run for ever and, run as in main() (as root), a daemon that left its
// parent. Each holds the write end of a pipe, whose read end ends once the
// last of them is gone.
TEST(Containment, WhatATestStartedDiesWithIt) {
  for (const bool contained : {false, geteuid() == 0}) {
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t program = rtktest::Fork();
    if (program == 0 && contained) rtktest::ContainDescendants();
    if (program == 0 && (rtktest::Fork() == 0 || (contained && rtktest::RunCommand({"sh", "-c", "setsid sleep 600 >/dev/null 2>&1 &"}) != 0)))
      for (;;) pause();
    if (program == 0) _exit(write(held[1], "r", 1) == 1 ? pause() : 1);
    close(held[1]);
    char byte = 0;
    pollfd end{held[0], POLLIN, 0};
    ASSERT_TRUE(poll(&end, 1, 10000) == 1 && read(held[0], &byte, 1) == 1) << "the program did not start";
    kill(program, SIGKILL);
    rtktest::WaitForExit(program);
    EXPECT_TRUE(poll(&end, 1, 10000) == 1 && read(held[0], &byte, 1) == 0) << (contained ? "a daemon" : "a child") << " is still there";
    close(held[0]);
  }
  if (geteuid() != 0) GTEST_SKIP() << "the daemon's part needs root (a PID namespace)";
}

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
    // The next byte from the pipe (1), its end (0), or -1 after 10 s.
    const auto next = [&] { pollfd end{held[0], POLLIN, 0}; char byte = 0; return poll(&end, 1, 10000) == 1 ? read(held[0], &byte, 1) : -1; };
    const pid_t program = rtktest::Fork();
    if (program == 0 && contained) rtktest::ContainDescendants();
    // The program's child, and the program once its daemon started and it
    // said so, wait for ever (pause() does not return without a handler).
    if (program == 0) _exit(rtktest::Fork() == 0 || (contained && rtktest::RunCommand({"sh", "-c", "setsid sleep 600 >/dev/null 2>&1 &"}) != 0) || write(held[1], "r", 1) == 1 ? pause() : 1);
    close(held[1]);
    ASSERT_EQ(next(), 1) << "the program did not start";
    EXPECT_EQ(kill(program, SIGKILL) == 0 ? rtktest::WaitForExit(program) : 0, -1) << "the signal did not end the program";
    EXPECT_EQ(next(), 0) << (contained ? "a daemon" : "a child") << " is still there";
    close(held[0]);
  }
  if (geteuid() != 0) GTEST_SKIP() << "the daemon's part needs root (a PID namespace)";
}

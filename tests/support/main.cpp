// The main() of every test program: the tests run where every process they
// start dies with the program (see ContainDescendants).
#include "rtktest.h"

int main(int argc, char **argv) {
  rtktest::ContainDescendants();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// The path join: one '/' between directory and name, cut to the buffer.
#include <cstring>
#include <string>

#include "qmfile.h"
#include "rtktest.h"

namespace {

TEST(FileDircat, JoinsWithExactlyOneSlashAndCutsToTheBuffer) {
  const struct { const char *dir, *name; int32_t size; const char *joined; int nameAt; } cases[] = {
      {"/d", "n", 64, "/d/n", 3},    {"/d/", "/n", 64, "/d/n", 3},  {"/d/", "n", 64, "/d/n", 3},
      {"/d", "//n", 64, "/d//n", 3},  // only one leading '/' of the name is dropped
      {"", "/n", 64, "n", 0},         // an empty directory stays relative
      {"/dir", "name", 8, "/dir/na", 5}, {"/dir", "name", 5, "/dir", 4}, {"/dir", "name", 6, "/dir/", 5},
  };
  for (const auto &c : cases) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    std::strcpy(buf.data(), c.dir);
    EXPECT_EQ(qmfile_dircat(buf.data(), c.size, c.name) - buf.data(), c.nameAt) << c.dir << "+" << c.name;
    EXPECT_STREQ(buf.data(), c.joined) << c.dir << " + " << c.name << " in " << c.size;
    EXPECT_TRUE(buf.Intact()) << c.dir << " + " << c.name << " in " << c.size;
  }
  rtktest::GuardedBuffer unterminated(4, 'x'), none(0);
  EXPECT_EQ(qmfile_dircat(unterminated.data(), 4, "n"), unterminated.data() + 3);
  EXPECT_EQ(qmfile_dircat(none.data(), 0, "n"), none.data());
  EXPECT_EQ(std::string(unterminated.data(), 4), "xxxx");
  EXPECT_TRUE(unterminated.Intact() && none.Intact());
}

}  // namespace

// The path join: one '/' between directory and name, cut to the buffer.
#include <cstring>
#include <string>

#include "qmfile.h"
#include "rtktest.h"

namespace {

TEST(FileDircat, JoinsWithExactlyOneSlashAndCutsToTheBuffer) {
  const struct { const char *dir, *name; int32_t size; const char *joined; int nameAt; } cases[] = {
      {"/d", "n", 64, "/d/n", 3},      {"/d/", "/n", 64, "/d/n", 3},
      {"/d/", "n", 64, "/d/n", 3},     {"/d", "/n", 64, "/d/n", 3},
      {"/d", "//n", 64, "/d//n", 3},   // only one leading '/' of the name is dropped
      {"/", "etc", 64, "/etc", 1},     {"/d", "", 64, "/d/", 3},
      {"", "n", 64, "n", 0},           {"", "/n", 64, "n", 0},  // empty directory stays relative
      {"/dir", "name", 8, "/dir/na", 5},  // cut like STR_snprintf cuts
      {"/dir", "name", 5, "/dir", 4},     // no room even for the '/'
      {"/dir", "name", 6, "/dir/", 5},
  };
  for (const auto &c : cases) {
    rtktest::GuardedBuffer buf(static_cast<size_t>(c.size));
    std::strcpy(buf.data(), c.dir);
    const char *at = qmfile_dircat(buf.data(), c.size, c.name);
    EXPECT_STREQ(buf.data(), c.joined) << c.dir << " + " << c.name << " in " << c.size;
    EXPECT_EQ(at - buf.data(), c.nameAt) << c.dir << " + " << c.name << " in " << c.size;
    EXPECT_TRUE(buf.Intact()) << c.dir << " + " << c.name << " in " << c.size;
  }
}

TEST(FileDircat, UnterminatedOrEmptyBufferIsLeftAlone) {
  rtktest::GuardedBuffer full(4, 'x');
  EXPECT_EQ(qmfile_dircat(full.data(), 4, "n"), full.data() + 3);
  EXPECT_EQ(std::string(full.data(), 4), "xxxx");
  rtktest::GuardedBuffer none(0);
  EXPECT_EQ(qmfile_dircat(none.data(), 0, "n"), none.data());
  EXPECT_TRUE(full.Intact() && none.Intact());
}

}  // namespace

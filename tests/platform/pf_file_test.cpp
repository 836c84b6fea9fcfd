// Tests of the platform layer's file-system operations on real files, links,
// pipes, devices and, inside a private mount namespace, a tmpfs.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "pf_file.h"
#include "qmerror.h"
#include "rtktest.h"

namespace {

// Every test leaves no descriptor open: the platform layer closes what it
// opens, on success and on failure.
[[maybe_unused]] const bool kDescriptorsChecked = rtktest::CheckDescriptorsAroundEachTest();

using namespace rtktest;  // NOLINT(google-build-using-namespace): the tests' own helpers
using Names = std::set<std::string>;

// The names in a directory, read with the platform layer's listing.
Names ListDir(const std::string &path) {
  Names names;
  uint64_t handle = 99;
  char name[PF_READDIR_NAME_SIZE];
  if (PF_OpenDir(path.c_str(), &handle) != QM_SUCCESS) return {handle == 0 ? "(cannot open)" : "(handle left)"};
  while (PF_ReadDir(handle, name) == QM_SUCCESS) names.insert(name);
  EXPECT_EQ(PF_CloseDir(handle), QM_SUCCESS);
  return names;
}

// Mode (octal), owner and group of path, as "40755 0 0".
std::string Owned(const std::string &path) {
  struct stat st {};
  char text[64] = "";
  if (stat(path.c_str(), &st) == 0) std::snprintf(text, sizeof text, "%o %u %u", st.st_mode, st.st_uid, st.st_gid);
  return text;
}

// Links are followed; a failure leaves the record all zero and keeps errno;
// a path longer than the record's name is cut. A listing gives every name
// but "." and ".."; a missing directory is removed already. A path lies on
// a network location when it is on another device than "/".
TEST(PfFile, StatListRemoveAndLocation) {
  TempDir dir;
  const std::string longName(255, 'f');
  ASSERT_EQ(RunCommand({"sh", "-ec", "cd \"$0\"; printf hello >file; printf abc >\"$1\"; chmod 644 file \"$1\"; mkdir -m 755 sub empty;"
                        "ln -s file to-file; ln -s sub to-sub; ln -s nowhere dangling; mkfifo -m 600 fifo; touch .hidden", dir.path(), longName}), 0);
  const struct { std::string name; int32_t rc; uint32_t kind; const char *mode; int64_t size; int err; } cases[] = {
      {"file", 0, PF_KIND_FILE, "33188", 5, 0},      {"to-file", 0, PF_KIND_FILE, "33188", 5, 0},
      {longName, 0, PF_KIND_FILE, "33188", 3, 0},    {"sub/", 0, PF_KIND_DIRECTORY, "16877", -1, 0},
      {"to-sub", 0, PF_KIND_OTHER, "16877", -1, 0},  {"fifo", 0, PF_KIND_OTHER, "4480", 0, 0},
      {"/dev/null", 0, PF_KIND_OTHER, "8630", 0, 0}, {"/", 0, PF_KIND_DIRECTORY, nullptr, -1, 0},
      {"dangling", QM_ERR_NOENT, 0, "", 0, ENOENT},  {"missing/deeper", QM_ERR_NOENT, 0, "", 0, ENOENT},
      {"file/below-a-file", QM_ERR_BADFILE, 0, "", 0, ENOTDIR}};
  for (const auto &c : cases) {
    const std::string path = c.name[0] == '/' ? c.name : dir / c.name;
    PF_Attrs attrs, zero{};
    std::memset(&attrs, 0xAB, sizeof attrs);
    EXPECT_TRUE(PF_Stat(path.c_str(), &attrs) == c.rc && attrs.kind == c.kind && (c.mode == nullptr || std::string(attrs.mode) == c.mode) &&
                (c.size < 0 || attrs.size == c.size) && (c.rc != 0 ? errno == c.err && std::memcmp(&attrs, &zero, sizeof attrs) == 0
                                                                    : std::string(attrs.name) == path.substr(0, PF_ATTRS_NAME_SIZE - 1))) << c.name;
  }
  EXPECT_EQ(ListDir(dir.path()), (Names{longName, ".hidden", "dangling", "empty", "fifo", "file", "sub", "to-file", "to-sub"}));
  EXPECT_EQ(std::vector({ListDir(dir / "empty"), ListDir(dir / "missing")}), (std::vector<Names>{{}, {"(cannot open)"}}));
  for (const auto &[name, rc] : {std::pair<const char *, int32_t>{"missing", 0}, {"", QM_ERR_BADFILE}, {"file", QM_ERR_BADFILE}, {"empty", 0}})
    EXPECT_EQ(PF_rmdir((dir / name).c_str()), rc) << name;
  EXPECT_FALSE(Exists(dir / "empty"));
  // A missing path is judged by its parent, a missing parent counts as remote; /proc lies on a file system of its own.
  for (const auto &[path, remote] : std::vector<std::pair<std::string, int32_t>>{
           {"/", 0}, {"/proc/self/status", 1}, {"/rtk-no-such-entry", 0}, {"/rtk-no-such-entry/child", 1}, {"/proc/rtk-no-such-entry", 1}}) {
    std::string text = path;  // cut for a moment, then restored
    EXPECT_EQ((std::pair{PF_isNetworkLocation(text.data()), text}), std::pair(remote, path));
  }
  GuardedBuffer out(64, 'z');  // the storage-manager client is not installed here
  EXPECT_EQ((std::pair{PF_GetVSBInstallLocation(out.data(), 64), std::string(out.data())}), std::pair(int32_t{QM_ERR_BADFILE}, std::string()));
}

// Permissions come from the low nine bits of the model's mode text (the
// umask plays no part), owner and group from the record; an existing
// directory keeps its permissions. Names that the shell would interpret make
// exactly that directory and run nothing else (an injected "touch CANARY"
// would create the canary in the current directory). A command line that
// would not fit its buffer is refused, not cut.
TEST(PfFile, MakeADirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give directories other owners";
  TempDir dir;
  PF_Attrs generic, model{};
  ASSERT_EQ((std::pair{PF_SetAttrsGeneric(&generic), std::string(generic.mode)}), std::pair(int32_t{QM_SUCCESS}, std::string("511")));
  UnixID2IDType(0106644, model.mode);
  UnixID2IDType(4241, model.owner);
  UnixID2IDType(4242, model.group);
  const std::string names[] = {"q\"uote", "$(touch CANARY)", "`touch CANARY`", "semi\";touch CANARY;\"", "back\\slash\\",
                               "new\nline", "-m 700 -p", "--", "$HOME", "it's", "tab\there"};
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  for (const std::string &name : names) EXPECT_EQ(PF_MakeADirectory(name.c_str(), &generic), QM_SUCCESS) << name;
  EXPECT_EQ(PF_MakeADirectory("a/b/c", &generic) | PF_MakeADirectory("d", &model) | PF_MakeADirectory("a/b/c", &model), 0);
  EXPECT_EQ(PF_MakeADirectory("/dev/null/x", &generic) + chdir("/"), QM_ERR_SYSERR);
  EXPECT_EQ(Owned(dir / "a/b/c") + ", " + Owned(dir / "a") + ", " + Owned(dir / "d"), "40777 4241 4242, 40755 0 0, 40644 4241 4242");
  // "mkdir -p -m 777 \"", the path, '"' and the NUL: a path of 4,097 bytes is
  // the longest that fits (mkdir itself then refuses the name); one that fits
  // unescaped but not once every '$' is escaped is refused too.
  const std::string longest = dir / std::string(4097 - dir.path().size() - 1, 'p');
  EXPECT_EQ(std::vector<int32_t>({PF_MakeADirectory(longest.c_str(), &generic), PF_MakeADirectory((longest + "p").c_str(), &generic),
                                  PF_MakeADirectory((dir / std::string(2100, '$')).c_str(), &generic)}),
            std::vector<int32_t>({QM_ERR_SYSERR, QM_ERR_BADPARAM, QM_ERR_BADPARAM}));
  Names made(std::begin(names), std::end(names));
  made.insert({"a", "d"});
  EXPECT_EQ(ListDir(dir.path()), made);
  for (const std::string &name : names) EXPECT_EQ(ListDir(dir / name), Names{}) << name;
}

}  // namespace

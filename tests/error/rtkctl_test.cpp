// rtkctl explain and rtkctl messages, run as an administrator would.
#include "rtktest.h"

TEST(RtkctlCatalogue, ExplainAndMessages) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> shown;
  } cases[] = {
      {{"explain", "5001"}, 0, {"code:     5001\nmnemonic: NOMEM\nseverity: ERROR\ntext:     No memory"}},
      {{"explain", "qm_err_httpsetf"}, 0, {"code:     6007\n", "mnemonic: HTTPSETf\n"}},
      {{"explain", "WEIRD"}, 0, {"code:     100000\n"}},
      {{"explain", "5006"}, 2, {"'5006' is not a result code"}},
      {{"explain", "no_such_name"}, 2, {"'no_such_name' is not a result code"}},
      {{"explain"}, 2, {"usage: rtkctl explain"}},
      {{"messages", RTK_SOURCE_DIR "/package/misc/messages.xml"}, 0, {"EXITWAIT(6029): disabled 0 -> 1\n", "result: 0 SUCCESS\n"}},
      {{"messages", "/nonexistent/messages.xml"}, 1, {"cannot read"}},
  };
  for (const auto &c : cases) {
    std::string output;
    EXPECT_EQ(rtktest::Rtkctl(c.args, &output), c.status) << c.args.back();
    for (const std::string &part : c.shown) EXPECT_NE(output.find(part), std::string::npos) << part << " in:\n" << output;
  }
}

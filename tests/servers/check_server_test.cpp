// tarv-mkpatch check-server, run as the publisher runs it, against the test
// servers.
#include <gtest/gtest.h>

#include "servers/test_servers.h"

namespace {

using tarvtest::HttpTestServer;

tarvtest::RunResult CheckServer(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tarvtest::BinDir() + "/tarv-mkpatch", "check-server"};
  argv.insert(argv.end(), args.begin(), args.end());
  return tarvtest::Run(argv, {"TARV_INET_RETRY_PAUSE_MS=10"});
}

std::string Record(const std::string& source, const std::string& target, const std::string& data) {
  return "source-version: " + source + "\ntarget-version: " + target +
         "\npatch-exe-url: p.exe\npatch-data-url: " + data + "\n\n";
}

class CheckServerTest : public testing::Test {
 protected:
  CheckServerTest() {
    tarvtest::WriteFile(http_.root() + "/good/patches.txt",
                        Record("1.0", "1.1", "1.0_to_1.1.zip") +
                            Record("1.1", "1.2", http_.Url("good/1.1_to_1.2.zip")));
    tarvtest::WriteFile(http_.root() + "/good/1.0_to_1.1.zip", a_);
    tarvtest::WriteFile(http_.root() + "/good/1.1_to_1.2.zip", b_);
    tarvtest::WriteFile(http_.root() + "/broken/patches.txt",
                        Record("1.0", "1.1", "1.0_to_1.1.zip") + Record("1.1", "1.2", "gone.zip"));
    tarvtest::WriteFile(http_.root() + "/broken/1.0_to_1.1.zip", a_);
    tarvtest::WriteFile(http_.root() + "/page/patches.txt", "<html>Welcome</html>\n");
  }
  HttpTestServer http_;
  tarvtest::ScopedTempDir out_;
  std::string a_ = tarvtest::RandomBytes(30000, 1), b_ = tarvtest::RandomBytes(40000, 2);
};

TEST_F(CheckServerTest, GoodServerWithDownloads) {
  auto r = CheckServer({http_.Url("good"), "--download", out_.Sub("dl")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("1.0 -> 1.1\n  data: " + http_.Url("good/1.0_to_1.1.zip") +
                       "\n  exe:  p.exe\n  size: 30000 bytes\n  downloaded: 30000 bytes"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1.1 -> 1.2\n"), std::string::npos);
  EXPECT_NE(r.out.find("2 record(s) checked: all good"), std::string::npos);
  EXPECT_TRUE(tarvtest::ReadFile(out_.Sub("dl/1.0_to_1.1.zip")) == a_);
  EXPECT_TRUE(tarvtest::ReadFile(out_.Sub("dl/1.1_to_1.2.zip")) == b_);
}

TEST_F(CheckServerTest, EachProblemIsOneLine) {
  const std::string down = "http://127.0.0.1:" + std::to_string(tarvtest::UnusedLoopbackPort());
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{http_.Url("broken")},
       "tarv-mkpatch: " + http_.Url("broken/gone.zip") +
           ": the server does not tell the archive's size\n"},
      {{http_.Url("page")},
       "tarv-mkpatch: " + http_.Url("page/patches.txt") + ": no valid record\n"},
      {{down},
       "tarv-mkpatch: Unable to download patch file: " + down +
           "/patches.txt\ntarv-mkpatch: The server refused the connection.\n"},
      {{}, "tarv-mkpatch: usage: tarv-mkpatch check-server SERVER_ADDRESS [--download DIR]\n"},
      {{http_.Url("good"), "--download"},
       "tarv-mkpatch: usage: tarv-mkpatch check-server SERVER_ADDRESS [--download DIR]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args[0]);
    auto r = CheckServer(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.err);
  }
  auto r = CheckServer({http_.Url("broken"), "--download", out_.Sub("dl")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tarv-mkpatch: " + http_.Url("broken/gone.zip") +
                       ": the server does not tell the archive's size\n"
                       "tarv-mkpatch: Unable to download patch file: " +
                       http_.Url("broken/gone.zip") +
                       "\ntarv-mkpatch: The server answered with error 404.\n");
  EXPECT_TRUE(tarvtest::ReadFile(out_.Sub("dl/1.0_to_1.1.zip")) == a_);
}

}  // namespace

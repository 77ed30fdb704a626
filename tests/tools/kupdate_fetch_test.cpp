// kupdate fetch, run as a real process against the loopback servers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/servers.h"
#include "support/test_support.h"

using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

testing_support::ProcessOutput Fetch(const std::string& args) {
  return testing_support::RunKupdate("fetch " + args);
}

class KupdateFetchTest : public ::testing::Test {
 protected:
  KupdateFetchTest() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"})
      unsetenv(name);
    std::filesystem::create_directories(home_.Path("www"));
    std::filesystem::create_directories(home_.Path("out"));
  }
  testing_support::TempHome home_;
};

}  // namespace

TEST_F(KupdateFetchTest, DownloadsThroughTheCredentialDemandingProxy) {
  WriteFile(home_.Path("www/Kestrel.txt"), std::string(10000, 'k'));
  testing_support::HttpServer http(home_.Path("www/"), home_.Path("http.log"));
  testing_support::ProxyServer proxy("puser", "ppass", home_.Path("proxy.log"));
  const std::string url = http.Url("Kestrel.txt?KestrelTick=1");
  auto run = Fetch("--set Proxy=" + proxy.Address() +
                   " --set ProxyUserID=puser --set \"ProxyPassword='ppass'\" '" + url + "' out");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(home_.Path("out/Kestrel.txt")), std::string(10000, 'k'));
  EXPECT_EQ(run.out, "[915] Download : " + url +
                         " (Status:3) (Error:0)\n"
                         "[949] Closed Internet connection (Status:3) (Error:0)\n"
                         "[949] Closed Internet connection (Status:3) (Error:0)\n");
  EXPECT_NE(run.err.find("10000 of 10000 bytes"), std::string::npos) << run.err;
  ASSERT_FALSE(proxy.Requests().empty());
  EXPECT_EQ(proxy.Requests().back().field, "auth");
}

TEST_F(KupdateFetchTest, AFailedFetchPrintsItsReportsAndExitsWithOne) {
  testing_support::HttpServer http(home_.Path("www/"), home_.Path("http.log"));
  auto run = Fetch(http.Url("missing.txt") + " out");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("[916] Http status : 404 (Status:6) (Error:404)\n"), std::string::npos)
      << run.out;
}

TEST_F(KupdateFetchTest, FtpRunsConnectTheHostFirst) {
  std::filesystem::create_directories(home_.Path("ftp/pub"));
  WriteFile(home_.Path("ftp/pub/a.txt"), "over ftp");
  testing_support::FtpServer ftp(home_.Path("ftp/"), home_.Path("ftp.log"));
  auto run = Fetch(
      "--set UpdateType=ftpUpdate --set Host=127.0.0.1 --set Port=" + std::to_string(ftp.port()) +
      " --set FTPDirectory=pub --set FTPPassive=True a.txt out");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(home_.Path("out/a.txt")), "over ftp");
  EXPECT_EQ(run.out,
            "[923] Connect to host : 127.0.0.1 (Status:3) (Error:0)\n"
            "[915] Download : a.txt (Status:3) (Error:0)\n"
            "[974] Change FTP directory to : pub (Status:3) (Error:0)\n"
            "[954] Closed FTP connection (Status:3) (Error:0)\n"
            "[949] Closed Internet connection (Status:3) (Error:0)\n"
            "[949] Closed Internet connection (Status:3) (Error:0)\n");
}

TEST_F(KupdateFetchTest, BadSettingsAreUsageErrors) {
  auto run = Fetch("--set NoSuchProperty=1 http://127.0.0.1:1/a out");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("NoSuchProperty"), std::string::npos);
  run = Fetch("--set Port=notanumber http://127.0.0.1:1/a out");
  EXPECT_EQ(run.status, 2);
  run = Fetch("--set UpdateType http://127.0.0.1:1/a out");
  EXPECT_EQ(run.status, 2);
  run = Fetch("only-a-url");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("kupdate fetch"), std::string::npos);
}

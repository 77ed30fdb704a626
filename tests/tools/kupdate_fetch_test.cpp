// kupdate fetch, run as a real process against the loopback servers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/inet.h"
#include "platform/kernel.h"
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
      kernel::SetEnvironmentVariable(name, std::nullopt);
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

// A failed fetch says why, names the URL, and leaves nothing behind.
TEST_F(KupdateFetchTest, AFailedFetchSaysWhy) {
  WriteFile(home_.Path("www/big.bin"), std::string(100000, 'b'));
  testing_support::HttpServer http(home_.Path("www/"), home_.Path("http.log"));
  const struct {
    std::string path, options, why;
  } cases[] = {
      {"missing.txt", "", "not fetched: the server answered with HTTP status 404"},
      // The system's own words for the error, which differ by system.
      {"drop/8192/big.bin", "",
       "not fetched: the transfer broke off after 8192 of 100000 bytes: " +
           inet::FormatMessage(inet::ERROR_INTERNET_CONNECTION_ABORTED)},
      {"stall/5000/big.bin", "--set ReceiveTimeOut=300 ",
       "not fetched: the transfer broke off after 0 of 100000 bytes: " +
           inet::FormatMessage(inet::ERROR_INTERNET_TIMEOUT)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
#ifdef _WIN32
    // Wine's WinINet does not time out a read of the body.
    if (c.path.starts_with("stall/")) continue;
#endif
    auto run = Fetch(c.options + http.Url(c.path) + " out");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.substr(run.err.find("kupdate:")),
              "kupdate: " + http.Url(c.path) + ": " + c.why + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(home_.Path("out")));
  }
}

// A folder that is not there is made; a file in its place is left alone.
TEST_F(KupdateFetchTest, TheFolderIsMadeWhenMissing) {
  WriteFile(home_.Path("www/a.txt"), "a");
  testing_support::HttpServer http(home_.Path("www/"), home_.Path("http.log"));
  EXPECT_EQ(Fetch(http.Url("a.txt") + " new/sub").status, 0);
  EXPECT_EQ(ReadFile(home_.Path("new/sub/a.txt")), "a");
  EXPECT_FALSE(std::filesystem::exists(home_.Path("new/suba.txt")));

  WriteFile(home_.Path("plain"), "");
  auto run = Fetch(http.Url("a.txt") + " plain");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "kupdate: plain: is a file, not a folder\n");
  EXPECT_FALSE(std::filesystem::exists(home_.Path("plaina.txt")));
  EXPECT_EQ(ReadFile(home_.Path("plain")), "");
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

// A download that broke off is continued by the next fetch of the URL,
// unless the server sends the file whole (it ignores ranges, or the file
// changed); either way the file that lands is the server's.
TEST_F(KupdateFetchTest, ABrokenDownloadIsContinuedWhereItStopped) {
  std::string bytes(1000000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
  WriteFile(home_.Path("www/big.bin"), bytes);
  testing_support::HttpServer http(home_.Path("www/"), home_.Path("http.log"));
  auto lastRange = [&http] {
    const auto requests = http.Requests();
    return requests.back().Has("range") ? requests.back().headers.at("range") : "none";
  };

  for (const std::string path : {"cut/60/big.bin", "norange/cut/60/big.bin"}) {
    SCOPED_TRACE(path);
    std::filesystem::remove(home_.Path("out/big.bin"));
    EXPECT_EQ(Fetch(http.Url(path + "?FileTick=1") + " out").status, 1);
    EXPECT_FALSE(std::filesystem::exists(home_.Path("out/big.bin")));
    auto run = Fetch(http.Url(path + "?FileTick=2") + " out");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(lastRange(), "bytes=600000-");
    EXPECT_TRUE(ReadFile(home_.Path("out/big.bin")) == bytes);
  }

  // The same length, another file: the rest of the old one would not fit.
  EXPECT_EQ(Fetch(http.Url("cut/60/big.bin") + " out").status, 1);
  std::string changed = bytes;
  changed[0] = 'x';
  changed[999999] = 'y';
  WriteFile(home_.Path("www/big.bin"), changed);
  std::filesystem::last_write_time(
      home_.Path("www/big.bin"),
      std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  EXPECT_EQ(Fetch(http.Url("cut/60/big.bin") + " out").status, 0);
  EXPECT_TRUE(ReadFile(home_.Path("out/big.bin")) == changed);
}

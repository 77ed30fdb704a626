// The report of an update to a web server. The POST always goes to port 80,
// so these tests bind 127.0.0.1:80 and run one at a time.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "platform/kernel.h"
#include "resources/messages.h"
#include "support/servers.h"
#include "support/test_support.h"
#include "update/updater.h"

namespace {

struct Report {
  int id, status, error;
};

class PostUpdater : public TUpdater {
 public:
  PostUpdater() : TUpdater(nullptr) {}
  std::vector<Report> reports;
  void ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode) override {
    reports.push_back({ID, StatusCode, ErrCode});
    TUpdater::ReportStatus(ID, Arg, StatusCode, ErrCode);
  }
};

// True when something already listens on 127.0.0.1:80, asked on the Linux
// side so that both platforms ask the same way.
bool Port80Taken() {
  return testing_support::RunShell(
             "python3 -c 'import socket; socket.create_connection((\"127.0.0.1\", 80), 1)' "
             "2>/dev/null") == 0;
}

class PostTest : public ::testing::Test {
 protected:
  PostTest() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy"})
      kernel::SetEnvironmentVariable(name, std::nullopt);
    std::filesystem::create_directories(home_.Path("www"));
    updater_.Agent = "KestrelPost";
    updater_.PostUpdateInfo.Server = "127.0.0.1";
    updater_.PostUpdateInfo.Action = "/twkestrel/report.asp";
    updater_.PostUpdateInfo.Data = "user=a%20b&note=";
    updater_.PostUpdateInfo.Data += std::string("\xE4\x01&=", 4);
  }
  // The server on port 80; skips the test where the port cannot be had.
  bool StartServer() {
    try {
      server_.emplace(home_.Path("www"), home_.Path("http.log"), 80);
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }

  testing_support::TempHome home_;
  std::optional<testing_support::HttpServer> server_;
  PostUpdater updater_;
};

}  // namespace

TEST_F(PostTest, PostsTheDataUnchangedToPort80AndKeepsTheAnswer) {
  if (!StartServer()) GTEST_SKIP() << "127.0.0.1:80 cannot be bound here";
  updater_.PostUpdateInfo.PostResult = "from before";
  updater_.PostUpdateData();
  EXPECT_EQ(updater_.PostUpdateInfo.PostResult,
            "/twkestrel/report.asp|" + updater_.PostUpdateInfo.Data);
  EXPECT_TRUE(updater_.reports.empty());
  const auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/twkestrel/report.asp");
  EXPECT_EQ(requests[0].headers.at("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].headers.at("user-agent"), "KestrelPost");
  EXPECT_FALSE(requests[0].Has("expect"));
}

TEST_F(PostTest, AnErrorPageIsAnAnswerLikeAnyOther) {
  if (!StartServer()) GTEST_SKIP() << "127.0.0.1:80 cannot be bound here";
  updater_.PostUpdateInfo.Action = "status/500";  // the server echoes every POST
  updater_.PostUpdateData();
  EXPECT_EQ(updater_.PostUpdateInfo.PostResult, "/status/500|" + updater_.PostUpdateInfo.Data);
}

TEST_F(PostTest, NothingHappensWithoutServerOrAction) {
  updater_.PostUpdateInfo.PostResult = "kept";
  updater_.PostUpdateInfo.Server.clear();
  updater_.PostUpdateData();
  updater_.PostUpdateInfo.Server = "127.0.0.1";
  updater_.PostUpdateInfo.Action.clear();
  updater_.PostUpdateData();
  EXPECT_EQ(updater_.PostUpdateInfo.PostResult, "kept");
  EXPECT_TRUE(updater_.reports.empty());
}

TEST_F(PostTest, AServerThatIsNoHostNameCannotBeConnected) {
  for (const char* server : {"127.0.0.1:8080", "http://127.0.0.1", "bad host"}) {
    updater_.reports.clear();
    updater_.PostUpdateInfo.Server = server;
    updater_.PostUpdateData();
    ASSERT_EQ(updater_.reports.size(), 1u) << server;
    EXPECT_EQ(updater_.reports[0].id, msg::kCannotConnectForPost);
    EXPECT_EQ(updater_.reports[0].status, 16);
    EXPECT_EQ(updater_.reports[0].error, 5);
  }
}

TEST_F(PostTest, AnActionThatIsNoPathCannotBeRequested) {
  updater_.PostUpdateInfo.Action = "/report.asp HTTP/1.0\r\nX-Injected: 1";
  updater_.PostUpdateData();
  ASSERT_EQ(updater_.reports.size(), 1u);
  EXPECT_EQ(updater_.reports[0].id, msg::kCannotAccessForPost);
  EXPECT_EQ(updater_.reports[0].status, 17);
  EXPECT_EQ(updater_.reports[0].error, 5);
}

TEST_F(PostTest, WithNobodyListeningTheAnswerIsEmptyAndUnreported) {
  if (Port80Taken()) GTEST_SKIP() << "something listens on 127.0.0.1:80";
  updater_.PostUpdateInfo.PostResult = "from before";
  updater_.PostUpdateData();
  EXPECT_EQ(updater_.PostUpdateInfo.PostResult, "");
  EXPECT_TRUE(updater_.reports.empty());
}

TEST_F(PostTest, TheEventsAroundThePost) {
  if (!StartServer()) GTEST_SKIP() << "127.0.0.1:80 cannot be bound here";
  std::vector<std::string> events;
  updater_.OnBeforePost = [&](TUpdater*, bool&) { events.push_back("before"); };
  updater_.OnProcessPostResult = [&](TUpdater* sender, bool&) {
    events.push_back("result:" +
                     static_cast<TUpdater*>(sender)->PostUpdateInfo.PostResult.substr(0, 10));
  };
  // Not enabled: no events, no post.
  EXPECT_TRUE(updater_.RunPostUpdate());
  EXPECT_TRUE(events.empty());

  updater_.PostUpdateInfo.Enabled = true;
  EXPECT_TRUE(updater_.RunPostUpdate());
  EXPECT_EQ(events, (std::vector<std::string>{"before", "result:/twkestrel"}));

  // A refused post: no answer to judge, and the finishing step goes on.
  events.clear();
  updater_.OnBeforePost = [&](TUpdater*, bool& allow) {
    events.push_back("before");
    allow = false;
  };
  EXPECT_TRUE(updater_.RunPostUpdate());
  EXPECT_EQ(events, std::vector<std::string>{"before"});
  EXPECT_EQ(server_->Requests().size(), 1u);

  // A refused answer ends the finishing step.
  updater_.OnBeforePost = nullptr;
  updater_.OnProcessPostResult = [](TUpdater*, bool& allow) { allow = false; };
  EXPECT_FALSE(updater_.RunPostUpdate());
  EXPECT_EQ(server_->Requests().size(), 2u);
}

TEST_F(PostTest, EnabledWithoutServerStillRaisesBothEvents) {
  updater_.PostUpdateInfo.Enabled = true;
  updater_.PostUpdateInfo.Server.clear();
  updater_.PostUpdateInfo.PostResult = "kept";
  int raised = 0;
  updater_.OnBeforePost = [&](TUpdater*, bool&) { ++raised; };
  updater_.OnProcessPostResult = [&](TUpdater*, bool&) { ++raised; };
  EXPECT_TRUE(updater_.RunPostUpdate());
  EXPECT_EQ(raised, 2);
  EXPECT_EQ(updater_.PostUpdateInfo.PostResult, "kept");
}

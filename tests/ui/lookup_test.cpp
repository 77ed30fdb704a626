// Finding the window of another process by its class name, seeing that it
// is minimised, restoring it and bringing it to the front: with real
// windows on a virtual display, and through the per-user window registry
// when there is no display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ui/display_fixture.h"

extern char** environ;

namespace {

using namespace testing_support;

// The test program of tests/ui/app, with its standard input and output on
// pipes.
class LookupApp {
 public:
  LookupApp(bool withDisplay, bool minimize) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (withDisplay || std::strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = KESTREL_BIN_DIR "/ui_lookup_app", flag = "--minimize";
    std::vector<char*> argv{program.data()};
    if (minimize) argv.push_back(flag.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }

  ~LookupApp() { Close(); }

  // Waits until that line has come (now or before; the program's reports
  // of different kinds may come in either order); false after the time
  // limit or at the end of the output.
  bool Expect(const std::string& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (const auto& line : lines_)
      if (line == wanted) return true;
    for (;;) {
      std::size_t end;
      while ((end = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        lines_.push_back(line);
        if (line == wanted) return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[256];
      ssize_t n = ::read(output_, buffer, sizeof buffer);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  std::string Seen() const {
    std::string all;
    for (const auto& line : lines_) all += line + "; ";
    return all;
  }

  // Closes its input, which ends it; true when it ended by itself.
  bool Close() {
    if (pid_ <= 0) return true;
    ::close(input_);
    ::close(output_);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
      ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!ended) ::usleep(10000);
    }
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
};

class LookupOnDisplay : public DisplayTest {};

TEST_F(LookupOnDisplay, FindsRestoresAndRaisesTheWindowOfAnotherProgram) {
  LookupApp app(true, true);
  ASSERT_TRUE(app.Expect("shown")) << app.Seen();
  ASSERT_TRUE(app.Expect("iconic 1")) << app.Seen();

  const ui::TopLevelWindow window = ui::FindWindow("TFormKestrelStart");
  ASSERT_NE(window, 0u);
  EXPECT_EQ(ui::FindWindow("TFormKestrel"), 0u);
  EXPECT_TRUE(ui::IsIconic(window));
  EXPECT_TRUE(ui::ShowWindow(window, ui::SW_RESTORE));
  EXPECT_TRUE(app.Expect("iconic 0")) << app.Seen();
  EXPECT_FALSE(ui::IsIconic(window));
  EXPECT_EQ(FindTopLevel("TFormKestrelStart"), window);

  // A window of this program takes the front; the other one is brought back.
  ui::Form mine("TFormOther");
  mine.caption = "Other";
  mine.clientWidth = 300;
  mine.clientHeight = 200;
  mine.position = ui::FormPosition::ScreenCenter;
  mine.Show();
  const unsigned long own = FindTopLevel("TFormOther");
  EXPECT_EQ(FocusedWindow(), own);
  EXPECT_EQ(TopmostWindow(), own);
  EXPECT_TRUE(ui::SetForegroundWindow(window));
  EXPECT_EQ(FocusedWindow(), window);
  EXPECT_EQ(TopmostWindow(), window);
  // Activated when first shown, when restored, and now.
  EXPECT_TRUE(app.Expect("activated 3")) << app.Seen();

  EXPECT_TRUE(app.Close());
  EXPECT_FALSE(ui::SetForegroundWindow(window));
  EXPECT_FALSE(ui::IsIconic(window));
  EXPECT_EQ(ui::FindWindow("TFormKestrelStart"), 0u);
}

// Without a display: the same answers through the window registry.
class LookupHeadless : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::ResetMessageLoop();
    ui::SetMainThread();
    previous_ = ui::SetBackend(std::make_unique<ui::ScriptedBackend>());
  }
  void TearDown() override {
    ui::ResetMessageLoop();
    ui::SetBackend(std::move(previous_));
  }
  TempHome home_;
  std::unique_ptr<ui::Backend> previous_;
};

TEST_F(LookupHeadless, FindsRestoresAndActivatesTheWindowOfAnotherProgram) {
  LookupApp app(false, true);
  ASSERT_TRUE(app.Expect("shown")) << app.Seen();
  ASSERT_TRUE(app.Expect("iconic 1")) << app.Seen();

  const ui::TopLevelWindow window = ui::FindWindow("TFormKestrelStart");
  ASSERT_NE(window, 0u);
  EXPECT_EQ(ui::FindWindow("TFormKestrel"), 0u);
  EXPECT_TRUE(ui::IsIconic(window));
  EXPECT_TRUE(ui::ShowWindow(window, ui::SW_RESTORE));
  EXPECT_FALSE(ui::IsIconic(window));
  EXPECT_TRUE(app.Expect("iconic 0")) << app.Seen();
  EXPECT_TRUE(app.Expect("activated 1")) << app.Seen();
  EXPECT_TRUE(ui::SetForegroundWindow(window));
  EXPECT_TRUE(app.Expect("activated 2")) << app.Seen();

  EXPECT_TRUE(app.Close());
  EXPECT_FALSE(ui::SetForegroundWindow(window));
  EXPECT_FALSE(ui::ShowWindow(window, ui::SW_RESTORE));
  EXPECT_EQ(ui::FindWindow("TFormKestrelStart"), 0u);
}

TEST_F(LookupHeadless, OnlyShownWindowsAreFoundAndAnotherHomeSeesNone) {
  ui::Form form("TFormLookupTest");
  EXPECT_EQ(ui::FindWindow("TFormLookupTest"), 0u);
  form.Show();
  const ui::TopLevelWindow window = ui::FindWindow("TFormLookupTest");
  ASSERT_NE(window, 0u);
  EXPECT_FALSE(ui::IsIconic(window));
  ui::MinimizeForm(form);
  EXPECT_TRUE(ui::IsIconic(window));
  {
    // Programs with another home folder have a registry of their own.
    TempHome other;
    EXPECT_EQ(ui::FindWindow("TFormLookupTest"), 0u);
  }
  // A second window of the class is found once the first is gone.
  auto second = std::make_unique<ui::Form>("TFormLookupTest");
  second->Show();
  form.Hide();
  const ui::TopLevelWindow next = ui::FindWindow("TFormLookupTest");
  EXPECT_NE(next, 0u);
  EXPECT_FALSE(ui::IsIconic(next));
  second.reset();
  EXPECT_EQ(ui::FindWindow("TFormLookupTest"), 0u);
  EXPECT_FALSE(ui::SetForegroundWindow(next));
}

TEST_F(LookupHeadless, AnAnswerFromAnotherUserIsNotBelieved) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user takes root";
  // Another user binds the name under which this user's start program
  // would be found, and answers as a window would.
  const std::string squatter =
      "import os,socket,sys\n"
      "h=0xcbf29ce484222325\n"
      "for c in os.environ['HOME'].encode(): h=((h^c)*0x100000001b3)%2**64\n"
      "s=socket.socket(socket.AF_UNIX)\n"
      "s.bind('\\0kestrel-ui/%s/%016x/TFormKestrelStart#0'%(sys.argv[1],h))\n"
      "s.listen()\n"
      "s.settimeout(20)\n"
      "print('ready',flush=True)\n"
      "c=s.accept()[0]\n"
      "try: c.recv(64); c.sendall(b'%d 1\\n'%os.getpid())\n"
      "except OSError: pass\n";
  std::FILE* answer = ::popen(("cd / && " + AsUser(kOtherUser) + "/usr/bin/python3 -c \"" +
                               squatter + "\" " + std::to_string(::geteuid()))
                                  .c_str(),
                              "r");
  ASSERT_NE(answer, nullptr);
  char line[16] = {};
  ASSERT_NE(std::fgets(line, sizeof line, answer), nullptr);
  ASSERT_STREQ(line, "ready\n");
  EXPECT_EQ(ui::FindWindow("TFormKestrelStart"), 0u);
  ::pclose(answer);
}

}  // namespace

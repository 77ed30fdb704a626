#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/kernel.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

std::optional<std::uint32_t> RunToEnd(const std::string& commandLine,
                                      const std::string& folder = {}) {
  auto process = kernel::CreateProcess(commandLine, kernel::ShowWindow::Normal, folder);
  if (!process) return std::nullopt;
  EXPECT_TRUE(kernel::WaitForProcess(*process));
  return kernel::GetExitCodeProcess(*process);
}

// A command line that ends with the code given.
std::string Exit(int code) {
#ifdef _WIN32
  return "cmd /c exit " + std::to_string(code);
#else
  return "/bin/sh -c \"exit " + std::to_string(code) + "\"";
#endif
}

void WriteScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

// True while `pid` is a child of ours that has not been reaped.
bool IsOurChild(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  // pid (comm) state ppid ...
  std::istringstream rest(line.substr(line.rfind(')') + 1));
  std::string state;
  int ppid = 0;
  rest >> state >> ppid;
  return ppid == getpid();
}

// Waits (up to a generous limit) for a condition that another process makes true.
template <typename F>
bool Eventually(F condition) {
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(5ms))
    if (condition()) return true;
  return condition();
}

TEST(Process, ReportsTheExitCode) {
  EXPECT_EQ(RunToEnd(Exit(3)), 3u);
  EXPECT_EQ(RunToEnd(Exit(0)), 0u);
#ifdef _WIN32
  EXPECT_EQ(RunToEnd("cmd.exe /c exit 4"), 4u);  // found on PATH
#else
  EXPECT_EQ(RunToEnd("sh -c \"exit 4\""), 4u);  // found on PATH
#endif
}

TEST(Process, FailuresSetTheLastError) {
  TempHome home;
  EXPECT_EQ(kernel::CreateProcess("no-such-program-kestrel --x"), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kernel::CreateProcess("\"" + home.Path("nodir") + "/prog\" x"), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(kernel::CreateProcess("  "), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_INVALID_PARAMETER);

  WriteFile(home.Path("plain.txt"), "not a program");
  EXPECT_EQ(kernel::CreateProcess(home.Path("plain.txt")), std::nullopt);
#ifdef _WIN32  // Windows tries to run it
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_BAD_EXE_FORMAT);
#else
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_ACCESS_DENIED);
#endif
  WriteFile(home.Path("junk.exe"), "MZ not really");
  chmod(home.Path("junk.exe").c_str(), 0755);
  EXPECT_EQ(kernel::CreateProcess(home.Path("junk.exe")), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_BAD_EXE_FORMAT);

  EXPECT_EQ(kernel::CreateProcess(Exit(0), kernel::ShowWindow::Normal, home.Path("nodir")),
            std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_DIRECTORY);
}

TEST(Process, ArgumentsArriveSplitByTheWindowsRules) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows program splits the text it was given by rules of its own";
#endif
  TempHome home;
  const std::string script = home.Path("dir with blank/args.sh");
  std::filesystem::create_directory(home.path() / "dir with blank");
  WriteScript(script, "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > args.txt\n");
  EXPECT_EQ(RunToEnd("\"" + script + "\" \"a b\" c\\\"d \"\" e\\\\f  \"g\\\\\"\t"), 0u);
  EXPECT_EQ(ReadFile(home.Path("args.txt")), "[a b]\n[c\"d]\n[]\n[e\\\\f]\n[g\\]\n");
}

TEST(Process, RunsInTheGivenFolderWithTheCallersEnvironment) {
#ifdef _WIN32
  TempHome home;
  std::filesystem::create_directories(home.path() / "work" / "sub");
  ASSERT_TRUE(kernel::SetEnvironmentVariable("KESTREL_CHILD", "inherited"));
  EXPECT_EQ(RunToEnd("cmd /c \"cd> where.txt& echo %KESTREL_CHILD%> env.txt\"",
                     home.Path("work") + "/sub"),
            0u);
  kernel::SetEnvironmentVariable("KESTREL_CHILD", std::nullopt);
  EXPECT_EQ(ReadFile(home.Path("work/sub/where.txt")),
            kernel::NativePath(home.Path("work/sub")) + "\r\n");
  EXPECT_EQ(ReadFile(home.Path("work/sub/env.txt")), "inherited\r\n");
  // A bare name is looked for in the current folder too.
  WriteFile(home.Path("here-tool.cmd"), "@exit 6\r\n");
  EXPECT_EQ(RunToEnd("here-tool.cmd"), 6u);
#else
  TempHome home;
  std::filesystem::create_directories(home.path() / "work" / "sub");
  ASSERT_TRUE(kernel::SetEnvironmentVariable("KESTREL_CHILD", "inherited"));
  EXPECT_EQ(RunToEnd("/bin/sh -c \"pwd > where.txt; echo $KESTREL_CHILD > env.txt\"",
                     home.Path("work") + "\\sub"),
            0u);
  EXPECT_EQ(ReadFile(home.Path("work/sub/where.txt")),
            std::filesystem::canonical(home.path() / "work" / "sub").string() + "\n");
  EXPECT_EQ(ReadFile(home.Path("work/sub/env.txt")), "inherited\n");
  kernel::SetEnvironmentVariable("KESTREL_CHILD", std::nullopt);

  // A relative program is found from the caller's folder, not the child's.
  std::filesystem::create_directory(home.path() / "bin");
  WriteScript(home.Path("bin/tool.sh"), "echo ran > ran.txt\n");
  EXPECT_EQ(RunToEnd("bin\\tool.sh", home.Path("work")), 0u);
  EXPECT_EQ(ReadFile(home.Path("work/ran.txt")), "ran\n");
  // A bare name is looked for in the current folder too, as on Windows.
  WriteScript(home.Path("here-tool.sh"), "exit 6\n");
  EXPECT_EQ(RunToEnd("here-tool.sh"), 6u);
#endif
}

TEST(Process, OnlyTheStandardDescriptorsAreInherited) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows hands on no handle that was not made inheritable";
#else
  const int fd = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(fd, 3);
  const std::string probe = "/bin/sh -c \"test -e /proc/self/fd/";
  EXPECT_EQ(RunToEnd(probe + "2\""), 0u);  // the probe itself works
  EXPECT_EQ(RunToEnd(probe + std::to_string(fd) + "\""), 1u);
  close(fd);
#endif
}

TEST(Process, SignalHandlingStartsFresh) {
#ifdef _WIN32
  GTEST_SKIP() << "no signals on Windows";
#else
  // What the parent ignores, the child does not.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old);
  EXPECT_EQ(RunToEnd("/bin/sh -c \"kill -INT $$; exit 0\""), 128u + SIGINT);
  sigaction(SIGINT, &old, nullptr);
#endif
}

#ifdef _WIN32
// This program, run again to sleep for a while: a process that takes its
// time without any other program's help.
std::optional<kernel::Process> StartSleeper(
    std::chrono::milliseconds time, const std::string& program = kernel::GetModuleFileName()) {
  kernel::SetEnvironmentVariable("KESTREL_SLEEP_MS", std::to_string(time.count()));
  auto process =
      kernel::CreateProcess("\"" + program + "\" --gtest_filter=Sleeper.SleepsWhenAsked");
  kernel::SetEnvironmentVariable("KESTREL_SLEEP_MS", std::nullopt);
  return process;
}

TEST(Sleeper, SleepsWhenAsked) {
  const auto time = kernel::GetEnvironmentVariable("KESTREL_SLEEP_MS");
  if (!time) GTEST_SKIP() << "run by the process tests as a program that takes its time";
  std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(*time)));
}

TEST(Process, WaitWithTimeOut) {
  auto process = StartSleeper(1s);
  ASSERT_TRUE(process);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(kernel::WaitForProcess(*process, 100ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_FALSE(kernel::WaitForProcess(*process, 0ms));
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), std::nullopt);
  EXPECT_TRUE(kernel::WaitForProcess(*process, 30s));
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), 0u);
  EXPECT_TRUE(kernel::WaitForProcess(*process, 0ms));  // ended stays ended
}

// Windows keeps a running program's file: it is replaced once it has ended.
TEST(Process, ARunningProgramsFileIsNotReplaced) {
  TempHome home;
  const std::string copy = home.Path("running.exe");
  std::filesystem::copy_file(kernel::GetModuleFileName(), copy);
  auto process = StartSleeper(3s, copy);
  ASSERT_TRUE(process);
  WriteFile(home.Path("new.exe"), "new");
  EXPECT_FALSE(kernel::MoveFile(home.Path("new.exe"), copy));
  EXPECT_FALSE(kernel::DeleteFile(copy));
  EXPECT_EQ(kernel::GetFileSize(copy), std::filesystem::file_size(kernel::GetModuleFileName()));
  // Started after us, it cannot be our starter: not waited for.
  const auto start = std::chrono::steady_clock::now();
  kernel::WaitForProcessId(process->Id());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_TRUE(kernel::WaitForProcess(*process, 30s));
  EXPECT_TRUE(kernel::MoveFile(home.Path("new.exe"), copy));
  EXPECT_EQ(ReadFile(copy), "new");
}
#else
TEST(Process, WaitWithTimeOutAndSignalledExit) {
  auto process = kernel::CreateProcess("/bin/sh -c \"exec sleep 60\"");
  ASSERT_TRUE(process);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(kernel::WaitForProcess(*process, 100ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_FALSE(kernel::WaitForProcess(*process, 0ms));
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), std::nullopt);

  ASSERT_EQ(kill(process->Id(), SIGKILL), 0);
  EXPECT_TRUE(kernel::WaitForProcess(*process, 30s));
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), 128u + SIGKILL);
  EXPECT_TRUE(kernel::WaitForProcess(*process, 0ms));  // ended stays ended
}
#endif

TEST(Process, ATimeOutDoesNotDelayAnEndedProcess) {
  auto process = kernel::CreateProcess(Exit(5));
  ASSERT_TRUE(process);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(kernel::WaitForProcess(*process, 60s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), 5u);
}

TEST(Process, ExitCodeCanBeReadBeforeWaiting) {
  auto process = kernel::CreateProcess(Exit(7));
  ASSERT_TRUE(process);
  EXPECT_TRUE(Eventually([&] { return kernel::GetExitCodeProcess(*process).has_value(); }));
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), 7u);
  EXPECT_TRUE(kernel::WaitForProcess(*process));
  EXPECT_EQ(kernel::GetExitCodeProcess(*process), 7u);
}

TEST(Process, AbandonedProcessesAreReaped) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps no zombies";
#endif
  int ended = 0;
  {
    auto process = kernel::CreateProcess("/bin/sh -c \"exit 0\"");
    ASSERT_TRUE(process);
    ended = process->Id();
    ASSERT_TRUE(Eventually([&] { return kernel::GetExitCodeProcess(*process).has_value(); }));
    EXPECT_TRUE(IsOurChild(ended));  // a zombie until someone collects it
  }
  EXPECT_FALSE(IsOurChild(ended));

  int running = 0;
  {
    auto process = kernel::CreateProcess("/bin/sh -c \"exec sleep 0.2\"");
    ASSERT_TRUE(process);
    running = process->Id();
  }
  EXPECT_TRUE(Eventually([&] { return !IsOurChild(running); }));
}

TEST(Process, MovesHandOverTheProcess) {
  auto started = kernel::CreateProcess(Exit(9));
  ASSERT_TRUE(started);
  kernel::Process process = std::move(*started);
  EXPECT_FALSE(started->Valid());
  EXPECT_FALSE(kernel::WaitForProcess(*started));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_INVALID_HANDLE);
  ASSERT_TRUE(process.Valid());
  EXPECT_TRUE(kernel::WaitForProcess(process));
  EXPECT_EQ(kernel::GetExitCodeProcess(process), 9u);
  EXPECT_EQ(kernel::GetCurrentProcessId(), getpid());
}

}  // namespace

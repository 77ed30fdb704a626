// The command-line front end, run as a real process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

testing_support::ProcessOutput Kupdate(const std::string& args) {
  return testing_support::RunKupdate(args);
}

TEST(KupdateChecksum, PrintsControlFileValues) {
  TempHome home;
  WriteFile("abc", "abc");
  WriteFile("digits", "123456789");
  WriteFile("empty", "");
  auto run = Kupdate("checksum abc digits empty");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "abc\tsize=3\tcrc32=$6C8D9D41\tbytesum=$00000125\tversion=\n"
            "digits\tsize=9\tcrc32=$1ED0F3D0\tbytesum=$000001DC\tversion=\n"
            "empty\tsize=0\tcrc32=$00000000\tbytesum=$FFFFFFFF\tversion=\n");
}

TEST(KupdateChecksum, ShowsTheVersionOfOurOwnPrograms) {
  TempHome home;
  std::string self = std::string(KESTREL_BIN_DIR) + "/kupdate";
#ifdef _WIN32
  self += ".exe";
#endif
  auto run = Kupdate("checksum " + self);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\tversion=1.0.0.0\n"), std::string::npos) << run.out;
}

TEST(KupdateChecksum, MissingFileFailsButOthersArePrinted) {
  TempHome home;
  WriteFile("abc", "abc");
  std::filesystem::create_directory("folder");
  auto run = Kupdate("checksum missing abc folder");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "abc\tsize=3\tcrc32=$6C8D9D41\tbytesum=$00000125\tversion=\n");
  EXPECT_EQ(run.err,
            "kupdate: missing: no such file\n"
            "kupdate: folder: is a folder, not a file\n");
}

// Help goes to stdout with status 0; a wrong command line names what is
// wrong on stderr with status 2 and does nothing.
TEST(Kupdate, CommandLine) {
  TempHome home;
  const struct {
    std::string args;
    int status;
    std::string out, err;  // expected within stdout and stderr
  } cases[] = {
      {"--help", 0, "usage: kupdate COMMAND", ""},
      {"-h", 0, "kupdate run [--dir FOLDER]", ""},
      {"help", 0, "exit status of run: 0", ""},
      {"help run", 0, "usage: kupdate run", ""},
      {"run --help", 0, "--dir FOLDER", ""},
      {"extract -h", 0, "usage: kupdate extract CABINET FOLDER", ""},
      {"--version", 0, "kupdate 1.0.0.0\n", ""},
      {"", 2, "", "usage: kupdate"},
      {"frobnicate x", 2, "", "unknown command 'frobnicate'"},
      {"--frob", 2, "", "unknown option '--frob'"},
      {"help frobnicate", 2, "", "'frobnicate'"},
      {"run --frob x", 2, "", "kupdate run: unknown option '--frob'"},
      {"run --dir", 2, "", "option '--dir' needs a value"},
      {"run --yes=1 x", 2, "", "'--yes' takes no value"},
      {"fetch --set", 2, "", "option '--set' needs a value"},
      {"checksum", 2, "", "kupdate checksum: missing arguments"},
      {"extract a b c", 2, "", "too many arguments, from 'c' on"},
      {"run", 2, "", "usage: kupdate run [--dir FOLDER]"},
      {"run", 2, "", "Try 'kupdate help run'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto run = Kupdate(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(c.status == 0 ? run.err : run.out, "") << "nothing on the other stream";
  }
}

}  // namespace

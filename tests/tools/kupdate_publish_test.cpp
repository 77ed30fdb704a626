// kupdate keygen and publish, against the real signing tool both ways and
// through whole signed runs of kupdate run.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "platform/kernel.h"
#include "platform/signature.h"
#include "support/cab_support.h"
#include "support/servers.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::RunKupdate;
using testing_support::RunShell;
using testing_support::WriteFile;

// Over an older file, which the Windows library's copy_file does not
// replace.
void Copy(const fs::path& from, const fs::path& to) {
  fs::remove(to);
  fs::copy_file(from, to);
}

class KupdatePublish : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef KESTREL_TEST_PE_DIR
    GTEST_SKIP() << "no program with a version resource to publish";
#endif
    if (!signature::Available()) GTEST_SKIP() << "no signatures on this system";
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
      kernel::SetEnvironmentVariable(name, std::nullopt);
    for (const std::string& dir : {src_ + "sub", www_, app_, work_}) fs::create_directories(dir);
  }

  std::string Path(const std::string& name) const {
    return home_.Path(name);
  }

  // The second line of a public key file, as PublicKey takes it.
  std::string KeyLine(const std::string& pub) {
    const std::string text = ReadFile(pub);
    const auto start = text.find('\n') + 1;
    return text.substr(start, text.find('\n', start) - start);
  }

  // A folder of every kind of file: plain ones, a program with a version
  // resource, an LZ file, and a cabinet in a sub-folder.
  void MakeRelease(const std::string& text) {
    WriteFile(src_ + "readme.txt", text);
    Copy(std::string(KESTREL_TEST_PE_DIR) + "/versioned.exe", src_ + "tool.exe");
    WriteFile(work_ + "notes.txt", std::string(300, 'n') + text);
    ASSERT_EQ(RunShell("cd " + work_ + " && mscompress notes.txt >/dev/null 2>&1"), 0);
    fs::rename(work_ + "notes.txt_", src_ + "notes.txt_");
    WriteFile(work_ + "data.bin", "cabinet data " + text);
    cab_support::MakeCabinet(src_ + "sub/pack.cab", work_, {"data.bin"}, true);
  }

  // Publishes the release into the served folder, signed with the key.
  void Publish(const std::string& key = "k.key") {
    auto run = RunKupdate("publish --secret-key " + Path(key) + " " + src_ + " " + http_.Url("") +
                          " " + www_ + "Kestrel.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    Serve();
  }

  // Puts the release's files on the server, at their paths.
  void Serve() {
    for (const auto& entry : fs::recursive_directory_iterator(src_)) {
      if (!entry.is_regular_file()) continue;
      const fs::path to = fs::path(www_) / fs::relative(entry.path(), src_);
      fs::create_directories(to.parent_path());
      Copy(entry.path(), to);
    }
  }

  testing_support::ProcessOutput Run(const std::string& pub = "k.pub") {
    return RunKupdate(
        "run --yes --dir " + app_ + " --set PublicKey=" + KeyLine(Path(pub)) +
        " --set 'LastURLEntry.Key=Software\\Publish' --set LastURLEntry.Section=Run " +
        http_.Url("Kestrel.txt"));
  }

  // Every file of the installed folder with its content.
  std::map<std::string, std::string> Installed() {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(app_))
      if (entry.is_regular_file())
        files[fs::relative(entry.path(), app_).generic_string()] = ReadFile(entry.path().string());
    return files;
  }

  testing_support::TempHome home_;
  const std::string src_ = Path("src/"), www_ = Path("www/"), app_ = Path("app/"),
                    work_ = Path("work/");
  testing_support::HttpServer http_{www_, Path("http.log")};
};

TEST_F(KupdatePublish, KeysAndSignaturesPassBetweenKupdateAndTheSigningTool) {
  ASSERT_EQ(RunKupdate("keygen " + Path("k.pub") + " " + Path("k.key")).status, 0);
#ifndef _WIN32  // where files have no owner's permissions
  EXPECT_EQ(fs::status(Path("k.key")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  const std::string key = ReadFile(Path("k.key"));
  EXPECT_EQ(RunKupdate("keygen " + Path("other.pub") + " " + Path("k.key")).status, 1);
  EXPECT_EQ(ReadFile(Path("k.key")), key) << "a key is never overwritten";

  // kupdate's key signs with the tool and checks in kupdate...
  WriteFile(Path("f.txt"), "file");
  ASSERT_EQ(RunShell("minisign -S -s " + Path("k.key") + " -m " + Path("f.txt") +
                     " -t timestamp:5 </dev/null >/dev/null"),
            0);
  auto verified = RunKupdate("verify " + Path("f.txt") + " " + Path("k.pub"));
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(verified.out, "timestamp:5\n");

  // ...and what kupdate publishes checks with the tool.
  WriteFile(src_ + "a.txt", "a");
  Publish();
  EXPECT_EQ(RunShell("minisign -Vq -p " + Path("k.pub") + " -m " + www_ + "Kestrel.txt"), 0);

  // An encrypted key: the tool opens it with the password, kupdate refuses
  // a wrong one and replaces nothing.
  kernel::SetEnvironmentVariable("KESTREL_TEST_PASSWORD", "right horse");
  ASSERT_EQ(RunKupdate("keygen --password-env KESTREL_TEST_PASSWORD " + Path("e.pub") + " " +
                       Path("e.key"))
                .status,
            0);
  EXPECT_EQ(RunShell("echo 'right horse' | minisign -S -s " + Path("e.key") + " -m " +
                     Path("f.txt") + " >/dev/null 2>&1"),
            0);
  EXPECT_EQ(RunKupdate("verify " + Path("f.txt") + " " + Path("e.pub")).status, 0);
  kernel::SetEnvironmentVariable("KESTREL_TEST_PASSWORD", "wrong horse");
  const std::string published = ReadFile(www_ + "Kestrel.txt");
  auto wrong = RunKupdate("publish --secret-key " + Path("e.key") +
                          " --password-env KESTREL_TEST_PASSWORD " + src_ + " " + http_.Url("") +
                          " " + www_ + "Kestrel.txt");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;
  EXPECT_EQ(ReadFile(www_ + "Kestrel.txt"), published);
}

TEST_F(KupdatePublish, APublishedFolderInstallsSignedAndRefusesEveryAttack) {
  ASSERT_EQ(RunKupdate("keygen " + Path("k.pub") + " " + Path("k.key")).status, 0);
  ASSERT_EQ(RunKupdate("keygen " + Path("x.pub") + " " + Path("x.key")).status, 0);
  MakeRelease("one");
  Publish();
  fs::copy_file(www_ + "Kestrel.txt", work_ + "old.txt");
  auto first = Run();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(ReadFile(app_ + "readme.txt"), "one");
  EXPECT_EQ(ReadFile(app_ + "tool.exe"), ReadFile(src_ + "tool.exe"));
  EXPECT_EQ(ReadFile(app_ + "notes.txt"), std::string(300, 'n') + "one");
  EXPECT_EQ(ReadFile(app_ + "sub/data.bin"), "cabinet data one");
  EXPECT_EQ(Run().status, 1) << "nothing new";

  MakeRelease("two");
  Publish();
  const std::string control = ReadFile(www_ + "Kestrel.txt");
  struct Attack {
    const char* name;
    std::function<void()> make;
    const char* pub;
  };
  const std::vector<Attack> attacks{
      {"a changed control file",
       [&] { WriteFile(www_ + "Kestrel.txt", control + "\n[action]\nrunafter=evil\n"); }, "k.pub"},
      {"another key", [] {}, "x.pub"},
      {"no signature", [&] { fs::remove(www_ + "Kestrel.txt.minisig"); }, "k.pub"},
      {"a changed payload", [&] { WriteFile(www_ + "readme.txt", "evil"); }, "k.pub"},
  };
  const auto before = Installed();
  for (const Attack& attack : attacks) {
    Publish();
    attack.make();
    auto run = Run(attack.pub);
    EXPECT_EQ(run.status, 3) << attack.name << "\n" << run.err;
    EXPECT_EQ(Installed(), before) << attack.name;
  }

  // The release, then the older one signed again before it: refused.
  Publish();
  ASSERT_EQ(Run().status, 0);
  EXPECT_EQ(ReadFile(app_ + "readme.txt"), "two");
  const auto current = Installed();
  Copy(work_ + "old.txt", www_ + "Kestrel.txt");
  ASSERT_EQ(RunShell("minisign -S -s " + Path("k.key") + " -m " + www_ +
                     "Kestrel.txt -t timestamp:1000 </dev/null >/dev/null"),
            0);
  MakeRelease("one");
  Serve();
  auto replayed = Run();
  EXPECT_EQ(replayed.status, 3);
  EXPECT_NE(replayed.out.find("before the control file accepted last"), std::string::npos)
      << replayed.out;
  EXPECT_EQ(Installed(), current);
}

// Bytes the server sent for the GET requests from the first one on: each
// served file whole.
std::uintmax_t BytesServed(const std::vector<testing_support::LoggedRequest>& requests,
                           std::size_t first, const std::string& root) {
  std::uintmax_t sum = 0;
  for (std::size_t i = first; i < requests.size(); ++i) {
    const std::string path = requests[i].target.substr(1, requests[i].target.find('?') - 1);
    std::error_code missing;
    if (const auto size = fs::file_size(root + path, missing); !missing) sum += size;
  }
  return sum;
}

TEST_F(KupdatePublish, APatchedReleaseMovesOnlyWhatChangedAndAStrangeFileTakesTheWholeFile) {
  ASSERT_EQ(RunKupdate("keygen " + Path("k.pub") + " " + Path("k.key")).status, 0);
  constexpr std::size_t kSize = 20 << 20, kChanged = 1 << 20;
  std::mt19937 random(18);
  std::string old(kSize, '\0');
  for (char& c : old) c = static_cast<char>(random());
  std::string changed = old;
  for (std::size_t i = 0; i < kChanged; ++i)
    changed[5 * kChanged + i] = static_cast<char>(random());
  fs::create_directories(work_ + "old");
  WriteFile(work_ + "old/client.exe", old);
  WriteFile(src_ + "client.exe", changed);
  WriteFile(app_ + "client.exe", old);

  auto published = RunKupdate("publish --secret-key " + Path("k.key") + " --previous " + work_ +
                              "old " + src_ + " " + http_.Url("") + " " + www_ + "Kestrel.txt");
  ASSERT_EQ(published.status, 0) << published.err;
  Serve();
  ASSERT_TRUE(fs::exists(www_ + "client.exe.PAT"));

  // A signed run: the patch is fetched and checked like every file.
  std::size_t first = http_.Requests().size();
  auto patched = Run();
  ASSERT_EQ(patched.status, 0) << patched.err;
  EXPECT_TRUE(ReadFile(app_ + "client.exe") == changed) << "not the new release";
  EXPECT_LE(BytesServed(http_.Requests(), first, www_), kSize / 10);

  // A file that is neither release: the whole file.
  WriteFile(app_ + "client.exe", old.substr(1));
  first = http_.Requests().size();
  auto whole = Run();
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_TRUE(ReadFile(app_ + "client.exe") == changed) << "not the new release";
  EXPECT_GE(BytesServed(http_.Requests(), first, www_), kSize);
}

}  // namespace

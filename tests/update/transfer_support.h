// What the transfer tests share: a component that records its reports, and
// a fixture with a private home, a scripted user interface and the folders
// the loopback servers serve.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/ui.h"
#include "support/servers.h"
#include "support/test_support.h"
#include "update/updater.h"

namespace transfer_testing {

struct Report {
  int id;
  std::string text;
  int status;
  int error;
};

// Records every report with its identifier and message, whether or not an
// OnStatus handler is assigned.
class RecordingUpdater : public TUpdater {
 public:
  RecordingUpdater() : TUpdater(nullptr) {}
  using TUpdater::lastLocalFile_;
  using TUpdater::localControlFile_;
  using TUpdater::progressWindow_;
  using TUpdater::updateLocalFile_;

  std::vector<Report> reports;

  void ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode) override {
    std::string text = kernel::LoadString(ID);
    if (auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, Arg);
    reports.push_back({ID, text, StatusCode, ErrCode});
    TUpdater::ReportStatus(ID, Arg, StatusCode, ErrCode);
  }

  std::vector<int> Ids() const {
    std::vector<int> ids;
    for (const Report& r : reports) ids.push_back(r.id);
    return ids;
  }
  const Report* Find(int id) const {
    for (const Report& r : reports)
      if (r.id == id) return &r;
    return nullptr;
  }
};

// Proxy settings of the machine must not reach the tests.
inline void ClearProxyEnvironment() {
  for (const char* name :
       {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY",
        "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY", "SSL_CERT_FILE"})
    kernel::SetEnvironmentVariable(name, std::nullopt);
}

// A text of the given size whose bytes depend on their position, so a lost
// or repeated block shows.
inline std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return text;
}

class TransferTest : public ::testing::Test {
 protected:
  TransferTest() {
    ClearProxyEnvironment();
    auto backend = std::make_unique<ui::ScriptedBackend>();
    backend_ = backend.get();
    previous_ = ui::SetBackend(std::move(backend));
    std::filesystem::create_directories(www_);
    std::filesystem::create_directories(target_);
  }
  ~TransferTest() override { ui::SetBackend(std::move(previous_)); }

  testing_support::HttpServer& Http() {
    if (!http_) http_.emplace(www_, home_.Path("http.log"));
    return *http_;
  }
  testing_support::ProxyServer& Proxy() {
    if (!proxy_) proxy_.emplace("puser", "p@ss:word", home_.Path("proxy.log"));
    return *proxy_;
  }
  void Serve(const std::string& name, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(www_ + name).parent_path());
    testing_support::WriteFile(www_ + name, content);
  }
  // Files named UPD*.tmp in a folder.
  static std::vector<std::string> Temporaries(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      // A download that can be continued is written to a ".partial" file.
      if (name.starts_with("UPD") && (name.ends_with(".tmp") || name.ends_with(".partial")))
        found.push_back(name);
    }
    return found;
  }
  std::string TempFolder() const { return kernel::GetTempPath(); }

  testing_support::TempHome home_;
  const std::string www_ = home_.Path("www/");
  const std::string target_ = home_.Path("target/");
  ui::ScriptedBackend* backend_ = nullptr;
  std::unique_ptr<ui::Backend> previous_;
  std::optional<testing_support::HttpServer> http_;
  std::optional<testing_support::ProxyServer> proxy_;
  RecordingUpdater updater_;
};

}  // namespace transfer_testing

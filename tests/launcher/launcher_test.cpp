// The start program's settings, its proxy dialog and the components of its
// unpack frame, driven through the scripted user interface.
#include <gtest/gtest.h>

#include <memory>

#include "archive/netcopy.h"
#include "launcher/downloadframe.h"
#include "launcher/mainform.h"
#include "launcher/proxyform.h"
#include "launcher/settings.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "support/test_support.h"

using launcher::SplitString;
using Pieces = std::vector<std::string>;

namespace {

class Scripted : public ::testing::Test {
 protected:
  Scripted() {
    auto backend = std::make_unique<ui::ScriptedBackend>();
    backend_ = backend.get();
    previous_ = ui::SetBackend(std::move(backend));
  }
  ~Scripted() override { ui::SetBackend(std::move(previous_)); }

  testing_support::TempHome home_;
  ui::ScriptedBackend* backend_;
  std::unique_ptr<ui::Backend> previous_;
};

void SetSystemProxy(const std::string& value) {
  auto key = registry::Key::Create(registry::Hive::CurrentUser,
                                   "\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                                   "Internet Settings");
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->Set("ProxyServer", value));
}

}  // namespace

TEST(SplitString, KeepsTheWholeTextWithoutADelimiter) {
  EXPECT_EQ(SplitString("  KestrelStart.exe  ", "/", true), Pieces{"  KestrelStart.exe  "});
  EXPECT_EQ(SplitString("", "/", true), Pieces{""});
}

TEST(SplitString, KeepsEmptyPiecesButDropsAnEmptyRest) {
  EXPECT_EQ(SplitString("prog /f /proxy", "/", true), (Pieces{"prog", "f", "proxy"}));
  EXPECT_EQ(SplitString("prog /PROXY/F", "/", true), (Pieces{"prog", "PROXY", "F"}));
  EXPECT_EQ(SplitString("a//b/ ", "/", true), (Pieces{"a", "", "b"}));
  EXPECT_EQ(SplitString(" a : b ", ":", false), (Pieces{" a ", " b "}));
  EXPECT_EQ(SplitString("proxy.local:", ":", true), Pieces{"proxy.local"});
}

TEST(Settings, ChoosesEnglishOnlyForCodePage936) {
  EXPECT_EQ(&launcher::MessageSetFor(936), &launcher::EnglishMessages());
  for (unsigned page : {950u, 437u, 1252u, 0u})
    EXPECT_EQ(&launcher::MessageSetFor(page), &launcher::ChineseMessages()) << page;
  EXPECT_EQ(launcher::EnglishMessages().MsgFileMissing, " doesn't exist. It will be terminated!");
  EXPECT_EQ(launcher::ChineseMessages().MsgSetProxyFailed, "設定Proxy失敗!");
}

TEST(Settings, TriesTheSecondaryServerOnce) {
  std::uint8_t index = 0;
  EXPECT_EQ(launcher::GetServerBaseURL(index), launcher::PrimaryServerURL());
  EXPECT_TRUE(launcher::NextServer(index));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(launcher::GetServerBaseURL(index), launcher::SecondaryServerURL());
  EXPECT_FALSE(launcher::NextServer(index));
  EXPECT_EQ(index, 2);
  EXPECT_EQ(launcher::GetServerBaseURL(index), launcher::PrimaryServerURL());
  EXPECT_FALSE(launcher::NextServer(index));
  EXPECT_EQ(index, 2);
}

TEST_F(Scripted, RegistryValuesFallBackToDefaultsAndRefuseTheWrongType) {
  EXPECT_EQ(launcher::ReadInteger("ProxyPort", 7), 7u);
  EXPECT_EQ(launcher::ReadString("ProxyHost", "none"), "none");
  launcher::WriteInteger("ProxyPort", 8080);
  launcher::WriteString("ProxyHost", "proxy.local");
  EXPECT_EQ(launcher::ReadInteger("ProxyPort", 0), 8080u);
  EXPECT_EQ(launcher::ReadString("ProxyHost", ""), "proxy.local");
  launcher::WriteString("ProxyPort", "8080");
  EXPECT_THROW(launcher::ReadInteger("ProxyPort", 0), std::runtime_error);
}

TEST_F(Scripted, ProxyDialogHasTheDesignedLayout) {
  launcher::TFormProxy form;
  EXPECT_EQ(form.caption, "Kestrel - Proxy Setting");
  EXPECT_EQ(form.ClassName(), "TFormProxy");
  const std::pair<ui::Control*, int> order[] = {{&form.edtProxyHost, 0}, {&form.edtProxyPort, 1},
                                                {&form.edtProxyID, 2},   {&form.edtProxyPwd, 3},
                                                {&form.btnOk, 4},        {&form.btnCancel, 5}};
  for (auto [control, tab] : order) EXPECT_EQ(control->tabOrder, tab) << control->name;
  EXPECT_TRUE(form.edtProxyPwd.password);
  EXPECT_EQ(form.edtProxyPort.top, 40);
  EXPECT_EQ(form.btnCancel.left, 144);
}

TEST_F(Scripted, ProxyDialogChecksHostThenPort) {
  launcher::TFormProxy form;
  struct Case {
    const char *host, *port, *message;
    ui::Control* focus;
  };
  const Case cases[] = {
      {"", "8080", "Proxy Server is empty!", &form.edtProxyHost},
      {"proxy.local", "", "Proxy Port is empty!", &form.edtProxyPort},
      {"proxy.local", "0", "Proxy Port error!", &form.edtProxyPort},
      {"proxy.local", "-5", "Proxy Port error!", &form.edtProxyPort},
      {"proxy.local", "abc", "Proxy Port error!", &form.edtProxyPort},
      {"proxy.local", "80 ", "Proxy Port error!", &form.edtProxyPort},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + "|" + c.port);
    backend_->boxes.clear();
    form.modalResult = 0;
    form.edtProxyHost.caption = c.host;
    form.edtProxyPort.caption = c.port;
    ui::Click(form, form.btnOk);
    ASSERT_EQ(backend_->boxes.size(), 1u);
    EXPECT_EQ(backend_->boxes[0].text, c.message);
    EXPECT_EQ(backend_->boxes[0].caption, "Error");
    EXPECT_EQ(backend_->boxes[0].type & ui::MB_ICONMASK, unsigned(ui::MB_ICONERROR));
    EXPECT_EQ(form.Focused(), c.focus);
    EXPECT_EQ(form.modalResult, 0);
  }
  form.edtProxyPort.caption = "3128";
  ui::Click(form, form.btnOk);
  EXPECT_EQ(form.modalResult, ui::IDOK);
}

TEST_F(Scripted, ProxyDialogWalksTheFieldsWithEnterAndCancelsWithEscape) {
  launcher::TFormProxy form;
  form.SetFocus(&form.edtProxyHost);
  for (ui::Control* next : {&form.edtProxyPort, &form.edtProxyID, &form.edtProxyPwd, &form.btnOk}) {
    ui::KeyDown(form, ui::VK_RETURN);
    EXPECT_EQ(form.Focused(), next);
  }
  ui::KeyDown(form, ui::VK_RETURN);  // presses OK: the empty host is refused
  EXPECT_EQ(form.Focused(), &form.edtProxyHost);
  ui::KeyDown(form, ui::VK_ESCAPE);
  EXPECT_EQ(form.modalResult, ui::IDCANCEL);
}

TEST_F(Scripted, ProxyDialogOffersTheSystemProxyOnlyWithoutAStoredHost) {
  SetSystemProxy("proxy.local:8080");
  {
    launcher::TFormProxy form;
    form.FormShow();
    EXPECT_EQ(form.edtProxyHost.caption, "proxy.local");
    EXPECT_EQ(form.edtProxyPort.caption, "8080");
  }
  {
    launcher::TFormProxy form;
    form.edtProxyHost.caption = "stored.host";
    form.FormShow();
    EXPECT_EQ(form.edtProxyHost.caption, "stored.host");
    EXPECT_EQ(form.edtProxyPort.caption, "");
  }
}

TEST_F(Scripted, SystemProxyReadsTheSecureEntryOfAPerProtocolList) {
  SetSystemProxy("http=a:80;https=b:443;ftp=c:21");
  auto proxy = launcher::ReadSystemProxy();
  EXPECT_EQ(proxy.host, "b");
  EXPECT_EQ(proxy.port, "443");
  SetSystemProxy("HTTP=a:80;Https = b:443");
  EXPECT_EQ(launcher::ReadSystemProxy().host, "HTTP=a");  // "https" is looked for as written
  SetSystemProxy("http=a:80;HTTPS=b:443;https");
  EXPECT_EQ(launcher::ReadSystemProxy().host, "b");
  SetSystemProxy("proxy.only");
  proxy = launcher::ReadSystemProxy();
  EXPECT_EQ(proxy.host, "proxy.only");
  EXPECT_EQ(proxy.port, "");
}

TEST_F(Scripted, SystemProxyFallsBackToTheEnvironment) {
  kernel::SetEnvironmentVariable("http_proxy", "http://user:pw@envproxy.local:3128/");
  auto proxy = launcher::ReadSystemProxy();
  EXPECT_EQ(proxy.host, "envproxy.local");
  EXPECT_EQ(proxy.port, "3128");
  SetSystemProxy("registry.local:8080");
  EXPECT_EQ(launcher::ReadSystemProxy().host, "registry.local");
}

// Offline, and the user declines to dial: the start ends on a failure, and
// says so in its exit status.
TEST_F(Scripted, OfflineStartEndsWithAFailureStatus) {
  const auto connected = launcher::InternetConnected;
  launcher::InternetConnected = [] { return false; };
  backend_->answers.push_back(ui::IDNO);
  { launcher::TFormKestrelStart form; }
  launcher::InternetConnected = connected;
  EXPECT_EQ(backend_->boxes.size(), 2u) << "the dial prompt and the error";
  EXPECT_EQ(ui::RunMessageLoop(), 1);
}

// Without a display, /PROXY reads the dialog's fields from the terminal;
// a port the dialog refuses is said and asked again.
TEST_F(Scripted, ProxyDialogReadsItsFieldsFromATerminalWithoutADisplay) {
  EXPECT_EXIT(
      {
        if (!testing_support::TypeOnTerminal("proxy.local\n0\ntrader\ns3cret\n\n\n\n3128\n\n\n\n"))
          _exit(100);
        ui::SetBackend(ui::MakeHeadlessBackend());
        launcher::TFormProxy dialog;
        const int result = dialog.ShowModal();
        const bool filled =
            dialog.edtProxyHost.caption == "proxy.local" && dialog.edtProxyPort.caption == "3128" &&
            dialog.edtProxyID.caption == "trader" && dialog.edtProxyPwd.caption == "s3cret";
        _exit(result == ui::IDOK && filled ? 10 : result);
      },
      ::testing::ExitedWithCode(10),
      "Proxy Host \\[\\]: .*Proxy Port error!.*Proxy Port \\[0\\]: ");
}

TEST(NetCopy, StartsWithItsCreationValuesAndCopiesItems) {
  TNetCopy copy(nullptr);
  EXPECT_EQ(copy.Agent, "NetCopy");
  EXPECT_EQ(copy.DlgTimeLabel, "Estimated time left :");
  EXPECT_TRUE(copy.ShowDialog);
  EXPECT_FALSE(copy.ShowTime);
  EXPECT_EQ(copy.Version(), "2.3.0.0");

  TNetCopyItem& a = copy.Items.Add();
  a.URL = "http://host/file.cab";
  a.Protocol = wpFtp;
  a.FTPPort = 2121;
  a.Authenticate = TNetCopyAuthentication::waAuto;
  TNetCopyItem& b = copy.Items.Add();
  b.Assign(&a);
  EXPECT_EQ(b.URL, a.URL);
  EXPECT_EQ(b.Protocol, wpFtp);
  EXPECT_EQ(b.FTPPort, 2121);
  EXPECT_EQ(b.Authenticate, TNetCopyAuthentication::waAuto);
  EXPECT_EQ(b.Collection()->Owner(), &copy);
  TNetCopy other(nullptr);
  b.Assign(&other);  // not an item: nothing changes
  EXPECT_EQ(b.URL, a.URL);
}

TEST(DownLoadFrame, TakesItsStoredSettings) {
  launcher::TDownLoadFrame frame;
  EXPECT_EQ(frame.CabArchive1->CompressionType, typMSZIP);
  EXPECT_EQ(frame.CabArchive1->LZXMemory, lzxHigh);
  const TNetCopy& copy = *frame.NetCopy1;
  EXPECT_TRUE(copy.AlwaysOnTop);
  EXPECT_FALSE(copy.DlgShowCancel);
  EXPECT_FALSE(copy.ShowDialog);
  EXPECT_FALSE(copy.ShowDialogOnTop);
  EXPECT_FALSE(copy.ShowServer);
  EXPECT_TRUE(copy.ShowTime);
  EXPECT_TRUE(copy.HTTPKeepAliveAuthentication);
  EXPECT_TRUE(copy.OnCopyProgress && copy.OnURLNotFound && copy.OnErrorInfo);
  EXPECT_FALSE(copy.OnCopyDone);
  EXPECT_FALSE(frame.UnpackPackage("/nonexistent/Addin.cab", "Core"));
}

// The main window as the program builds it from the form it carries. The
// machine is offline, so its creation handler ends before any update.
class MainWindow : public Scripted {
 protected:
  MainWindow() {
    launcher::InternetConnected = [] { return false; };
    launcher::InternetDial = [] { return false; };
    form_ = std::make_unique<launcher::TFormKestrelStart>();
  }
  std::unique_ptr<launcher::TFormKestrelStart> form_;
};

TEST_F(MainWindow, ProgressBarStartsEmpty) {
  EXPECT_EQ(form_->LevelProgressBar1->Position(), 0);
}

// An empty entry at the end of a POSIX search path is the current folder.
TEST_F(MainWindow, ClientSearchPathWithoutPATHEndsWithItsFolders) {
  kernel::SetEnvironmentVariable("PATH", std::nullopt);
  form_->StartClient();
  const std::string path = kernel::GetEnvironmentVariable("PATH").value_or("");
  EXPECT_TRUE(path.ends_with(launcher::ProgramFolder() + "Core")) << path;
}

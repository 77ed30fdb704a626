#include "platform/ui.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/test_support.h"

namespace {

using namespace ui;

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageLoop();
    SetMainThread();
    auto backend = std::make_unique<ScriptedBackend>();
    scripted = backend.get();
    previous = SetBackend(std::move(backend));
  }
  void TearDown() override {
    ResetMessageLoop();
    SetBackend(std::move(previous));
  }
  ScriptedBackend* scripted = nullptr;
  std::unique_ptr<Backend> previous;
};

struct MessageLog : Form {
  MessageLog() : Form("TMessageLog") {}
  void HandleMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override {
    received.push_back({message, wParam, lParam});
  }
  struct Received {
    unsigned message;
    std::intptr_t wParam, lParam;
  };
  std::vector<Received> received;
};

// A dialog with OK and Cancel buttons that close it.
struct Dialog : Form {
  Dialog() : Form("TDialog") {
    Control ok;
    ok.name = "OK";
    ok.kind = ControlKind::Button;
    ok.modalResult = IDOK;
    Add(ok);
    Control cancel = ok;
    cancel.name = "Cancel";
    cancel.modalResult = IDCANCEL;
    Add(cancel);
  }
  Control& Button(const std::string& name) { return *Find(name); }
};

TEST(UiMessageBoxTypes, ButtonsAndDefaultsFollowWindows) {
  EXPECT_EQ(ButtonsOf(MB_OK), std::vector<int>{IDOK});
  EXPECT_EQ(ButtonsOf(MB_YESNOCANCEL | MB_ICONINFORMATION),
            (std::vector<int>{IDYES, IDNO, IDCANCEL}));
  EXPECT_EQ(ButtonsOf(MB_ABORTRETRYIGNORE), (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
  EXPECT_EQ(DefaultButtonOf(MB_YESNOCANCEL), IDYES);
  EXPECT_EQ(DefaultButtonOf(MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION), IDNO);
  EXPECT_EQ(DefaultButtonOf(MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
  EXPECT_EQ(DefaultButtonOf(MB_RETRYCANCEL | MB_DEFBUTTON2), IDCANCEL);
  // A default beyond the last button is the first button.
  EXPECT_EQ(DefaultButtonOf(MB_OK | MB_DEFBUTTON3), IDOK);
  EXPECT_STREQ(ButtonText(IDIGNORE), "Ignore");
  EXPECT_STREQ(ButtonText(42), "");
}

TEST_F(UiTest, PostedCallsRunInOrderFromAnyThread) {
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) PostCall([&order, i] { order.push_back(i); });
  ProcessMessages();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));

  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&seen, t] {
      for (int i = 0; i < kEach; ++i) PostCall([&seen, t, i] { seen[t].push_back(i); });
    });
  for (auto& poster : posters) poster.join();
  PostQuitMessage(0);
  EXPECT_EQ(RunMessageLoop(), 0);
  for (const auto& calls : seen) {
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kEach));
    EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
  }
}

TEST_F(UiTest, ProcessMessagesReturnsWhileCallsKeepPostingThemselves) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    PostCall(again);
  };
  PostCall(again);
  ProcessMessages();
  EXPECT_EQ(runs, 1);
  ProcessMessages();
  EXPECT_EQ(runs, 2);
}

TEST_F(UiTest, MessagesReachLivingWindowsOnly) {
  auto form = std::make_unique<MessageLog>();
  MessageLog other;
  const WindowHandle handle = form->Handle();
  EXPECT_NE(handle, 0u);
  EXPECT_NE(handle, other.Handle());
  EXPECT_EQ(FromHandle(handle), form.get());

  ASSERT_TRUE(PostMessage(handle, WM_USER + 2100, 5, -7));
  ProcessMessages();
  ASSERT_EQ(form->received.size(), 1u);
  EXPECT_EQ(form->received[0].message, WM_USER + 2100);
  EXPECT_EQ(form->received[0].wParam, 5);
  EXPECT_EQ(form->received[0].lParam, -7);

  // Posted while alive, destroyed before the loop gets there: dropped.
  ASSERT_TRUE(PostMessage(handle, WM_USER + 1));
  form.reset();
  ProcessMessages();
  EXPECT_EQ(FromHandle(handle), nullptr);
  EXPECT_FALSE(PostMessage(handle, WM_USER + 1));
  MessageLog later;
  EXPECT_NE(later.Handle(), handle);  // handles are not reused
  EXPECT_TRUE(later.received.empty());
  EXPECT_TRUE(other.received.empty());
}

TEST_F(UiTest, TimersFireUntilKilledAndDieWithTheirWindow) {
  MessageLog form;
  auto doomed = std::make_unique<MessageLog>();
  int ticks = 0, once = 0, orphan = 0;
  doomed->SetTimer(1, 1, [&] { ++orphan; });
  doomed.reset();
  form.SetTimer(7, 1, [&] {
    ++once;
    form.KillTimer(7);
  });
  form.SetTimer(1, 1, [&] {
    if (++ticks == 3) PostQuitMessage(9);
  });
  EXPECT_EQ(RunMessageLoop(), 9);
  // The quit request stops the timers, so the third tick is the last.
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(orphan, 0);
  EXPECT_FALSE(Terminated());  // the loop consumed the request
}

TEST_F(UiTest, QuitRunsWhatWasQueuedBeforeIt) {
  std::vector<int> order;
  PostCall([&] { order.push_back(1); });
  PostQuitMessage(4);
  PostCall([&] { order.push_back(2); });
  EXPECT_TRUE(Terminated());
  EXPECT_EQ(RunMessageLoop(), 4);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(UiTest, ModalFormEndsWithTheButtonClicked) {
  Dialog dialog;
  int clicks = 0, shows = 0, closes = 0;
  dialog.Button("OK").onClick = [&] { ++clicks; };
  dialog.onShow = [&] { ++shows; };
  dialog.onClose = [&] { ++closes; };
  scripted->onModal = [](Form&) {};  // leave it to the posted click
  PostCall([&] { Click(dialog, dialog.Button("OK")); });
  EXPECT_EQ(dialog.ShowModal(), IDOK);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(shows, 1);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(dialog.Visible());

  // Shown again, answered by the script, which posts its click.
  scripted->onModal = [](Form& form) { PostCall([&form] { Click(form, *form.Find("Cancel")); }); };
  EXPECT_EQ(dialog.ShowModal(), IDCANCEL);
  EXPECT_EQ(scripted->shownForms, (std::vector<std::string>{"TDialog", "TDialog"}));
  EXPECT_EQ(shows, 2);
}

TEST_F(UiTest, QuitEndsNestedModalLoopsAndTheOuterLoop) {
  Dialog outer, inner;
  int innerResult = -1, outerResult = -1;
  scripted->onModal = [&](Form& form) {
    if (&form == &outer) PostCall([&] { Click(outer, outer.Button("OK")); });
    if (&form == &inner) PostQuitMessage(3);
  };
  outer.Button("OK").onClick = [&] { innerResult = inner.ShowModal(); };
  PostCall([&] { outerResult = outer.ShowModal(); });
  EXPECT_EQ(RunMessageLoop(), 3);
  EXPECT_EQ(innerResult, IDCANCEL);
  // The outer dialog's button still set OK after its handler returned.
  EXPECT_EQ(outerResult, IDOK);

  // With a quit already pending a dialog does not even wait.
  PostQuitMessage(1);
  scripted->onModal = [](Form&) {};
  EXPECT_EQ(outer.ShowModal(), IDCANCEL);
}

TEST_F(UiTest, CloseAndDestroyEndAModalLoop) {
  Dialog dialog;
  scripted->onModal = [](Form& form) { PostCall([&form] { form.Close(); }); };
  EXPECT_EQ(dialog.ShowModal(), IDCANCEL);

  auto doomed = std::make_unique<Dialog>();
  scripted->onModal = [&](Form&) { PostCall([&] { doomed.reset(); }); };
  EXPECT_EQ(doomed->ShowModal(), IDCANCEL);
  EXPECT_EQ(doomed, nullptr);
}

TEST_F(UiTest, ClickFollowsTheKindOfControl) {
  Dialog form;
  Control box;
  box.name = "box";
  box.kind = ControlKind::CheckBox;
  Control& check = form.Add(box);
  Control radio;
  radio.kind = ControlKind::RadioButton;
  radio.name = "a";
  Control& a = form.Add(radio);
  radio.name = "b";
  Control& b = form.Add(radio);

  Click(form, check);
  EXPECT_TRUE(check.checked);
  Click(form, check);
  EXPECT_FALSE(check.checked);
  Click(form, a);
  Click(form, b);
  EXPECT_FALSE(a.checked);
  EXPECT_TRUE(b.checked);

  int clicks = 0;
  form.Button("OK").onClick = [&] { ++clicks; };
  form.Button("OK").enabled = false;
  Click(form, form.Button("OK"));
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(form.modalResult, 0);
}

TEST_F(UiTest, SynchronizeRunsOnTheUiThreadAndLetsTheWorkerGoOn) {
  const auto uiThread = std::this_thread::get_id();
  std::thread::id ranOn;
  bool handedOver = false;
  std::atomic<bool> workerContinued{false};
  std::thread worker([&] {
    handedOver = Synchronize([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_THROW(Synchronize([] { throw std::runtime_error("in the handler"); }),
                 std::runtime_error);
    workerContinued = true;
    PostQuitMessage(2);
  });
  EXPECT_EQ(RunMessageLoop(), 2);
  worker.join();
  EXPECT_TRUE(handedOver);
  EXPECT_EQ(ranOn, uiThread);
  EXPECT_TRUE(workerContinued);

  // On the UI thread itself the call runs at once.
  bool ran = false;
  EXPECT_TRUE(Synchronize([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

// Tells the test when a worker's request has reached the queue: posting
// wakes the backend only after the request is in.
struct WakeWatcher : ScriptedBackend {
  void Wake() override {
    Backend::Wake();
    std::lock_guard lock(mutex);
    woken = true;
    changed.notify_all();
  }
  void AwaitWake() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return woken; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool woken = false;
};

TEST_F(UiTest, ResetReleasesAThreadWaitingInSynchronize) {
  auto backend = std::make_unique<WakeWatcher>();
  WakeWatcher& watcher = *backend;
  auto scriptedBackend = SetBackend(std::move(backend));
  bool ran = false;
  std::optional<bool> handedOver;
  std::thread worker([&] { handedOver = Synchronize([&] { ran = true; }); });
  watcher.AwaitWake();
  ResetMessageLoop();
  worker.join();
  ASSERT_TRUE(handedOver.has_value());
  EXPECT_FALSE(*handedOver);
  SetMainThread();
  ProcessMessages();
  EXPECT_FALSE(ran);
}

TEST_F(UiTest, ScriptedBoxesAnswerFromTheQueueThenTheDefault) {
  scripted->answers = {IDNO};
  EXPECT_EQ(MessageBox(nullptr, "Dial?", "Error", MB_YESNOCANCEL | MB_ICONINFORMATION), IDNO);
  EXPECT_EQ(MessageBox(nullptr, "Again?", "Error", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(MessageBox(nullptr, "Done", "Info", MB_OK), IDOK);
  ASSERT_EQ(scripted->boxes.size(), 3u);
  EXPECT_EQ(scripted->boxes[0].text, "Dial?");
  EXPECT_EQ(scripted->boxes[0].caption, "Error");
  EXPECT_EQ(scripted->boxes[0].type, MB_YESNOCANCEL | MB_ICONINFORMATION);
  EXPECT_EQ(scripted->boxes[2].answer, IDOK);

  // A modal form without a script is cancelled rather than left hanging.
  Dialog dialog;
  EXPECT_EQ(dialog.ShowModal(), IDCANCEL);
}

// ---- The headless backend, in child processes with their own standard input --------

// Runs a box of the headless backend with standard input taken from a
// pseudo-terminal into which `typed` was written; exits with the answer.
[[noreturn]] void AnswerOnTerminal(const std::string& typed, unsigned type) {
  if (!testing_support::TypeOnTerminal(typed)) _exit(100);
  SetBackend(MakeHeadlessBackend());
  _exit(MessageBox(nullptr, "Start the default dial-up?", "Error", type));
}

[[noreturn]] void AnswerWithoutTerminal(unsigned type) {
#ifdef _WIN32
  int null = open("NUL", O_RDONLY);
#else
  int null = open("/dev/null", O_RDONLY);
#endif
  if (null < 0 || dup2(null, STDIN_FILENO) < 0) _exit(101);
  SetBackend(MakeHeadlessBackend());
  _exit(MessageBox(nullptr, "Overwrite the file?", "Question", type));
}

TEST(UiHeadless, WithoutATerminalTheDefaultButtonAnswers) {
#ifdef _WIN32
  // GoogleTest's own expressions on Windows: "." stops at a line end.
  const char* shown = "taking the default button \"No\"";
#else
  const char* shown =
      "== Question ==.*Overwrite the file\\?.*\\[2\\] No \\(default\\).*No terminal";
#endif
  EXPECT_EXIT(AnswerWithoutTerminal(MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION),
              ::testing::ExitedWithCode(IDNO), shown);
  // Shown forms cannot be answered either: they end with Cancel.
  EXPECT_EXIT(
      {
        SetBackend(MakeHeadlessBackend());
        Form form("TProxyForm");
        _exit(form.ShowModal());
      },
      ::testing::ExitedWithCode(IDCANCEL), "TProxyForm.*no display");
}

TEST(UiHeadless, ATerminalAnswersByNumberLetterOrEscape) {
#ifdef _WIN32
  GTEST_SKIP() << "no pseudo-terminal to type on under Windows";
#endif
  const unsigned dial = MB_YESNOCANCEL | MB_ICONINFORMATION;
  EXPECT_EXIT(AnswerOnTerminal("n\n", dial), ::testing::ExitedWithCode(IDNO), "\\[3\\] Cancel");
  EXPECT_EXIT(AnswerOnTerminal("1\n", dial), ::testing::ExitedWithCode(IDYES), "");
  EXPECT_EXIT(AnswerOnTerminal("\x1b\n", dial), ::testing::ExitedWithCode(IDCANCEL), "");
  // Enter takes the one default the box offers; Esc and the end of input
  // are Cancel.
  EXPECT_EXIT(AnswerOnTerminal("\n", dial), ::testing::ExitedWithCode(IDYES),
              "\\[1\\] Yes \\(default\\).*\\(Enter: Yes, Esc: Cancel\\)");
  EXPECT_EXIT(AnswerOnTerminal("\x04", dial), ::testing::ExitedWithCode(IDCANCEL), "End of input");
  // Without Cancel, Enter takes the default; a wrong answer is asked again.
  EXPECT_EXIT(AnswerOnTerminal("maybe\n7\nRetry\n", MB_RETRYCANCEL | MB_DEFBUTTON2),
              ::testing::ExitedWithCode(IDRETRY), "\"maybe\" names no button");
  EXPECT_EXIT(AnswerOnTerminal("\n", MB_YESNO | MB_DEFBUTTON2), ::testing::ExitedWithCode(IDNO),
              "");
}

// A form with fields is filled on a terminal: each field in tab order by
// the label beside it (Enter keeps its value), then its buttons.
TEST(UiHeadless, ATerminalFillsTheFieldsOfAForm) {
#ifdef _WIN32
  GTEST_SKIP() << "no pseudo-terminal to type on under Windows";
#endif
  auto fill = [](const std::string& typed) {
    if (!testing_support::TypeOnTerminal(typed)) _exit(100);
    SetBackend(MakeHeadlessBackend());
    Dialog form;
    form.Button("OK").defaultButton = true;
    form.Button("Cancel").cancel = true;
    form.Add(MakeControl(ControlKind::Label, "L1", 10, 10, 60, 13, "Host"));
    form.Add(MakeControl(ControlKind::Edit, "edtHost", 80, 8, 100, 21, "", 0));
    form.Add(MakeControl(ControlKind::Label, "L2", 10, 40, 60, 13, "Secret"));
    form.Add(MakeControl(ControlKind::Edit, "edtSecret", 80, 38, 100, 21, "old", 1)).password =
        true;
    const int result = form.ShowModal();
    const bool filled =
        form.Find("edtHost")->caption == "proxy.local" && form.Find("edtSecret")->caption == "old";
    _exit(result == IDOK && filled ? 10 : result);
  };
  EXPECT_EXIT(fill("proxy.local\n\n\n"), ::testing::ExitedWithCode(10),
              "Host \\[\\]: Secret \\[\\*\\*\\*\\]: .*\\[1\\] OK \\(default\\)");
  EXPECT_EXIT(fill("proxy.local\n\n2\n"), ::testing::ExitedWithCode(IDCANCEL), "");
  EXPECT_EXIT(fill("proxy.local\n\x04"), ::testing::ExitedWithCode(IDCANCEL), "End of input");
}

}  // namespace

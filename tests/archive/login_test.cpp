// The credentials prompt, driven through the scripted user interface.
#include "archive/login.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class LoginTest : public ::testing::Test {
 protected:
  LoginTest() {
    auto backend = std::make_unique<ui::ScriptedBackend>();
    backend_ = backend.get();
    previous_ = ui::SetBackend(std::move(backend));
  }
  ~LoginTest() override { ui::SetBackend(std::move(previous_)); }

  ui::ScriptedBackend* backend_;
  std::unique_ptr<ui::Backend> previous_;
};

}  // namespace

TEST(LoginForm, HasTheDesignedLayout) {
  TQelLoginForm form;
  EXPECT_EQ(form.ClassName(), "TQelLoginForm");
  EXPECT_EQ(form.ClientWidth(), 320);
  EXPECT_EQ(form.ClientHeight(), 189);
  EXPECT_TRUE(form.Button1.defaultButton);
  EXPECT_TRUE(form.Button2.cancel);
  EXPECT_EQ(form.borderStyle, ui::BorderStyle::Dialog);
  EXPECT_EQ(form.position, ui::FormPosition::ScreenCenter);

  struct Expected {
    const char* name;
    ui::ControlKind kind;
    int left, top, width, height;
    const char* caption;
    int tabOrder;
  };
  const Expected expected[] = {
      {"Image1", ui::ControlKind::Image, 0, 0, 320, 60, "", -1},
      {"Label1", ui::ControlKind::Label, 16, 80, 0, 0, "&User name: ", -1},
      {"Label2", ui::ControlKind::Label, 16, 112, 0, 0, "&Password:", -1},
      {"Edit1", ui::ControlKind::Edit, 104, 80, 193, 21, "", 0},
      {"Edit2", ui::ControlKind::Edit, 104, 112, 193, 21, "", 1},
      {"Button1", ui::ControlKind::Button, 144, 152, 75, 25, "OK", 2},
      {"Button2", ui::ControlKind::Button, 224, 152, 75, 25, "Cancel", 3},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    ui::Control* c = form.Find(e.name);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->kind, e.kind);
    EXPECT_EQ(c->left, e.left);
    EXPECT_EQ(c->top, e.top);
    if (e.width) {
      EXPECT_EQ(c->width, e.width);
      EXPECT_EQ(c->height, e.height);
    }
    EXPECT_EQ(c->caption, e.caption);
    EXPECT_EQ(c->tabOrder, e.tabOrder);
  }
  EXPECT_TRUE(form.Edit2.password);
  EXPECT_FALSE(form.Edit1.password);
  EXPECT_EQ(form.Button1.modalResult, ui::IDOK);
  EXPECT_EQ(form.Button2.modalResult, ui::IDCANCEL);
}

TEST_F(LoginTest, OkReturnsWhatWasTypedIntoEmptyFields) {
  std::string caption, shownUser = "x", shownPassword = "x";
  backend_->onModal = [&](ui::Form& form) {
    auto& login = static_cast<TQelLoginForm&>(form);
    caption = form.caption;
    shownUser = login.Edit1.caption;
    shownPassword = login.Edit2.caption;
    login.Edit1.caption = "alice";
    login.Edit2.caption = "s3cret";
    ui::Click(form, login.Button1);
  };
  std::string user = "previous", password = "previous";
  EXPECT_TRUE(PromptCredentials("Connect to updates.example.com", user, password));
  EXPECT_EQ(caption, "Connect to updates.example.com");
  // The values passed in are not shown.
  EXPECT_EQ(shownUser, "");
  EXPECT_EQ(shownPassword, "");
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(password, "s3cret");
  EXPECT_EQ(backend_->shownForms, std::vector<std::string>{"TQelLoginForm"});
}

TEST_F(LoginTest, OkWithEmptyFieldsGivesEmptyTexts) {
  backend_->onModal = [](ui::Form& form) { ui::Click(form, *form.Find("Button1")); };
  std::string user = "u", password = "p";
  EXPECT_TRUE(PromptCredentials("Connect to h", user, password));
  EXPECT_EQ(user, "");
  EXPECT_EQ(password, "");
}

TEST_F(LoginTest, CancelAndCloseLeaveTheValues) {
  for (bool viaClose : {false, true}) {
    backend_->onModal = [viaClose](ui::Form& form) {
      form.Find("Edit1")->caption = "typed";
      if (viaClose)
        form.Close();  // Esc and the close box
      else
        ui::Click(form, *form.Find("Button2"));
    };
    std::string user = "u", password = "p";
    EXPECT_FALSE(PromptCredentials("Connect to h", user, password));
    EXPECT_EQ(user, "u");
    EXPECT_EQ(password, "p");
  }
}

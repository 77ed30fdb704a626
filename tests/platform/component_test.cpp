#include "platform/component.h"

#include <gtest/gtest.h>

namespace {

enum TColour { clRed, clGreen, clBlue };

class TPart : public TPersistent {
 public:
  bool Save = false;
  std::string Key;
  void DefineProperties(PropertyList& p) override {
    p.Bool("Save", Save, false);
    p.String("Key", Key);
  }
};

class TGadget : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TGadget"; }
  std::string Text;
  int Count = 21;
  bool Enabled = true;
  char Sep = '/';
  TColour Colour = clGreen;
  TPart Part;
  std::string version = "1.0";
  void DefineProperties(PropertyList& p) override {
    p.String("Text", Text);
    p.Integer("Count", Count, 21);
    p.Bool("Enabled", Enabled, true);
    p.Char("Sep", Sep);
    p.Enum("Colour", Colour, {"clRed", "clGreen", "clBlue"}, clGreen);
    p.Object("Part", Part);
    p.Event("OnClick");
    p.StringAccessor(
        "Version", [this] { return version; }, [](const std::string&) {});
  }
};

class TWatcher : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TWatcher"; }
  TComponent* watched = nullptr;
  void Watch(TComponent* c) {
    watched = c;
    FreeNotification(c);
  }

 protected:
  void Notification(TComponent* c, Operation op) override {
    if (op == Operation::opRemove && c == watched) watched = nullptr;
  }
};

TEST(FormDefinition, AppliesEveryKindOfValue) {
  TGadget g(nullptr);
  LoadComponent(g, R"(object Gadget1: TGadget
  Text = 'It''s a '#13#10'two-line' +
    ' text'
  Count = -$10
  Enabled = false
  Sep = '.'
  Colour = clBlue
  Part.Save = True
  Part.Key = 'Software\Kestrel'
end
)");
  EXPECT_EQ(g.Name, "Gadget1");
  EXPECT_EQ(g.Text, "It's a \r\ntwo-line text");
  EXPECT_EQ(g.Count, -16);
  EXPECT_FALSE(g.Enabled);
  EXPECT_EQ(g.Sep, '.');
  EXPECT_EQ(g.Colour, clBlue);
  EXPECT_TRUE(g.Part.Save);
  EXPECT_EQ(g.Part.Key, "Software\\Kestrel");
}

TEST(FormDefinition, ReadOnlyPropertyIgnoresStoredValue) {
  TGadget g(nullptr);
  LoadComponent(g, "object G: TGadget\n  Version = '9.9'\nend\n");
  EXPECT_EQ(g.version, "1.0");
}

TEST(FormDefinition, EventsAreBoundByHandlerName) {
  TGadget g(nullptr);
  std::string bound;
  LoadComponent(g, "object G: TGadget\n  OnClick = GClick\nend",
                [&](TComponent& c, const std::string& event, const std::string& handler) {
                  bound = c.Name + "." + event + "=" + handler;
                  return handler == "GClick";
                });
  EXPECT_EQ(bound, "G.OnClick=GClick");
  EXPECT_THROW(
      LoadComponent(g, "object G: TGadget\n  OnClick = Missing\nend",
                    [](TComponent&, const std::string&, const std::string&) { return false; }),
      EReadError);
}

TEST(FormDefinition, NestedObjectsConfigureOwnedComponents) {
  TGadget form(nullptr);
  auto* child = new TGadget(&form);
  child->Name = "Inner";
  LoadComponent(form, R"(object Outer: TGadget
  Count = 1
  object Inner: TGadget
    Count = 2
  end
end)");
  EXPECT_EQ(form.Count, 1);
  EXPECT_EQ(child->Count, 2);
  EXPECT_EQ(child->Name, "Inner");
}

TEST(FormDefinition, MalformedTextNamesTheLine) {
  TGadget g(nullptr);
  auto message = [&](const std::string& text) {
    try {
      LoadComponent(g, text);
    } catch (const EReadError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message("object G: TGadget\n  Nope = 1\nend"), "line 2: unknown property G.Nope");
  EXPECT_NE(message("object G: TGadget\n  Count = 'x'\nend").find("line 2"), std::string::npos);
  EXPECT_NE(message("object G: TGadget\n  Count = 99999999999\nend").find("32-bit"),
            std::string::npos);
  EXPECT_NE(message("object G: TGadget\n  Colour = clPink\nend").find("clRed"), std::string::npos);
  EXPECT_NE(message("object G: TGadget\n  Text = 'open\nend").find("unterminated"),
            std::string::npos);
  EXPECT_NE(message("object G: TGadget\n  Count = 1\n").find("'end' expected"), std::string::npos);
  EXPECT_NE(message("object G: TOther\nend").find("not a TGadget"), std::string::npos);
  EXPECT_NE(message("object G: TGadget\nend\nextra").find("after the final"), std::string::npos);
  EXPECT_NE(message("object G: TGadget\n  object Missing: TGadget\n  end\nend").find("Missing"),
            std::string::npos);
  EXPECT_NE(message("object G: TGadget\n  Text = #999\nend").find("character code"),
            std::string::npos);
}

TEST(FormDefinition, StoreOmitsDefaultsAndRoundTrips) {
  TGadget g(nullptr);
  g.Name = "G";
  EXPECT_EQ(StoreComponent(g), "object G: TGadget\n  Sep = '/'\n  Version = '1.0'\nend\n");

  g.Text = "tab\there 'q'";
  g.Count = 7;
  g.Colour = clRed;
  g.Part.Save = true;
  std::string stored = StoreComponent(g);
  EXPECT_NE(stored.find("Text = 'tab'#9'here ''q'''"), std::string::npos) << stored;
  EXPECT_NE(stored.find("Part.Save = True"), std::string::npos);

  TGadget copy(nullptr);
  LoadComponent(copy, stored);
  EXPECT_EQ(copy.Text, g.Text);
  EXPECT_EQ(copy.Count, 7);
  EXPECT_EQ(copy.Colour, clRed);
  EXPECT_TRUE(copy.Part.Save);
}

TEST(FormDefinition, SetPropertyTakesFormSyntax) {
  TGadget g(nullptr);
  SetProperty(g, "count", "$FF");
  SetProperty(g, "Part.Key", "'a b'");
  SetProperty(g, "Colour", "clRed");
  EXPECT_EQ(g.Count, 255);
  EXPECT_EQ(g.Part.Key, "a b");
  EXPECT_EQ(g.Colour, clRed);
  EXPECT_THROW(SetProperty(g, "Nope", "1"), EReadError);
  EXPECT_THROW(SetProperty(g, "Count", "1 2"), EReadError);
  EXPECT_THROW(SetProperty(g, "OnClick", "Handler"), EReadError);
}

TEST(Component, OwnerFreesWhatItOwnsAndNotifiesReferences) {
  auto* owner = new TGadget(nullptr);
  auto* watcher = new TWatcher(owner);
  auto* watched = new TGadget(nullptr);
  watcher->Watch(watched);
  delete watched;
  EXPECT_EQ(watcher->watched, nullptr);

  // The reverse order: the watcher goes first and must not be told later.
  auto* other = new TGadget(nullptr);
  watcher->Watch(other);
  delete owner;  // frees the watcher too
  delete other;  // would touch the freed watcher if the link were left
}

}  // namespace

// The form-file parser and reader on a small form of test classes.
#include "toolkit/exceptions.h"
#include "toolkit/formparser.h"
#include "toolkit/formreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int gLive = 0;
std::vector<std::wstring> gLoaded;

enum TShape { shNone, shRound, shSquare };
enum class TFlag { flA, flB, flC };
using TFlags = TSet<TFlag>;

class TPen : public TPersistent {
public:
    int GetWidth() const { return fWidth; }
    void SetWidth(int v) { fWidth = v; }
    String GetStyle() const { return fStyle; }
    void SetStyle(const String& v) { fStyle = v; }

private:
    int fWidth = 1;
    String fStyle;
};

class TItem : public TComponent {
public:
    explicit TItem(TComponent* owner) : TComponent(owner) { ++gLive; }
    ~TItem() override { --gLive; }

    int GetSize() const { return fSize; }
    void SetSize(int v) {
        if (IsLoading())
            fWrittenWhileLoading = true;
        fSize = v;
    }
    bool GetOn() const { return fOn; }
    void SetOn(bool v) { fOn = v; }
    TShape GetShape() const { return fShape; }
    void SetShape(TShape v) { fShape = v; }
    TFlags GetFlags() const { return fFlags; }
    void SetFlags(TFlags v) { fFlags = v; }
    String GetCaption() const { return fCaption; }
    void SetCaption(const String& v) { fCaption = v; }
    TStrings* GetLines() { return &fLines; }
    TPen* GetPen() { return &fPen; }
    TItem* GetBuddy() const { return fBuddy; }
    void SetBuddy(TItem* v) {
        EXPECT_TRUE(IsLoading());
        fBuddy = v;
    }
    TNotifyEvent GetOnPing() const { return fOnPing; }
    void SetOnPing(TNotifyEvent v) { fOnPing = v; }
    TComponent* Parent = nullptr;
    bool fWrittenWhileLoading = false;

    void SetParentComponent(TComponent* p) override { Parent = p; }
    void Loaded() override {
        TComponent::Loaded();
        gLoaded.push_back(GetName());
    }

private:
    int fSize = 0;
    bool fOn = false;
    TShape fShape = shNone;
    TFlags fFlags;
    String fCaption;
    TStringList fLines;
    TPen fPen;
    TItem* fBuddy = nullptr;
    TNotifyEvent fOnPing;
};

class TOtherItem : public TComponent {
public:
    using TComponent::TComponent;
};

class TTestForm : public TComponent {
public:
    TTestForm() : TComponent(nullptr) {}
    ~TTestForm() override { DestroyComponents(); }
    void Ping(TObject*) { ++Pings; }
    void Wrong(TObject*, int) {}
    void Loaded() override {
        TComponent::Loaded();
        gLoaded.push_back(GetName());
    }
    int Pings = 0;

    TFormHandlers Handlers() {
        TFormHandlers h;
        h.Add(L"Ping", TNotifyEvent::Bind<&TTestForm::Ping>(this));
        h.Add(L"Wrong", TEvent<void(TObject*, int)>::Bind<&TTestForm::Wrong>(this));
        return h;
    }
};

class FormFile : public testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterComponentClass<TTestForm>(L"TTestForm", nullptr);
        RegisterComponentClass<TOtherItem>(L"TOtherItem", nullptr);
        RegisterPersistentClass<TPen>(L"TPen")
            .Integer("Width", &TPen::SetWidth, &TPen::GetWidth)
            .Text("Style", &TPen::SetStyle, &TPen::GetStyle);
        RegisterComponentClass<TItem>(L"TItem", nullptr)
            .Integer("Size", &TItem::SetSize, &TItem::GetSize, {{L"szBig", 100}})
            .Boolean("On", &TItem::SetOn, &TItem::GetOn)
            .Enum("Shape", &TItem::SetShape, &TItem::GetShape,
                  {{L"shNone", shNone}, {L"shRound", shRound}, {L"shSquare", shSquare}})
            .Set("Flags", &TItem::SetFlags, &TItem::GetFlags,
                 {{L"flA", 0}, {L"flB", 1}, {L"flC", 2}})
            .Text("Caption", &TItem::SetCaption, &TItem::GetCaption)
            .Strings("Lines", &TItem::GetLines)
            .Persistent("Pen", &TItem::GetPen, "TPen")
            .Component("Buddy", &TItem::SetBuddy, &TItem::GetBuddy)
            .Event("OnPing", &TItem::SetOnPing, &TItem::GetOnPing);
    }
    void SetUp() override {
        gLive = 0;
        gLoaded.clear();
    }

    // Reads text into form; returns the error message, or empty on success.
    std::wstring ReadError(const char* text) {
        try {
            ReadForm(&form, text, form.Handlers());
        } catch (const Exception& e) {
            return e.Message();
        }
        return L"";
    }

    TTestForm form;
};

const char* kGood = R"(object Main: TTestForm
  object Panel: TItem
    Size = 7
    Caption = 'It''s'#13#10 +
      'two lines'
    object Inner: TItem
      Size = szBig
      On = True
      Shape = shSquare
      Flags = [flA, flC]
      Pen.Width = 3
      Pen.Style = 'dash'
      Lines.Strings = (
        'one'
        'two')
      Buddy = Panel
      OnPing = Ping
    end
  end
  object Last: TItem
    Size = -5
    Buddy = Inner
  end
end
)";

TEST_F(FormFile, ReadsNestedObjectsSetsReferencesAndEvents) {
    ASSERT_EQ(ReadError(kGood), L"");
    EXPECT_EQ(form.GetName(), L"Main");
    ASSERT_EQ(form.ComponentCount(), 3);
    auto* panel = dynamic_cast<TItem*>(form.FindComponent(L"Panel"));
    auto* inner = dynamic_cast<TItem*>(form.FindComponent(L"Inner"));
    auto* last = dynamic_cast<TItem*>(form.FindComponent(L"Last"));
    ASSERT_TRUE(panel && inner && last);
    EXPECT_EQ(panel->GetOwner(), &form);
    EXPECT_EQ(inner->GetOwner(), &form); // owned by the form, parented by the panel
    EXPECT_EQ(inner->Parent, panel);
    EXPECT_EQ(panel->Parent, &form);

    EXPECT_EQ(panel->GetCaption(), L"It's\r\ntwo lines");
    EXPECT_TRUE(panel->fWrittenWhileLoading);
    EXPECT_EQ(inner->GetSize(), 100);
    EXPECT_TRUE(inner->GetOn());
    EXPECT_EQ(inner->GetShape(), shSquare);
    EXPECT_EQ(inner->GetFlags(), (TFlags{TFlag::flA, TFlag::flC}));
    EXPECT_EQ(inner->GetPen()->GetWidth(), 3);
    EXPECT_EQ(inner->GetPen()->GetStyle(), L"dash");
    EXPECT_EQ(inner->GetLines()->Text(), L"one\r\ntwo\r\n");
    EXPECT_EQ(inner->GetBuddy(), panel);
    EXPECT_EQ(last->GetBuddy(), inner); // a reference forward in the file
    EXPECT_EQ(last->GetSize(), -5);
    inner->GetOnPing()(inner);
    EXPECT_EQ(form.Pings, 1);

    EXPECT_EQ(gLoaded, (std::vector<std::wstring>{L"Main", L"Panel", L"Inner", L"Last"}));
    EXPECT_FALSE(form.IsLoading());
    EXPECT_FALSE(inner->IsLoading());

    // The readers give the stored values back.
    const TPropInfo* shape = FindPropInfo(L"TItem", L"Shape");
    ASSERT_TRUE(shape);
    EXPECT_EQ(std::get<long long>(shape->Read(inner)), shSquare);
}

TEST_F(FormFile, MalformedInputGivesLineAndLeavesNothing) {
    struct TCase {
        const char* Text;
        const wchar_t* Expected; // the start of the message
    };
    const TCase cases[] = {
        {"object Main: TTestForm\n  object A: TItem\n    Size = \n  end\nend\n",
         L"Form file line 4: expected a value"},
        {"object Main: TTestForm\n  object A: TItem\n    Caption = 'open\n  end\nend\n",
         L"Form file line 3: unterminated string"},
        {"object Main: TTestForm\n  object A: TItem\n  end\n",
         L"Form file line 4: expected a property, 'object' or 'end', found the end"},
        {"object Main: TTestForm\n  object A: TNoSuch\n  end\nend\n",
         L"Form file line 2: unknown class TNoSuch"},
        {"object Main: TTestForm\n  object A: TItem\n    Colour = 5\n  end\nend\n",
         L"Form file line 3: unknown property Colour of TItem"},
        {"object Main: TTestForm\n  object A: TItem\n    Shape = shOval\n  end\nend\n",
         L"Form file line 3: 'shOval' is not a value of Shape"},
        {"object Main: TTestForm\n  object A: TItem\n    Flags = [flA, flZ]\n  end\nend\n",
         L"Form file line 3: 'flZ' is not a value of Flags"},
        {"object Main: TTestForm\n  object A: TItem\n    On = Maybe\n  end\nend\n",
         L"Form file line 3: On takes True or False, not Maybe"},
        {"object Main: TTestForm\n  object A: TItem\n    Size = 'big'\n  end\nend\n",
         L"Form file line 3: Size takes a number"},
        {"object Main: TTestForm\n  object A: TItem\n    Size = 99999999999\n  end\nend\n",
         L"Form file line 3: value 99999999999 out of range for Size"},
        {"object Main: TTestForm\n  object A: TItem\n  end\n  object B: TItem\n    Buddy = "
         "Nobody\n  end\nend\n",
         L"Form file line 5: unknown component Nobody for Buddy"},
        {"object Main: TTestForm\n  object A: TOtherItem\n  end\n  object B: TItem\n    Buddy = "
         "A\n  end\nend\n",
         L"Form file line 5: A is not of the type that Buddy takes"},
        {"object Main: TTestForm\n  object A: TItem\n    OnPing = Missing\n  end\nend\n",
         L"Form file line 3: unknown handler Missing for OnPing"},
        {"object Main: TTestForm\n  object A: TItem\n    OnPing = Wrong\n  end\nend\n",
         L"Form file line 3: handler Wrong does not fit the event OnPing"},
        {"object Main: TTestForm\n  object A: TItem\n  end\n  object a: TItem\n  end\nend\n",
         L"Form file line 4: a component named a exists already"},
        {"object Main: TTestForm\n  object A: TItem\n    Pen.Colour = 1\n  end\nend\n",
         L"Form file line 3: unknown property Colour of TPen"},
        {"object Main: TTestForm\n  object A: TItem\n    Lines = 1\n  end\nend\n",
         L"Form file line 3: Lines is written as Lines.Strings"},
        {"object Main: TOtherItem\nend\n",
         L"Form file line 1: the file describes a TOtherItem, not a TTestForm"},
        {"object Main: TTestForm\nend\nobject X: TItem\nend\n",
         L"Form file line 3: text after the final 'end'"},
    };
    for (const auto& c : cases) {
        std::wstring message = ReadError(c.Text);
        EXPECT_EQ(message.rfind(c.Expected, 0), 0u)
            << "got: " << StringToUtf8(message) << "\nfor:\n"
            << c.Text;
        EXPECT_EQ(form.ComponentCount(), 0) << c.Text;
        EXPECT_EQ(gLive, 0) << c.Text;
        EXPECT_FALSE(form.IsLoading());
        EXPECT_TRUE(gLoaded.empty()) << c.Text;
    }
}

TEST_F(FormFile, ParserKeepsLinesAndValueKinds) {
    TFormObject root = ParseFormFile(
        "object F: TTestForm\n  A = $1F\n  B = [ ]\n  C = ()\n  object X: TItem\n  end\nend");
    EXPECT_EQ(root.Name, "F");
    ASSERT_EQ(root.Properties.size(), 3u);
    EXPECT_EQ(root.Properties[0].Value.Integer, 31);
    EXPECT_EQ(root.Properties[1].Value.Kind, TFormValue::TKind::fvSet);
    EXPECT_TRUE(root.Properties[1].Value.Items.empty());
    EXPECT_EQ(root.Properties[2].Value.Kind, TFormValue::TKind::fvList);
    EXPECT_EQ(root.Properties[2].Line, 4);
    ASSERT_EQ(root.Children.size(), 1u);
    EXPECT_EQ(root.Children[0].Line, 5);
}

// Each level of nesting is a frame of the parser's stack: a deep text must end in an
// error, not in a stack overflow.
TEST_F(FormFile, NestingBeyondTheBoundIsRefusedWithItsLine) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += "object O" + std::to_string(i) + ": TItem\n";
        for (int i = 0; i < depth; ++i)
            text += "end\n";
        return text;
    };
    EXPECT_EQ(ParseFormFile(nested(100)).Children.size(), 1u);
    for (int depth : {101, 100000}) {
        try {
            ParseFormFile(nested(depth));
            ADD_FAILURE() << depth << " levels accepted";
        } catch (const EFormParseError& e) {
            EXPECT_EQ(e.Line(), 101);
            EXPECT_STREQ(e.what(), "line 101: objects nested more than 100 deep");
        }
    }
}

} // namespace

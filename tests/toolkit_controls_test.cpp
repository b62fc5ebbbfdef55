// The toolkit's controls: a form read from a form file, message chains, events.
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"

#include "screenshot.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class TTestForm : public TForm {
public:
    TTestForm() : TForm(nullptr) {
        RegisterControlClasses();
        RegisterComponentClass<TTestForm>(L"TTestForm", L"TForm");
    }
    void Read(const char* text) {
        TFormHandlers h;
        h.Add(L"Clicked", TNotifyEvent::Bind<&TTestForm::Clicked>(this));
        h.Add(L"Changed", TNotifyEvent::Bind<&TTestForm::Changed>(this));
        h.Add(L"Shown", TNotifyEvent::Bind<&TTestForm::Shown>(this));
        ReadForm(this, text, h);
    }
    template <class T> T* Find(const wchar_t* name) {
        T* c = dynamic_cast<T*>(FindComponent(name));
        EXPECT_TRUE(c) << StringToUtf8(name);
        return c;
    }
    void Clicked(TObject* sender) {
        Events.push_back(L"click " + static_cast<TComponent*>(sender)->GetName());
    }
    void Changed(TObject* sender) {
        auto* box = static_cast<TComboBox*>(sender);
        Events.push_back(L"change " + box->GetName() + L" " + IntToStr(box->GetItemIndex()));
    }
    void Shown(TObject*) { Events.push_back(L"show"); }
    std::vector<std::wstring> Events;
};

const char* kForm = R"(object TestForm: TTestForm
  Left = 120
  Top = 90
  BorderStyle = bsDialog
  Caption = 'Toolkit controls'
  ClientWidth = 471
  ClientHeight = 373
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  OnShow = Shown
  PixelsPerInch = 96
  TextHeight = 13
  object Label1: TLabel
    Left = 16
    Top = 72
    Width = 40
    Height = 13
    Caption = 'Terminal'
  end
  object Combo: TComboBox
    Left = 16
    Top = 40
    Width = 201
    Height = 21
    ItemHeight = 13
    TabOrder = 1
    OnChange = Changed
  end
  object Check: TCheckBox
    Left = 16
    Top = 16
    Width = 97
    Height = 17
    Caption = 'Connect'
    TabOrder = 0
    OnClick = Clicked
  end
  object Button: TButton
    Left = 232
    Top = 40
    Width = 41
    Height = 22
    Caption = '..'
    TabOrder = 2
    OnClick = Clicked
  end
  object Group: TGroupBox
    Left = 232
    Top = 83
    Width = 233
    Height = 190
    Caption = ' Params '
    TabOrder = 4
    object Inner2: TCheckBox
      Left = 16
      Top = 48
      Width = 97
      Height = 17
      Caption = 'Second'
      TabOrder = 1
      OnClick = Clicked
    end
    object Inner1: TCheckBox
      Left = 16
      Top = 24
      Width = 97
      Height = 17
      Caption = 'First'
      TabOrder = 0
    end
    object InnerButton: TButton
      Left = 16
      Top = 150
      Width = 75
      Height = 25
      Caption = 'Update'
      TabOrder = 2
      OnClick = Clicked
    end
  end
  object Memo: TMemo
    Left = 16
    Top = 88
    Width = 201
    Height = 273
    Color = clBtnFace
    Enabled = False
    Font.Charset = DEFAULT_CHARSET
    Font.Color = clWindowText
    Font.Height = -11
    Font.Name = 'Courier'
    Font.Style = []
    Lines.Strings = (
      'Memo1')
    ParentFont = False
    TabOrder = 3
  end
  object List: TListBox
    Left = 232
    Top = 296
    Width = 233
    Height = 65
    Color = clInfoBk
    ItemHeight = 13
    Items.Strings = (
      'first line'
      'second line')
    TabOrder = 5
  end
end
)";

class Controls : public testing::Test {
protected:
    void SetUp() override {
        form = new TTestForm;
        form->Read(kForm);
        form->Show();
        PumpFor(50);
    }
    void TearDown() override { delete form; }

    // The rectangle of a child window in its parent's client coordinates.
    static RECT ChildRect(HWND w) {
        RECT r;
        GetWindowRect(w, &r);
        MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    static LOGFONTW FontOf(HWND w) {
        LOGFONTW lf{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)), sizeof lf, &lf);
        return lf;
    }
    // The background colour that the parent's colour message paints the child with.
    static COLORREF PaintedColor(HWND child, UINT msg) {
        HDC dc = GetDC(child);
        auto brush = reinterpret_cast<HBRUSH>(SendMessageW(
            GetParent(child), msg, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child)));
        LOGBRUSH lb{};
        GetObjectW(brush, sizeof lb, &lb);
        COLORREF bk = GetBkColor(dc);
        ReleaseDC(child, dc);
        EXPECT_EQ(lb.lbColor, bk);
        return lb.lbColor;
    }

    TTestForm* form = nullptr;
};

TEST_F(Controls, FormFileGivesGeometryTextFontColourAndTabOrder) {
    HWND fw = form->GetHandle();
    RECT client;
    GetClientRect(fw, &client);
    EXPECT_EQ(client.right, 471);
    EXPECT_EQ(client.bottom, 373);
    RECT outer;
    GetWindowRect(fw, &outer);
    EXPECT_EQ(outer.left, 120);
    EXPECT_EQ(outer.top, 90);
    LONG_PTR style = GetWindowLongPtrW(fw, GWL_STYLE);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)); // a dialog frame
    EXPECT_EQ(form->GetText(), L"Toolkit controls");

    struct TExpected {
        const wchar_t* Name;
        RECT Rect;
        const wchar_t* Text;
    };
    const TExpected expected[] = {
        {L"Label1", {16, 72, 56, 85}, L"Terminal"}, {L"Check", {16, 16, 113, 33}, L"Connect"},
        {L"Button", {232, 40, 273, 62}, L".."},     {L"Group", {232, 83, 465, 273}, L" Params "},
        {L"Inner1", {16, 24, 113, 41}, L"First"},   {L"InnerButton", {16, 150, 91, 175}, L"Update"},
        {L"Memo", {16, 88, 217, 361}, L"Memo1"},    {L"List", {232, 296, 465, 361}, L""},
        {L"Combo", {16, 40, 217, 61}, L""},
    };
    for (const auto& e : expected) {
        auto* c = form->Find<TWinControl>(e.Name);
        ASSERT_TRUE(c);
        RECT r = ChildRect(c->GetHandle());
        EXPECT_EQ(r.left, e.Rect.left) << StringToUtf8(e.Name);
        EXPECT_EQ(r.top, e.Rect.top) << StringToUtf8(e.Name);
        EXPECT_EQ(r.right, e.Rect.right) << StringToUtf8(e.Name);
        EXPECT_EQ(r.bottom, e.Rect.bottom) << StringToUtf8(e.Name);
        EXPECT_EQ(c->GetText(), e.Text) << StringToUtf8(e.Name);
    }
    EXPECT_EQ(GetParent(form->Find<TWinControl>(L"Inner1")->GetHandle()),
              form->Find<TWinControl>(L"Group")->GetHandle());

    LOGFONTW memoFont = FontOf(form->Find<TMemo>(L"Memo")->GetHandle());
    EXPECT_STREQ(memoFont.lfFaceName, L"Courier");
    EXPECT_EQ(memoFont.lfHeight, -11);
    LOGFONTW checkFont = FontOf(form->Find<TCheckBox>(L"Check")->GetHandle());
    EXPECT_STREQ(checkFont.lfFaceName, L"MS Sans Serif"); // inherited from the form
    EXPECT_EQ(checkFont.lfHeight, -11);

    EXPECT_FALSE(IsWindowEnabled(form->Find<TMemo>(L"Memo")->GetHandle()));
    EXPECT_EQ(PaintedColor(form->Find<TMemo>(L"Memo")->GetHandle(), WM_CTLCOLORSTATIC),
              GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(PaintedColor(form->Find<TListBox>(L"List")->GetHandle(), WM_CTLCOLORLISTBOX),
              GetSysColor(COLOR_INFOBK));
    EXPECT_EQ(SendMessageW(form->Find<TListBox>(L"List")->GetHandle(), LB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageW(form->Find<TListBox>(L"List")->GetHandle(), LB_GETITEMHEIGHT, 0, 0), 13);

    // Tab order as stored, into and within the group box; labels take no stop.
    std::vector<std::wstring> order;
    HWND first = GetNextDlgTabItem(fw, nullptr, FALSE);
    for (HWND w = first; w && order.size() < 20;) {
        order.push_back(TWinControl::FromHandle(w)->GetName());
        w = GetNextDlgTabItem(fw, w, FALSE);
        if (w == first)
            break;
    }
    EXPECT_EQ(order, (std::vector<std::wstring>{L"Check", L"Combo", L"Button", L"Inner1", L"Inner2",
                                                L"InnerButton", L"List"}));
    EXPECT_EQ(form->Events, (std::vector<std::wstring>{L"show"}));

    CreateDirectoryW(L"screenshots", nullptr);
    EXPECT_TRUE(SaveWindowPng(fw, L"screenshots\\toolkit_controls.png"));
}

// A replacement message handler, as a component installs one: it can see, swallow or
// forward each message, and it forwards to the handler it replaced.
struct TInterceptor {
    TWinControl* Control = nullptr;
    TWndMethod Saved;
    std::wstring Seen;
    bool Swallow = false;
    void Install(TWinControl* c) {
        Control = c;
        Saved = c->GetWindowProc();
        c->SetWindowProc(TWndMethod::Bind<&TInterceptor::Proc>(this));
    }
    void Remove() { Control->SetWindowProc(Saved); }
    void Proc(TMessage& m) {
        if (m.Msg == WM_CHAR) {
            Seen += static_cast<wchar_t>(m.WParam);
            if (Swallow)
                return;
        }
        Saved(m);
    }
};

TEST_F(Controls, WindowProcChainSeesSwallowsForwardsAndRestores) {
    auto* memo = form->Find<TMemo>(L"Memo");
    memo->SetEnabled(true);
    memo->SetText(L"");
    HWND w = memo->GetHandle();
    TWndMethod own = memo->GetWindowProc();
    auto type = [&](const wchar_t* s) {
        for (; *s; ++s)
            SendMessageW(w, WM_CHAR, *s, 1);
    };

    TInterceptor a;
    a.Install(memo);
    type(L"ab");
    EXPECT_EQ(a.Seen, L"ab");
    EXPECT_EQ(memo->GetText(), L"ab");
    a.Swallow = true;
    type(L"cd");
    EXPECT_EQ(a.Seen, L"abcd");
    EXPECT_EQ(memo->GetText(), L"ab");

    // Two replacements stacked: the outer one sees first and forwards to the inner one.
    TInterceptor b;
    b.Install(memo);
    a.Swallow = false;
    type(L"e");
    EXPECT_EQ(b.Seen, L"e");
    EXPECT_EQ(a.Seen, L"abcde");
    EXPECT_EQ(memo->GetText(), L"abe");
    b.Remove();
    a.Remove();
    EXPECT_EQ(memo->GetWindowProc(), own);
    type(L"f");
    EXPECT_EQ(a.Seen, L"abcde");
    EXPECT_EQ(memo->GetText(), L"abef");
}

TEST_F(Controls, ClicksAndChangesRaiseTheirEvents) {
    auto* check = form->Find<TCheckBox>(L"Check");
    SendMessageW(check->GetHandle(), BM_CLICK, 0, 0);
    EXPECT_TRUE(check->GetChecked());
    SendMessageW(form->Find<TButton>(L"Button")->GetHandle(), BM_CLICK, 0, 0);
    // Inside the group box.
    SendMessageW(form->Find<TCheckBox>(L"Inner2")->GetHandle(), BM_CLICK, 0, 0);
    SendMessageW(form->Find<TButton>(L"InnerButton")->GetHandle(), BM_CLICK, 0, 0);
    check->SetChecked(false); // from code: no event
    EXPECT_EQ(form->Events, (std::vector<std::wstring>{L"show", L"click Check", L"click Button",
                                                       L"click Inner2", L"click InnerButton"}));

    auto* combo = form->Find<TComboBox>(L"Combo");
    TObject* tag = form;
    combo->GetItems()->AddObject(L"alpha", tag);
    combo->GetItems()->Add(L"beta");
    combo->GetItems()->Add(L"gamma");
    EXPECT_EQ(combo->GetItemIndex(), -1);
    combo->SetItemIndex(1); // from code: no change step
    EXPECT_EQ(combo->GetItemIndex(), 1);
    form->Events.clear();
    // As the user picks: the keyboard moves the selection and the box notifies its parent.
    SendMessageW(combo->GetHandle(), WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(form->Events, (std::vector<std::wstring>{L"change Combo 2"}));
    EXPECT_EQ(combo->GetItems()->Objects(0), tag);
    combo->GetItems()->Clear();
    EXPECT_EQ(combo->GetItemIndex(), -1);
    EXPECT_EQ(SendMessageW(combo->GetHandle(), CB_GETCOUNT, 0, 0), 0);
}

TEST_F(Controls, DialogKeysWorkInTheMessageLoop) {
    auto* check = form->Find<TCheckBox>(L"Check");
    auto* combo = form->Find<TComboBox>(L"Combo");
    check->SetFocus();
    ASSERT_TRUE(check->Focused());
    // Space on a check box ticks it, through the dialog manager in our loop.
    PostMessageW(check->GetHandle(), WM_KEYDOWN, VK_SPACE, 0x00390001);
    PostMessageW(check->GetHandle(), WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001));
    EXPECT_TRUE(PumpUntil([&] { return check->GetChecked(); }));
    PostMessageW(check->GetHandle(), WM_KEYDOWN, VK_TAB, 0x000F0001);
    EXPECT_TRUE(PumpUntil([&] { return combo->Focused(); }));
}

TEST_F(Controls, MemoTakesMoreThanItsDefaultLimit) {
    auto* memo = form->Find<TMemo>(L"Memo");
    memo->SetText(L"");
    HWND w = memo->GetHandle();
    String block(1000, L'x');
    for (int i = 0; i < 120; ++i)
        SendMessageW(w, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(block.c_str()));
    EXPECT_EQ(GetWindowTextLengthW(w), 120000);
}

TEST(ControlsLifetime, DestroyingAFormDestroysItsControlsAndWindows) {
    auto* form = new TTestForm;
    form->Read(kForm);
    HWND memo = form->Find<TMemo>(L"Memo")->GetHandle();
    HWND fw = form->GetHandle();
    EXPECT_TRUE(IsWindow(memo));
    delete form;
    EXPECT_FALSE(IsWindow(memo));
    EXPECT_FALSE(IsWindow(fw));
}

} // namespace

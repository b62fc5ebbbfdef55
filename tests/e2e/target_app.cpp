// The program that the driver's tests drive: a form with one control of each kind the
// demo uses, whose handlers write what happened into the log list box, so that a test
// outside the program can see every event arrive.
//
// At start the log gets "started in <current folder>" and "arg <text>" for each
// argument. With the argument --refuse-close the form ignores WM_CLOSE.
#include "toolkit/application.h"
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"

#include <vector>

#include <windows.h>

namespace {

const char* kForm = R"(object TargetForm: TTargetForm
  Left = 60
  Top = 40
  BorderStyle = bsDialog
  Caption = 'Driver target: one control of each kind'
  ClientWidth = 480
  ClientHeight = 320
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  OnClose = FormClose
  PixelsPerInch = 96
  TextHeight = 13
  object Connect: TCheckBox
    Left = 16
    Top = 16
    Width = 97
    Height = 17
    Caption = 'Connect'
    TabOrder = 0
    OnClick = ConnectClick
  end
  object Devices: TComboBox
    Left = 16
    Top = 44
    Width = 201
    Height = 21
    ItemHeight = 13
    Items.Strings = (
      'Alpha'
      'Bravo'
      'Charlie'
      'Delta'
      'Echo'
      'Foxtrot'
      'Golf'
      'Hotel'
      'India'
      'Juliet')
    TabOrder = 1
    OnChange = DevicesChange
  end
  object Update: TButton
    Left = 232
    Top = 42
    Width = 75
    Height = 25
    Caption = 'Update'
    TabOrder = 2
    OnClick = UpdateClick
  end
  object Message: TButton
    Left = 316
    Top = 42
    Width = 75
    Height = 25
    Caption = 'Message'
    TabOrder = 3
    OnClick = MessageClick
  end
  object Disabled: TButton
    Left = 400
    Top = 42
    Width = 65
    Height = 25
    Caption = 'Disabled'
    Enabled = False
    TabOrder = 4
  end
  object Terminal: TMemo
    Left = 16
    Top = 80
    Width = 201
    Height = 225
    Color = clWindow
    Lines.Strings = (
      'Memo1')
    TabOrder = 5
  end
  object Log: TListBox
    Left = 232
    Top = 80
    Width = 233
    Height = 225
    Color = clInfoBk
    ItemHeight = 13
    TabOrder = 6
  end
end
)";

class TTargetForm : public TForm {
public:
    TTargetForm(bool RefuseClose) : TForm(nullptr), fRefuseClose(RefuseClose) {
        RegisterControlClasses();
        RegisterComponentClass<TTargetForm>(L"TTargetForm", L"TForm");
        TFormHandlers h;
        h.Add(L"ConnectClick", TNotifyEvent::Bind<&TTargetForm::ConnectClick>(this));
        h.Add(L"DevicesChange", TNotifyEvent::Bind<&TTargetForm::DevicesChange>(this));
        h.Add(L"UpdateClick", TNotifyEvent::Bind<&TTargetForm::UpdateClick>(this));
        h.Add(L"MessageClick", TNotifyEvent::Bind<&TTargetForm::MessageClick>(this));
        h.Add(L"FormClose", TCloseEvent::Bind<&TTargetForm::FormClose>(this));
        ReadForm(this, kForm, h);
    }
    void Log(const String& Line) {
        static_cast<TListBox*>(FindComponent(L"Log"))->GetItems()->Add(Line);
    }

private:
    void ConnectClick(TObject* Sender) {
        Log(String(L"clicked Connect ") +
            (static_cast<TCheckBox*>(Sender)->GetChecked() ? L"on" : L"off"));
    }
    void DevicesChange(TObject* Sender) {
        Log(L"changed " + IntToStr(static_cast<TComboBox*>(Sender)->GetItemIndex()));
    }
    void UpdateClick(TObject*) { Log(L"clicked Update"); }
    void MessageClick(TObject*) {
        int answer = Application->ShowMessageBox(L"Hello from the target", L"Target message",
                                                 MB_OK | MB_ICONINFORMATION);
        Log(L"message answered " + IntToStr(answer));
    }
    void FormClose(TObject*, TCloseAction& Action) {
        if (fRefuseClose)
            Action = caNone;
    }

    bool fRefuseClose;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    TApplication app;
    std::vector<String> args(argv + 1, argv + argc);
    bool refuseClose = false;
    for (const String& a : args)
        refuseClose = refuseClose || a == L"--refuse-close";
    TTargetForm form(refuseClose);
    wchar_t folder[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, folder);
    form.Log(String(L"started in ") + folder);
    for (const String& a : args)
        form.Log(L"arg " + a);
    form.Show();
    app.Run();
    return 0;
}

#pragma once
// Unit1: the demo's main form. It wires one TkvBT to a device box, a "Connect" check
// box, a terminal memo, the enumeration and dialog options, three buttons and a log list.

#include "components/kvbt.h"
#include "components/kvcommbox.h"
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"

class TForm1 : public TForm {
public:
    // Reads the form from the program's form resource "TFORM1".
    explicit TForm1(TComponent* AOwner);
    // Destroys the components while the form is whole: a live connection closes first.
    ~TForm1() override;

    TLabel* Label1;
    TLabel* Label2;
    TkvDeviceBox* kvDeviceBox1;
    TCheckBox* CheckBox1;
    TButton* Button1;
    TGroupBox* GroupBox1;
    TCheckBox* chAuthenticated;
    TCheckBox* chRemembered;
    TCheckBox* chUnknown;
    TCheckBox* chConnected;
    TCheckBox* chInquiry;
    TButton* Button2;
    TButton* Button3;
    TCheckBox* chForceAuth;
    TCheckBox* chAddWiz;
    TCheckBox* chSkipServices;
    TMemo* Memo1;
    TListBox* ListBox1;
    TkvBT* kvBT1;

    void CheckBox1Click(TObject* Sender);
    void Button1Click(TObject* Sender);
    void Button2Click(TObject* Sender);
    void Button3Click(TObject* Sender);
    void FormShow(TObject* Sender);
    void FormClose(TObject* Sender, TCloseAction& Action);
    void kvBT1Connect(TObject* Sender);
    // May run on the reader thread: the changes to the controls then reach them on the
    // main thread, through the form's own window, and never after the form is gone.
    void kvBT1Disconnect(TObject* Sender);
    void kvBT1FatalError(TObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                         const String& ErrorMsg, bool& RaiseException);
    void ApplyCheckBoxes();

protected:
    void WndProc(TMessage& Message) override;

private:
    void ShowDisconnected();
};

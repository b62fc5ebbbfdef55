#include "demo/Unit1.h"

#include "toolkit/application.h"
#include "toolkit/exceptions.h"
#include "toolkit/thread.h"

namespace {

// Posted to the form when the link ended on the reader thread.
const UINT WM_KV_DISCONNECTED = WM_APP + 1;

// The enumeration boxes and the element each one shows.
struct TEnumBox {
    TCheckBox* TForm1::*Box;
    TkvBtDeviceEnumerateElement Element;
};
const TEnumBox kEnumBoxes[] = {
    {&TForm1::chAuthenticated, bteAuthenticated},
    {&TForm1::chRemembered, bteRemembered},
    {&TForm1::chUnknown, bteUnknown},
    {&TForm1::chConnected, bteConnected},
    {&TForm1::chInquiry, bteIssueInquiry},
};

template <class T> T* Bind(TForm1* form, const wchar_t* name) {
    T* c = dynamic_cast<T*>(form->FindComponent(name));
    if (!c)
        throw Exception(String(L"The form has no ") + name);
    return c;
}

} // namespace

TForm1::TForm1(TComponent* AOwner) : TForm(AOwner) {
    RegisterComponentClass<TForm1>(L"TForm1", L"TForm");
    TFormHandlers h;
    h.Add(L"CheckBox1Click", TNotifyEvent::Bind<&TForm1::CheckBox1Click>(this));
    h.Add(L"Button1Click", TNotifyEvent::Bind<&TForm1::Button1Click>(this));
    h.Add(L"Button2Click", TNotifyEvent::Bind<&TForm1::Button2Click>(this));
    h.Add(L"Button3Click", TNotifyEvent::Bind<&TForm1::Button3Click>(this));
    h.Add(L"FormShow", TNotifyEvent::Bind<&TForm1::FormShow>(this));
    h.Add(L"FormClose", TCloseEvent::Bind<&TForm1::FormClose>(this));
    h.Add(L"kvBT1Connect", TNotifyEvent::Bind<&TForm1::kvBT1Connect>(this));
    h.Add(L"kvBT1Disconnect", TNotifyEvent::Bind<&TForm1::kvBT1Disconnect>(this));
    h.Add(L"kvBT1FatalError", TOnFatalErrorEvent::Bind<&TForm1::kvBT1FatalError>(this));
    ReadForm(this, LoadFormResource(L"TFORM1"), h);

    Label1 = Bind<TLabel>(this, L"Label1");
    Label2 = Bind<TLabel>(this, L"Label2");
    kvDeviceBox1 = Bind<TkvDeviceBox>(this, L"kvDeviceBox1");
    CheckBox1 = Bind<TCheckBox>(this, L"CheckBox1");
    Button1 = Bind<TButton>(this, L"Button1");
    GroupBox1 = Bind<TGroupBox>(this, L"GroupBox1");
    chAuthenticated = Bind<TCheckBox>(this, L"chAuthenticated");
    chRemembered = Bind<TCheckBox>(this, L"chRemembered");
    chUnknown = Bind<TCheckBox>(this, L"chUnknown");
    chConnected = Bind<TCheckBox>(this, L"chConnected");
    chInquiry = Bind<TCheckBox>(this, L"chInquiry");
    Button2 = Bind<TButton>(this, L"Button2");
    Button3 = Bind<TButton>(this, L"Button3");
    chForceAuth = Bind<TCheckBox>(this, L"chForceAuth");
    chAddWiz = Bind<TCheckBox>(this, L"chAddWiz");
    chSkipServices = Bind<TCheckBox>(this, L"chSkipServices");
    Memo1 = Bind<TMemo>(this, L"Memo1");
    ListBox1 = Bind<TListBox>(this, L"ListBox1");
    kvBT1 = Bind<TkvBT>(this, L"kvBT1");
}

TForm1::~TForm1() {
    DestroyComponents();
}

void TForm1::CheckBox1Click(TObject*) {
    try {
        kvBT1->SetActive(CheckBox1->GetChecked());
    } catch (...) {
        CheckBox1->SetChecked(kvBT1->GetActive());
        throw;
    }
}

void TForm1::Button1Click(TObject*) {
    kvBT1->ConfigDialog();
}

void TForm1::Button2Click(TObject*) {
    ApplyCheckBoxes();
    kvBT1->Update();
}

void TForm1::Button3Click(TObject*) {
    ApplyCheckBoxes();
    kvBT1->SelectDeviceDialog(L"Additional information", chForceAuth->GetChecked(),
                              chAddWiz->GetChecked(), chSkipServices->GetChecked());
}

void TForm1::FormShow(TObject*) {
    TkvBtDeviceEnumerate e = kvBT1->GetDeviceEnum();
    for (const TEnumBox& b : kEnumBoxes)
        (this->*b.Box)->SetChecked(e.Contains(b.Element));
}

void TForm1::FormClose(TObject*, TCloseAction&) {
    kvBT1->SetActive(false);
}

void TForm1::ApplyCheckBoxes() {
    for (const TEnumBox& b : kEnumBoxes) {
        TkvBtDeviceEnumerate e = kvBT1->GetDeviceEnum();
        kvBT1->SetDeviceEnum((this->*b.Box)->GetChecked() ? e + b.Element : e - b.Element);
    }
}

void TForm1::kvBT1Connect(TObject*) {
    Memo1->SetEnabled(true);
    Memo1->SetColor(clWindow);
    ListBox1->GetItems()->Add(L"BT device is connected !!!");
    kvBT1->SendString("AT\r");
    Memo1->SetFocus();
}

void TForm1::kvBT1Disconnect(TObject*) {
    if (IsMainThread())
        ShowDisconnected();
    else if (HWND w = WindowHandle())
        PostMessageW(w, WM_KV_DISCONNECTED, 0, 0); // dropped with the window if the form goes
}

void TForm1::ShowDisconnected() {
    CheckBox1->SetChecked(false);
    Memo1->SetEnabled(false);
    Memo1->SetColor(clBtnFace);
    ListBox1->GetItems()->Add(L"BT device is DISconnected !!!");
}

void TForm1::kvBT1FatalError(TObject*, std::uint32_t, std::uint32_t, const String& ErrorMsg,
                             bool&) {
    ListBox1->GetItems()->Add(L"BT Error " + ErrorMsg);
}

void TForm1::WndProc(TMessage& Message) {
    if (Message.Msg == WM_KV_DISCONNECTED) {
        ShowDisconnected();
        return;
    }
    TForm::WndProc(Message);
}

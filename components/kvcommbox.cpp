#include "components/kvcommbox.h"

#include "toolkit/formreader.h"

TkvDeviceBox::TkvDeviceBox(TComponent* AOwner) : TComboBox(AOwner) {
    SetStyle(csDropDownList);
}

TkvDeviceBox::~TkvDeviceBox() {
    if (fComm)
        fComm->NotifyDelete(Callback());
}

void TkvDeviceBox::SetkvLink(TkvBaseIO* Value) {
    GetItems()->Clear();
    SetItemIndex(-1);
    if (Value) {
        Value->GetDeviceList(GetItems());
        SetItemIndex(Value->GetDeviceIndex());
        if (fComm && fComm != Value)
            fComm->NotifyDelete(Callback());
        Value->NotifyAdd(Callback());
        Value->FreeNotification(this);
    } else if (fComm) {
        fComm->NotifyDelete(Callback());
    }
    fComm = Value;
}

void TkvDeviceBox::Reload() {
    SetkvLink(fComm);
}

void TkvDeviceBox::DeviceBoxNotify(TObject*, std::int32_t Code) {
    if (Code == 3)
        Reload();
}

bool TkvDeviceBox::WMDeviceChange(TMessage& Msg) {
    if (fComm)
        fComm->WMDeviceChange(Msg);
    return false;
}

void TkvDeviceBox::Change() {
    if (!fComm)
        return;
    fComm->SetDeviceIndex(GetItemIndex());
    TComboBox::Change();
}

void TkvDeviceBox::Notification(TComponent* AComponent, TOperation Operation) {
    TComboBox::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == fComm) {
        fComm = nullptr; // a departing component takes its subscriber list with it
        SetItemIndex(-1);
    }
}

void RegisterKvCommBoxClasses() {
    static bool done = false;
    if (done)
        return;
    done = true;
    RegisterKvClasses();
    // Not under TComboBox: the items and the style are the box's own, never stored.
    RegisterComponentClass<TkvDeviceBox>(L"TkvDeviceBox", L"TWinControl")
        .Integer("ItemHeight", &TComboBox::SetItemHeight, &TComboBox::GetItemHeight)
        .Integer("DropDownCount", &TComboBox::SetDropDownCount, &TComboBox::GetDropDownCount)
        .Boolean("Sorted", &TComboBox::SetSorted, &TComboBox::GetSorted)
        .Event("OnChange", &TComboBox::SetOnChange, &TComboBox::GetOnChange)
        .Component("kvLink", &TkvDeviceBox::SetkvLink, &TkvDeviceBox::GetkvLink)
        .Boolean("ResetOnChanged", &TkvDeviceBox::SetResetOnChanged,
                 &TkvDeviceBox::GetResetOnChanged);
}

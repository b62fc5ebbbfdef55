#pragma once
// kvcommbox: TkvDeviceBox, a drop-down list of the devices of a linked I/O component.
//
// Its items are the component's device list in the component's order and its selection
// is the component's DeviceIndex. The user's pick writes DeviceIndex; every change that
// the component announces (notification 3) rebuilds the items, at once, also while a
// form is being loaded. Open and close notifications, which may arrive on a reader
// thread, change nothing. Main thread only otherwise.

#include "components/kvclasses.h"
#include "toolkit/stdctrls.h"

class TkvDeviceBox : public TComboBox {
public:
    explicit TkvDeviceBox(TComponent* AOwner);
    ~TkvDeviceBox() override;

    TkvBaseIO* GetkvLink() const { return fComm; }
    // Empties the items, then fills them from Value (which enumerates when its list is
    // empty), selects its DeviceIndex and moves the subscription to it.
    void SetkvLink(TkvBaseIO* Value);
    // Kept with the form; nothing consults it.
    bool GetResetOnChanged() const { return fReset; }
    void SetResetOnChanged(bool Value) { fReset = Value; }

    // Rebuilds the items from the linked component (empties them without one).
    void Reload();
    void DeviceBoxNotify(TObject* Sender, std::int32_t Code);
    // Hands a device-change message to the linked component.
    virtual bool WMDeviceChange(TMessage& Msg);

protected:
    void Change() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    TkvNotifyEvent Callback() { return TkvNotifyEvent::Bind<&TkvDeviceBox::DeviceBoxNotify>(this); }

    TkvBaseIO* fComm = nullptr;
    bool fReset = false;
};

// Registers TkvDeviceBox with the form-file reader (idempotent).
void RegisterKvCommBoxClasses();

// TkvBT: the system's Bluetooth dialogs and pairing.
#include "components/kvbt.h"

#include "components/kvsysutils.h"
#include "toolkit/format.h"

void TkvBT::ConfigDialog() {
    CancelOpen();
    if (fRadioIndex < 0 || fDeviceIndex < 0)
        return;
    TkvBTDevice* device = SelectedDevice(); // never a record of a device that is not listed
    if (!device)
        return;
    kvbtw32::BluetoothDisplayDeviceProperties(GetOwnerWindow(), &device->btInfo);
}

bool TkvBT::SelectDeviceDialog(const String& sInfo, bool flForceAuth, bool flAddWiz,
                               bool flSkipServices) {
    CancelOpen();
    auto flag = [](bool b) -> WINBOOL { return b ? -1 : 0; };
    BLUETOOTH_SELECT_DEVICE_PARAMS params{};
    params.dwSize = sizeof params;
    String info = sInfo;
    if (!info.empty())
        params.pszInfo = info.data();
    params.hwndParent = GetOwnerWindow();
    params.fForceAuthentication = flag(flForceAuth);
    params.fShowAuthenticated = flag(fDeviceEnum.Contains(bteAuthenticated));
    params.fShowRemembered = flag(fDeviceEnum.Contains(bteRemembered));
    params.fShowUnknown = flag(fDeviceEnum.Contains(bteUnknown));
    params.fAddNewDeviceWizard = flag(flAddWiz);
    params.fSkipServicesPage = flag(flSkipServices);
    if (kvbtw32::BluetoothSelectDevices(&params)) {
        Update();
        SetDeviceIndex(params.pDevices ? IndexOfAddress(params.pDevices[0].Address) : -1);
        kvbtw32::BluetoothSelectDevicesFree(&params);
        return GetDeviceIndex() >= 0;
    }
    DWORD e = GetLastError();
    if (e == ERROR_CANCELLED)
        return false;
    DoFatalErrors(13, e,
                  L"Bluetooth select device dialog fails with error: [" +
                      Format(L"%.8x", {static_cast<unsigned long>(e)}) + L"] " + SystemMessage(e));
    return false;
}

bool TkvBT::AuthenticateDevice(const String& passKey) {
    CancelOpen();
    if (fRadioIndex < 0 || fDeviceIndex < 0 || fRadioIndex >= RadioCount())
        return false;
    TkvBTDevice* device = SelectedDevice();
    if (!device)
        return false;
    String key = passKey;
    ULONG length = static_cast<ULONG>(key.size());
    DWORD result = kvbtw32::BluetoothAuthenticateDevice(
        GetOwnerWindow(), reinterpret_cast<HANDLE>(GetRadio(fRadioIndex)->Handle), &device->btInfo,
        length ? key.data() : nullptr, length);
    return result == 0;
}

// TkvBT: construction, destruction, the loaded step and discovery.
#include "components/kvbt.h"

#include <cwchar>
#include <memory>
#include <utility>

namespace {

// A platform name field: at most 248 characters, up to the first NUL.
String NameOf(const WCHAR* name) {
    return String(name, wcsnlen(name, BLUETOOTH_MAX_NAME_SIZE));
}

// A platform time as a date-time value; 0 for no time (year 0) or an impossible one.
TDateTime TimeOf(const SYSTEMTIME& t) {
    TDateTime date, time;
    if (t.wYear == 0 || !TryEncodeDate(t.wYear, t.wMonth, t.wDay, date) ||
        !TryEncodeTime(t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, time))
        return 0;
    return date + time;
}

// Runs its action when it goes, however the scope is left.
template <class F> class TOnExit {
public:
    explicit TOnExit(F Action) : fAction(Action) {}
    ~TOnExit() { fAction(); }
    TOnExit(const TOnExit&) = delete;
    TOnExit& operator=(const TOnExit&) = delete;

private:
    F fAction;
};

} // namespace

TkvBT::TkvBT(TComponent* AOwner) : TkvBaseIO(AOwner) {
    WSADATA data{};
    kvSocketApi.WSAStartup(0x0202, &data); // a failure shows later, as a connection's error
    sLogPrefix = L"kvBT: ";
    fDeviceEnum = {bteRemembered, bteConnected, bteAllRadios};
    fDeviceEnumTimeout = 5;
    fDeviceIndex = -1;
    fBufferInSize = 8192;
    fBufferOutSize = fBufferInSize;
}

TkvBT::~TkvBT() {
    EndCalls();
    EndConnections();
    ClearRadios();
    kvSocketApi.WSACleanup(); // the base's destruction uses no Winsock
}

void TkvBT::Loaded() {
    TkvBaseIO::Loaded();
    Update();
    SetActive(fActive);
}

void TkvBT::Update() {
    EnumerateRadios();
    EnumerateDevices();
    TkvBaseIO::Update();
}

void TkvBT::ClearRadios() {
    ClearDeviceList();
    for (int i = 0; i < lRadios.Count(); ++i)
        delete static_cast<TkvBTRadio*>(lRadios.Get(i));
    lRadios.Clear();
}

void TkvBT::ClearDeviceList() {
    CancelOpen(); // it uses the selected device
    TkvBaseIO::ClearDeviceList();
}

TkvBTRadio* TkvBT::GetRadio(int Index) const {
    return static_cast<TkvBTRadio*>(lRadios.Get(Index));
}

void TkvBT::EnumerateRadios() {
    ClearRadios();
    BLUETOOTH_FIND_RADIO_PARAMS params{};
    params.dwSize = sizeof params;
    HANDLE radio = nullptr; // delivered and not yet held by a radio object
    HBLUETOOTH_RADIO_FIND find = kvbtw32::BluetoothFindFirstRadio(&params, &radio);
    if (!find)
        return;
    TOnExit endSearch([&] {
        if (radio)
            CloseHandle(radio);
        kvbtw32::BluetoothFindRadioClose(find);
    });
    do {
        BLUETOOTH_RADIO_INFO info{};
        info.dwSize = sizeof info;
        if (kvbtw32::BluetoothGetRadioInfo(radio, &info) != 0) {
            CloseHandle(std::exchange(radio, nullptr)); // a radio left out keeps no handle open
            continue;
        }
        auto r = std::make_unique<TkvBTRadio>(this, RadioCount());
        r->Handle = reinterpret_cast<std::uintptr_t>(std::exchange(radio, nullptr));
        r->NameFriendly = NameOf(info.szName);
        r->Address = info.address;
        lRadios.Add(r.get());
        r.release(); // the radio list holds it
    } while (kvbtw32::BluetoothFindNextRadio(find, &radio));
}

void TkvBT::EnumerateDevices() {
    ClearDeviceList();
    if (RadioCount() == 0)
        return;
    BLUETOOTH_DEVICE_SEARCH_PARAMS search{};
    search.dwSize = sizeof search;
    auto flag = [&](TkvBtDeviceEnumerateElement e) -> WINBOOL {
        return fDeviceEnum.Contains(e) ? -1 : 0;
    };
    search.fReturnAuthenticated = flag(bteAuthenticated);
    search.fReturnRemembered = flag(bteRemembered);
    search.fReturnUnknown = flag(bteUnknown);
    search.fReturnConnected = flag(bteConnected);
    if (fDeviceEnumTimeout > 0) {
        search.fIssueInquiry = flag(bteIssueInquiry);
        // The platform counts in units of 1.28 s.
        search.cTimeoutMultiplier = static_cast<UCHAR>(fDeviceEnumTimeout * 100 / 128);
    }
    std::vector<int> radios;
    if (fDeviceEnum.Contains(bteAllRadios))
        for (int i = 0; i < RadioCount(); ++i)
            radios.push_back(i);
    else
        radios.push_back(fRadioIndex);
    for (int i : radios) {
        search.hRadio = reinterpret_cast<HANDLE>(GetRadio(i)->Handle);
        BLUETOOTH_DEVICE_INFO info{};
        info.dwSize = sizeof info;
        HBLUETOOTH_DEVICE_FIND find = kvbtw32::BluetoothFindFirstDevice(&search, &info);
        if (!find)
            continue;
        TOnExit endSearch([find] { kvbtw32::BluetoothFindDeviceClose(find); });
        for (;;) {
            auto d = std::make_unique<TkvBTDevice>();
            d->NameFriendly = NameOf(info.szName);
            d->Address = info.Address;
            d->btInfo = info;
            d->IndexRadio = i;
            d->LastSeen = TimeOf(info.stLastSeen);
            d->LastUsed = TimeOf(info.stLastUsed);
            AddDevice(d.get());
            d.release(); // the device list holds it
            info = {};
            info.dwSize = sizeof info;
            if (!kvbtw32::BluetoothFindNextDevice(find, &info))
                break;
        }
    }
}

int TkvBT::IndexOfAddress(BLUETOOTH_ADDRESS Address) const {
    for (int i = 0; i < DeviceCount(); ++i)
        if (GetBTDevice(i)->Address.ullLong == Address.ullLong)
            return i;
    return -1;
}

void TkvBT::SetDeviceIndex(std::int32_t Value) {
    fDeviceIndex = Value;
    TkvBaseIO::SetDeviceIndex(Value);
}

void TkvBT::SetRadioIndex(int Value) {
    if (Value == fRadioIndex)
        return;
    fRadioIndex = Value;
    EnumerateDevices();
}

void TkvBT::SetDeviceEnum(TkvBtDeviceEnumerate Value) {
    if (Value != fDeviceEnum)
        fDeviceEnum = Value;
}

void TkvBT::SetDeviceEnumTimeout(int Value) {
    fDeviceEnumTimeout = Value < 0 ? 0 : (Value > 57 ? 57 : Value);
}

TkvBTDevice* TkvBT::SelectedDevice() const {
    return GetBTDevice(fDeviceIndex);
}

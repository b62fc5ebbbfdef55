#include "components/kvbtw32.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {

// Loads from the system directory only: a planted copy elsewhere is never run.
class TSystemResolver : public TkvApiResolver {
public:
    HMODULE Load(const wchar_t* Library) override {
        return LoadLibraryExW(Library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    FARPROC Find(HMODULE Module, const char* Name) override { return GetProcAddress(Module, Name); }
    void Free(HMODULE Module) override { FreeLibrary(Module); }
};

TSystemResolver gSystemResolver;

// The binding's state; every thread may load, unload and hold.
std::mutex gLock;
TkvApiResolver* gResolver = &gSystemResolver;
HMODULE gBtApi = nullptr;
HMODULE gWsApi = nullptr;
int gHolds = 0;
// Libraries unloaded while held, with the resolver that loaded them: freed by the last hold.
std::vector<std::pair<TkvApiResolver*, HMODULE>> gHeld;

// Under gLock.
bool LoadLib(HMODULE& handle, const wchar_t* name) {
    if (!handle)
        handle = gResolver->Load(name);
    return handle != nullptr;
}

// "bthprops.cpl" implements the functions. "irprops.cpl" only forwards to it, and
// resolving a forwarded export loads "bthprops.cpl" by its bare name, which can find a
// planted copy: the older name is loaded only where the library itself does not exist.
// Under gLock.
bool LoadBtLib() {
    return LoadLib(gBtApi, L"bthprops.cpl") || LoadLib(gBtApi, L"irprops.cpl");
}

// Under gLock.
void Unload(HMODULE& handle) {
    if (!handle)
        return;
    if (gHolds > 0)
        gHeld.emplace_back(gResolver, handle);
    else
        gResolver->Free(handle);
    handle = nullptr;
}

// The function of that name in the library, loaded now if needed, or null.
template <class F> F Find(bool Bluetooth, const char* name) {
    std::lock_guard<std::mutex> lock(gLock);
    HMODULE module = nullptr;
    if (Bluetooth ? LoadBtLib() : LoadLib(gWsApi, L"Ws2_32.dll"))
        module = Bluetooth ? gBtApi : gWsApi;
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(gResolver->Find(module, name)))
                  : nullptr;
}

template <class F> F Bt(const char* name) {
    return Find<F>(true, name);
}
template <class F> F Ws(const char* name) {
    return Find<F>(false, name);
}

} // namespace

void SetApiResolver(TkvApiResolver* Resolver) {
    std::lock_guard<std::mutex> lock(gLock);
    Unload(gBtApi);
    Unload(gWsApi);
    gResolver = Resolver ? Resolver : &gSystemResolver;
}

bool LoadBtApi() {
    std::lock_guard<std::mutex> lock(gLock);
    return LoadBtLib();
}
bool LoadWsApi() {
    std::lock_guard<std::mutex> lock(gLock);
    return LoadLib(gWsApi, L"Ws2_32.dll");
}

void UnloadBtApis() {
    std::lock_guard<std::mutex> lock(gLock);
    Unload(gBtApi);
    Unload(gWsApi);
}

HMODULE BtApiHandle() {
    std::lock_guard<std::mutex> lock(gLock);
    return gBtApi;
}
HMODULE WsApiHandle() {
    std::lock_guard<std::mutex> lock(gLock);
    return gWsApi;
}

TkvBtApiHold::TkvBtApiHold() {
    std::lock_guard<std::mutex> lock(gLock);
    ++gHolds;
}

TkvBtApiHold::~TkvBtApiHold() {
    std::lock_guard<std::mutex> lock(gLock);
    if (--gHolds > 0)
        return;
    for (auto& [resolver, module] : gHeld)
        resolver->Free(module);
    gHeld.clear();
}

namespace kvbtw32 {

HBLUETOOTH_RADIO_FIND BluetoothFindFirstRadio(BLUETOOTH_FIND_RADIO_PARAMS* pbtfrp,
                                              HANDLE* phRadio) {
    auto f = Bt<decltype(&::BluetoothFindFirstRadio)>("BluetoothFindFirstRadio");
    return f ? f(pbtfrp, phRadio) : nullptr;
}

bool BluetoothFindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio) {
    auto f = Bt<decltype(&::BluetoothFindNextRadio)>("BluetoothFindNextRadio");
    return f ? f(hFind, phRadio) != FALSE : false;
}

bool BluetoothFindRadioClose(HBLUETOOTH_RADIO_FIND hFind) {
    auto f = Bt<decltype(&::BluetoothFindRadioClose)>("BluetoothFindRadioClose");
    return f ? f(hFind) != FALSE : false;
}

DWORD BluetoothGetRadioInfo(HANDLE hRadio, BLUETOOTH_RADIO_INFO* pRadioInfo) {
    auto f = Bt<decltype(&::BluetoothGetRadioInfo)>("BluetoothGetRadioInfo");
    return f ? f(hRadio, pRadioInfo) : ERROR_INVALID_PARAMETER;
}

HBLUETOOTH_DEVICE_FIND BluetoothFindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                                BLUETOOTH_DEVICE_INFO* pbtdi) {
    auto f = Bt<decltype(&::BluetoothFindFirstDevice)>("BluetoothFindFirstDevice");
    return f ? f(pbtsp, pbtdi) : nullptr;
}

bool BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi) {
    auto f = Bt<decltype(&::BluetoothFindNextDevice)>("BluetoothFindNextDevice");
    return f ? f(hFind, pbtdi) != FALSE : false;
}

bool BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind) {
    auto f = Bt<decltype(&::BluetoothFindDeviceClose)>("BluetoothFindDeviceClose");
    return f ? f(hFind) != FALSE : false;
}

bool BluetoothIsConnectable(HANDLE hRadio) {
    auto f = Bt<decltype(&::BluetoothIsConnectable)>("BluetoothIsConnectable");
    return f ? f(hRadio) != FALSE : false;
}

bool BluetoothIsDiscoverable(HANDLE hRadio) {
    auto f = Bt<decltype(&::BluetoothIsDiscoverable)>("BluetoothIsDiscoverable");
    return f ? f(hRadio) != FALSE : false;
}

bool BluetoothEnableDiscovery(HANDLE hRadio, bool fEnabled) {
    auto f = Bt<decltype(&::BluetoothEnableDiscovery)>("BluetoothEnableDiscovery");
    return f ? f(hRadio, fEnabled ? 1 : 0) != FALSE : false;
}

bool BluetoothEnableIncomingConnections(HANDLE hRadio, bool fEnabled) {
    auto f =
        Bt<decltype(&::BluetoothEnableIncomingConnections)>("BluetoothEnableIncomingConnections");
    return f ? f(hRadio, fEnabled ? 1 : 0) != FALSE : false;
}

bool BluetoothDisplayDeviceProperties(HWND hwndParent, BLUETOOTH_DEVICE_INFO* pbtdi) {
    auto f = Bt<decltype(&::BluetoothDisplayDeviceProperties)>("BluetoothDisplayDeviceProperties");
    return f ? f(hwndParent, pbtdi) != FALSE : false;
}

bool BluetoothSelectDevices(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp) {
    auto f = Bt<decltype(&::BluetoothSelectDevices)>("BluetoothSelectDevices");
    return f ? f(pbtsdp) != FALSE : false;
}

bool BluetoothSelectDevicesFree(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp) {
    auto f = Bt<decltype(&::BluetoothSelectDevicesFree)>("BluetoothSelectDevicesFree");
    return f ? f(pbtsdp) != FALSE : false;
}

DWORD BluetoothAuthenticateDevice(HWND hwndParent, HANDLE hRadio, BLUETOOTH_DEVICE_INFO* pbtdi,
                                  PWSTR pszPasskey, ULONG ulPasskeyLength) {
    auto f = Bt<TBluetoothAuthenticateDevice>("BluetoothAuthenticateDevice");
    return f ? f(hwndParent, hRadio, pbtdi, pszPasskey, ulPasskeyLength) : 0;
}

INT WSALookupServiceBeginA(LPWSAQUERYSETA lpqsRestrictions, DWORD dwControlFlags,
                           LPHANDLE lphLookup) {
    auto f = Ws<decltype(&::WSALookupServiceBeginA)>("WSALookupServiceBeginA");
    return f ? f(lpqsRestrictions, dwControlFlags, lphLookup) : 0;
}

INT WSALookupServiceNextA(HANDLE hLookup, DWORD dwControlFlags, LPDWORD lpdwBufferLength,
                          LPWSAQUERYSETA lpqsResults) {
    auto f = Ws<decltype(&::WSALookupServiceNextA)>("WSALookupServiceNextA");
    return f ? f(hLookup, dwControlFlags, lpdwBufferLength, lpqsResults) : 0;
}

INT WSALookupServiceEnd(HANDLE hLookup) {
    auto f = Ws<decltype(&::WSALookupServiceEnd)>("WSALookupServiceEnd");
    return f ? f(hLookup) : 0;
}

} // namespace kvbtw32

#pragma once
// kvbtw32: the run-time binding to the system's Bluetooth functions ("bthprops.cpl", or
// where that does not exist the older "irprops.cpl") and to the ANSI service-lookup
// functions of Winsock 2 ("Ws2_32.dll").
//
// Nothing is bound when the program is built or loaded: every wrapper below loads its
// library on demand and looks its function up by exported name on every call. When the
// library or the function is missing the wrapper calls nothing and returns its fixed
// default (null, false, 87 or 0, as noted). A failed load is tried again by the next call;
// a loaded library stays until UnloadBtApis. The binding never raises and never reports.
//
// Libraries are found through one process-wide resolver. With none installed the
// system's own libraries are loaded, from the system directory only, so that a copy
// planted beside the program or in the current folder is never loaded; the Bluetooth
// functions come from "bthprops.cpl" itself, never through the forwarders of
// "irprops.cpl". The simulated stack installs a resolver of its own before first use.

#include <winsock2.h>
#include <ws2bth.h>
#include <bluetoothapis.h>

// Finds the binding's libraries and their functions.
class TkvApiResolver {
public:
    virtual ~TkvApiResolver() = default;
    // The library's module handle, or null when there is no such library.
    virtual HMODULE Load(const wchar_t* Library) = 0;
    // The exported function, or null when the library has no such export.
    virtual FARPROC Find(HMODULE Module, const char* Name) = 0;
    virtual void Free(HMODULE Module) = 0;
};

// Installs the resolver (none: the system libraries). Libraries loaded through the
// previous resolver are unloaded first. The resolver must outlive its use.
void SetApiResolver(TkvApiResolver* Resolver);

// True when the Bluetooth library is loaded (loading it now if needed: "bthprops.cpl",
// and only where the resolver has none, "irprops.cpl"): the availability test. One
// handle holds whichever loaded.
bool LoadBtApi();
// True when "Ws2_32.dll" is loaded (loading it now if needed).
bool LoadWsApi();
// Frees both libraries and sets both handles to null; the next wrapper call loads them
// again. A program need not call it: the libraries go with the process. To free them
// sooner, call it when no component is open or opening, as after the last TkvBT is gone
// at the end of main; a library that an open's let-go worker still uses (TkvBtApiHold) is
// freed when that worker ends. Never call it while the process exits (from a static
// destructor, an atexit handler or DllMain), when threads and libraries end in an order
// the program does not control. SetApiResolver calls it.
void UnloadBtApis();

// Keeps the libraries loaded now, or later while it lives, from being freed under a
// thread that calls them: UnloadBtApis and SetApiResolver meanwhile only set the handles
// to null, and the last hold to go frees what they let go. An open's worker, which its
// component may let go, holds one. Any thread may load, unload and hold.
class TkvBtApiHold {
public:
    TkvBtApiHold();
    ~TkvBtApiHold();
    TkvBtApiHold(const TkvBtApiHold&) = delete;
    TkvBtApiHold& operator=(const TkvBtApiHold&) = delete;
};
// The two library handles, null while not loaded.
HMODULE BtApiHandle();
HMODULE WsApiHandle();

// The wrapped platform functions, under their own names and argument lists.
namespace kvbtw32 {
// Missing: null.
HBLUETOOTH_RADIO_FIND BluetoothFindFirstRadio(BLUETOOTH_FIND_RADIO_PARAMS* pbtfrp, HANDLE* phRadio);
// Missing: false.
bool BluetoothFindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio);
bool BluetoothFindRadioClose(HBLUETOOTH_RADIO_FIND hFind);
// Missing: 87 (ERROR_INVALID_PARAMETER).
DWORD BluetoothGetRadioInfo(HANDLE hRadio, BLUETOOTH_RADIO_INFO* pRadioInfo);
// Missing: null.
HBLUETOOTH_DEVICE_FIND BluetoothFindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                                BLUETOOTH_DEVICE_INFO* pbtdi);
// Missing: false, for each of these.
bool BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi);
bool BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind);
bool BluetoothIsConnectable(HANDLE hRadio);
bool BluetoothIsDiscoverable(HANDLE hRadio);
bool BluetoothEnableDiscovery(HANDLE hRadio, bool fEnabled);
bool BluetoothEnableIncomingConnections(HANDLE hRadio, bool fEnabled);
bool BluetoothDisplayDeviceProperties(HWND hwndParent, BLUETOOTH_DEVICE_INFO* pbtdi);
bool BluetoothSelectDevices(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp);
bool BluetoothSelectDevicesFree(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp);
// Missing: 0.
DWORD BluetoothAuthenticateDevice(HWND hwndParent, HANDLE hRadio, BLUETOOTH_DEVICE_INFO* pbtdi,
                                  PWSTR pszPasskey, ULONG ulPasskeyLength);
// "Ws2_32.dll". Missing: 0, which is also the platform's success; callers must not
// take it for a delivered record.
INT WSALookupServiceBeginA(LPWSAQUERYSETA lpqsRestrictions, DWORD dwControlFlags,
                           LPHANDLE lphLookup);
INT WSALookupServiceNextA(HANDLE hLookup, DWORD dwControlFlags, LPDWORD lpdwBufferLength,
                          LPWSAQUERYSETA lpqsResults);
INT WSALookupServiceEnd(HANDLE hLookup);
} // namespace kvbtw32

// The signature of BluetoothAuthenticateDevice, which the SDK headers no longer declare.
using TBluetoothAuthenticateDevice = DWORD(WINAPI*)(HWND, HANDLE, BLUETOOTH_DEVICE_INFO*, PWSTR,
                                                    ULONG);

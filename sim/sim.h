#pragma once
// The simulated Bluetooth stack. Install puts a world behind the two seams of the
// components: the binding's resolver (SetApiResolver) answers "bthprops.cpl",
// "irprops.cpl" and "Ws2_32.dll" with simulated functions of the platform's own
// signatures, and the socket table (kvSocketApi) gets a socket and a connect that turn an
// RFCOMM link into a real loopback TCP connection to the service's peer, a closesocket
// that also ends a connect waiting on the socket, and a WSAStartup
// and WSACleanup that count the components' start-ups: as on Windows, the lookup and the
// RFCOMM socket answer WSANOTINITIALISED while none is outstanding. Uninstall gives both
// seams back to the system. Nothing in the components knows more of the simulator than
// that.
//
// Install and Uninstall run while no component uses the binding or the socket table.
// Everything else here may be called from any thread while a world is installed; it
// reads or changes the installed world under the simulator's lock. The records list
// the calls made since Install, oldest first.

#include "sim/sim_peer_server.h"
#include "sim/sim_world.h"

#include <memory>
#include <string>
#include <vector>

namespace kvsim {

// Installs World in place of an installed one. Starts Winsock and one peer thread for
// each service with a built-in peer. Throws std::invalid_argument for a world that does
// not hold together (CheckWorld) and std::runtime_error when a peer cannot listen; the
// previous state is then kept.
void Install(const TWorld& World);
// Restores the system's resolver and Winsock's own socket and connect, stops the peers,
// and releases every socket, thread, search and allocation of the simulator. The
// sockets that socket() handed out belong to their callers and stay. No-op when nothing
// is installed.
void Uninstall();
bool IsInstalled();

// The settings of the installed world (the defaults when none is installed). A change
// applies to the calls that follow; SetSettings throws std::invalid_argument for settings
// that CheckWorld refuses or when no world is installed.
TSettings Settings();
void SetSettings(const TSettings& Settings);

// The peer of the first service of that class on that device. Throws
// std::invalid_argument when there is none or when the service's peer is external.
std::shared_ptr<TPeerServer> Peer(BTH_ADDR Device, const GUID& ServiceClass);

// Every device search record as it was passed.
std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> DeviceSearches();

// A WSALookupServiceBeginA call: the restriction's members that the lookup reads.
struct TLookupCall {
    DWORD Size = 0;
    DWORD NameSpace = 0;
    bool HasClass = false;
    GUID ServiceClass{};
    bool HasContext = false;
    std::string Context;
    DWORD Flags = 0;
};
std::vector<TLookupCall> LookupCalls();

// A WSALookupServiceNextA call: its flags and the buffer length it passed.
struct TLookupNextCall {
    DWORD Flags = 0;
    DWORD BufferLength = 0; // 0 for a null length pointer
};
std::vector<TLookupNextCall> LookupNextCalls();

// A BluetoothSelectDevices call: the record as passed, and the text pszInfo pointed to.
struct TSelectCall {
    BLUETOOTH_SELECT_DEVICE_PARAMS Params{};
    std::wstring Info;
};
std::vector<TSelectCall> SelectCalls();

struct TPropertiesCall {
    HWND Owner = nullptr;
    BTH_ADDR Address = 0;
};
std::vector<TPropertiesCall> PropertiesCalls();

struct TPairingCall {
    HWND Owner = nullptr;
    HANDLE Radio = nullptr;
    BTH_ADDR Address = 0;
    bool KeyNull = true;
    std::wstring Key; // the Length units the key pointed to
    ULONG Length = 0;
};
std::vector<TPairingCall> PairingCalls();

// The platform handles that the simulated functions handed out and the program has not
// closed, and the Winsock start-ups that components made through the socket table without
// their clean-up. The counts span installs, so that a test compares them at its start and
// end: a radio handle counts until its receiver closes it, whenever that is; a search,
// lookup or selection that a world still held when it was uninstalled or replaced can no
// longer be closed and stays counted. OpenHandles may be called at any time, installed
// or not.
struct TOpenHandles {
    int Radios = 0;         // delivered by the radio search; closed with CloseHandle
    int RadioSearches = 0;  // until BluetoothFindRadioClose
    int DeviceSearches = 0; // until BluetoothFindDeviceClose
    int Lookups = 0;        // until WSALookupServiceEnd
    int Selections = 0;     // picked devices, until BluetoothSelectDevicesFree
    int WinsockStarts = 0;  // WSAStartup less WSACleanup
    friend bool operator==(const TOpenHandles&, const TOpenHandles&) = default;
};
TOpenHandles OpenHandles();
// "radios 0, radio searches 0, ...", for a test's message.
std::string Describe(const TOpenHandles& Handles);

} // namespace kvsim

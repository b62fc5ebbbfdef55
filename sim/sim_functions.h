#pragma once
// The simulated platform functions, with the platform's own signatures; the resolver
// hands them out under their exported names.

#include "components/kvbtw32.h"

namespace kvsim::detail {

// Radios (sim_radios.cpp).
HBLUETOOTH_RADIO_FIND WINAPI FindFirstRadio(BLUETOOTH_FIND_RADIO_PARAMS* pbtfrp, HANDLE* phRadio);
WINBOOL WINAPI FindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio);
WINBOOL WINAPI FindRadioClose(HBLUETOOTH_RADIO_FIND hFind);
DWORD WINAPI GetRadioInfo(HANDLE hRadio, PBLUETOOTH_RADIO_INFO pRadioInfo);
WINBOOL WINAPI IsConnectable(HANDLE hRadio);
WINBOOL WINAPI IsDiscoverable(HANDLE hRadio);
WINBOOL WINAPI EnableDiscovery(HANDLE hRadio, WINBOOL fEnabled);
WINBOOL WINAPI EnableIncomingConnections(HANDLE hRadio, WINBOOL fEnabled);

// Device search (sim_devices.cpp).
HBLUETOOTH_DEVICE_FIND WINAPI FindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                              BLUETOOTH_DEVICE_INFO* pbtdi);
WINBOOL WINAPI FindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi);
WINBOOL WINAPI FindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind);

// Dialogs and pairing (sim_dialogs.cpp).
WINBOOL WINAPI DisplayDeviceProperties(HWND hwndParent, BLUETOOTH_DEVICE_INFO* pbtdi);
WINBOOL WINAPI SelectDevices(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp);
WINBOOL WINAPI SelectDevicesFree(BLUETOOTH_SELECT_DEVICE_PARAMS* pbtsdp);
DWORD WINAPI AuthenticateDevice(HWND hwndParent, HANDLE hRadio, BLUETOOTH_DEVICE_INFO* pbtdi,
                                PWSTR pszPasskey, ULONG ulPasskeyLength);

// Service lookup (sim_lookup.cpp).
INT WSAAPI LookupServiceBegin(LPWSAQUERYSETA lpqsRestrictions, DWORD dwControlFlags,
                              LPHANDLE lphLookup);
INT WSAAPI LookupServiceNext(HANDLE hLookup, DWORD dwControlFlags, LPDWORD lpdwBufferLength,
                             LPWSAQUERYSETA lpqsResults);
INT WSAAPI LookupServiceEnd(HANDLE hLookup);

// RFCOMM links and the components' Winsock start-ups (sim_sockets.cpp).
SOCKET WSAAPI Socket(int af, int type, int protocol);
int WSAAPI Connect(SOCKET s, const sockaddr* name, int namelen);
int WSAAPI CloseSocket(SOCKET s);
int WSAAPI Startup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSAAPI Cleanup();
// False while no component has started Winsock through the socket table.
bool WinsockStarted();

} // namespace kvsim::detail

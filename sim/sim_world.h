#pragma once
// The simulated Bluetooth world: local radios, the remote devices they report, each
// device's service records with the peer that answers a connection, and the settings
// that steer the search, the dialogs, pairing and the faults.
//
// A world is plain data: build it in code or read it from a world file
// (sim_worldfile.h), then install it (sim.h). Install checks it as a whole and refuses
// a world that does not hold together; nothing of a refused world is installed.

#include <winsock2.h>
#include <ws2bth.h>
#include <bluetoothapis.h>

#include <string>
#include <string_view>
#include <vector>

namespace kvsim {

struct TRadio {
    std::wstring Name; // at most 248 characters
    BTH_ADDR Address = 0;
    bool Connectable = true;
    bool Discoverable = false;
    // BluetoothGetRadioInfo answers ERROR_GEN_FAILURE for this radio.
    bool InfoMissing = false;
};

// What stands at the far end of a service's RFCOMM link.
enum class TPeerKind {
    Echo,     // sends back every byte it receives
    Modem,    // answers AT commands ended by a carriage return
    Silent,   // reads everything, answers nothing
    External, // the program listening on 127.0.0.1:ExternalPort is the peer
};

struct TPeer {
    TPeerKind Kind = TPeerKind::Echo;
    unsigned short ExternalPort = 0; // External only
    // Non-zero: connect fails with this Winsock code (after ConnectDelayMs).
    int ConnectError = 0;
    DWORD ConnectDelayMs = 0;
    // Non-negative: after this many received bytes the peer drops the link (see
    // TPeerServer::Drop).
    long long DropAfter = -1;
    // Non-negative: after this many received bytes the peer stops reading.
    long long StallAfter = -1;
};

struct TService {
    GUID ServiceClass{};
    std::wstring Name;
    std::wstring Comment;
    ULONG Channel = 1; // RFCOMM channel, 1 to 30
    // The record's blob is padded so that the whole record needs more than 2,000 bytes.
    bool Large = false;
    TPeer Peer;
};

struct TDevice {
    std::wstring Name; // at most 248 characters; exactly 248 leave no terminating zero
    BTH_ADDR Address = 0;
    ULONG ClassOfDevice = 0;
    std::vector<int> Radios; // positions in TWorld::Radios of the radios that report it
    bool Authenticated = false;
    bool Remembered = false;
    bool Connected = false;
    // Found only by a search that issues an inquiry.
    bool InquiryOnly = false;
    // Copied into the device record as they are: a zero year or an impossible date stays.
    SYSTEMTIME LastSeen{};
    SYSTEMTIME LastUsed{};
    std::vector<TService> Services;
    // Non-zero: a service lookup of LookupFailClass on this device cannot begin and
    // leaves this Winsock code.
    int LookupFailCode = 0;
    GUID LookupFailClass{};
    // Each lookup begin on this device answers this late, as a remote device that is
    // asked afresh for each class (a component's lookup asks for 18).
    DWORD LookupDelayMs = 0;
};

// How the select dialog ends.
struct TSelectOutcome {
    enum TKind { Cancel, Pick, Fail };
    TKind Kind = Cancel;
    BTH_ADDR Address = 0; // Pick: may name a device that is not in the world
    DWORD Error = 0;      // Fail: the last error left
};

// Settings that can also be changed while the world is installed (kvsim::SetSettings).
inline constexpr double kMaxInquiryScale = 100;

struct TSettings {
    // The inquiry waits cTimeoutMultiplier x 1.28 s x InquiryScale; tests scale it down.
    // At most kMaxInquiryScale: the longest inquiry then waits 1.7 hours.
    double InquiryScale = 1.0;
    TSelectOutcome Select;
    // Pairing answers 0 for this key (compared as the exact UTF-16 text), else PairingError.
    std::wstring PassKey;
    DWORD PairingError = ERROR_NOT_AUTHENTICATED;
    // Non-zero: socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM) fails with this Winsock code.
    int SocketError = 0;
    // Libraries (IsSystemLibrary) and exported names the resolver reports missing.
    std::vector<std::wstring> MissingLibraries;
    std::vector<std::string> MissingExports;
    // Non-empty: every dialog and pairing call also appends a line to this file, so that
    // a test driving a program from outside can read what the program passed.
    std::wstring JournalPath;
};

struct TWorld {
    std::vector<TRadio> Radios;
    std::vector<TDevice> Devices;
    TSettings Settings;
};

// The service class of a 16-bit Bluetooth UUID: {0000xxxx-0000-1000-8000-00805F9B34FB}.
GUID ServiceClass16(unsigned short Uuid16);

// "00:1A:7D:DA:71:13" (BtAddressToText), as UTF-8.
std::string AddressToText(BTH_ADDR Address);

// The libraries of the simulated system: "bthprops.cpl" and "irprops.cpl" offer the same
// Bluetooth functions, "Ws2_32.dll" the service lookup.
inline constexpr const wchar_t* kSystemLibraries[] = {L"bthprops.cpl", L"irprops.cpl",
                                                      L"Ws2_32.dll"};
// Whether the simulated system has a library of that name (case ignored).
bool IsSystemLibrary(const std::wstring& Name);

// Throws std::invalid_argument naming the first thing that does not hold together:
// a radio position out of range, a name longer than 248 characters, two devices with
// one address, a channel outside 1 to 30, an external peer without a port, an inquiry
// scale outside 0 to 100, an unknown library name.
void CheckWorld(const TWorld& World);

} // namespace kvsim

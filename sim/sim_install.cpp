// Installing a world: the resolver that hands out the simulated functions, the socket
// table's two entries, and the records and peers that tests read.
#include "sim/sim.h"

#include "sim/sim_functions.h"
#include "sim/sim_state.h"

#include "components/kvbt_sockets.h"
#include "toolkit/text.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace kvsim {

namespace detail {

TWinsockUse::TWinsockUse() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
}

TWinsockUse::~TWinsockUse() {
    WSACleanup();
}

TState::~TState() {
    // A test may still hold a peer; it stops here all the same.
    for (auto& [position, peer] : Peers)
        peer->Stop();
}

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::unique_ptr<TState>& Installed() {
    static std::unique_ptr<TState> state;
    return state;
}

TLedger& Ledger() {
    static TLedger ledger;
    return ledger;
}

std::atomic<int>& WinsockStarts() {
    static std::atomic<int> starts{0};
    return starts;
}

} // namespace detail

namespace {

using namespace detail;

// The module handles the resolver gives out, one per library: addresses that no real
// module has.
char gModules[std::size(kSystemLibraries)];
HMODULE ModuleOf(const wchar_t* library) {
    for (size_t i = 0; i < std::size(kSystemLibraries); ++i)
        if (SameText(library, kSystemLibraries[i]))
            return reinterpret_cast<HMODULE>(&gModules[i]);
    return nullptr;
}
bool IsBluetoothModule(HMODULE module) {
    return module == ModuleOf(L"bthprops.cpl") || module == ModuleOf(L"irprops.cpl");
}

// The address of a simulated function; F is the platform's type, which it must match.
template <class F> FARPROC Export(F function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

struct TExport {
    bool Bluetooth; // else the lookup library
    const char* Name;
    FARPROC Address;
};

const TExport kExports[] = {
    {true, "BluetoothFindFirstRadio", Export<decltype(&::BluetoothFindFirstRadio)>(FindFirstRadio)},
    {true, "BluetoothFindNextRadio", Export<decltype(&::BluetoothFindNextRadio)>(FindNextRadio)},
    {true, "BluetoothFindRadioClose", Export<decltype(&::BluetoothFindRadioClose)>(FindRadioClose)},
    {true, "BluetoothGetRadioInfo", Export<decltype(&::BluetoothGetRadioInfo)>(GetRadioInfo)},
    {true, "BluetoothFindFirstDevice",
     Export<decltype(&::BluetoothFindFirstDevice)>(FindFirstDevice)},
    {true, "BluetoothFindNextDevice", Export<decltype(&::BluetoothFindNextDevice)>(FindNextDevice)},
    {true, "BluetoothFindDeviceClose",
     Export<decltype(&::BluetoothFindDeviceClose)>(FindDeviceClose)},
    {true, "BluetoothIsConnectable", Export<decltype(&::BluetoothIsConnectable)>(IsConnectable)},
    {true, "BluetoothIsDiscoverable", Export<decltype(&::BluetoothIsDiscoverable)>(IsDiscoverable)},
    {true, "BluetoothEnableDiscovery",
     Export<decltype(&::BluetoothEnableDiscovery)>(EnableDiscovery)},
    {true, "BluetoothEnableIncomingConnections",
     Export<decltype(&::BluetoothEnableIncomingConnections)>(EnableIncomingConnections)},
    {true, "BluetoothDisplayDeviceProperties",
     Export<decltype(&::BluetoothDisplayDeviceProperties)>(DisplayDeviceProperties)},
    {true, "BluetoothSelectDevices", Export<decltype(&::BluetoothSelectDevices)>(SelectDevices)},
    {true, "BluetoothSelectDevicesFree",
     Export<decltype(&::BluetoothSelectDevicesFree)>(SelectDevicesFree)},
    {true, "BluetoothAuthenticateDevice", Export<TBluetoothAuthenticateDevice>(AuthenticateDevice)},
    {false, "WSALookupServiceBeginA",
     Export<decltype(&::WSALookupServiceBeginA)>(LookupServiceBegin)},
    {false, "WSALookupServiceNextA", Export<decltype(&::WSALookupServiceNextA)>(LookupServiceNext)},
    {false, "WSALookupServiceEnd", Export<decltype(&::WSALookupServiceEnd)>(LookupServiceEnd)},
};

// Answers the binding from the installed world, with the platform's last errors for a
// missing library (126) or export (127).
class TSimResolver : public TkvApiResolver {
public:
    HMODULE Load(const wchar_t* Library) override {
        return Call<HMODULE>(nullptr, [&](TState& state, DWORD& error) -> HMODULE {
            const auto& missing = state.World.Settings.MissingLibraries;
            bool absent =
                std::any_of(missing.begin(), missing.end(),
                            [&](const std::wstring& name) { return SameText(name, Library); });
            HMODULE module = ModuleOf(Library);
            if (absent || !module) {
                error = ERROR_MOD_NOT_FOUND;
                return nullptr;
            }
            return module;
        });
    }

    FARPROC Find(HMODULE Module, const char* Name) override {
        return Call<FARPROC>(nullptr, [&](TState& state, DWORD& error) -> FARPROC {
            const auto& missing = state.World.Settings.MissingExports;
            if (std::find(missing.begin(), missing.end(), Name) == missing.end())
                for (const TExport& item : kExports)
                    if ((item.Bluetooth ? IsBluetoothModule(Module)
                                        : Module == ModuleOf(L"Ws2_32.dll")) &&
                        std::string_view(item.Name) == Name)
                        return item.Address;
            error = ERROR_PROC_NOT_FOUND;
            return nullptr;
        });
    }

    void Free(HMODULE) override {}
};

TSimResolver gResolver;

} // namespace

void Install(const TWorld& World) {
    CheckWorld(World);
    auto state = std::make_unique<TState>();
    state->World = World;
    for (size_t d = 0; d < World.Devices.size(); ++d)
        for (size_t s = 0; s < World.Devices[d].Services.size(); ++s) {
            const TPeer& peer = World.Devices[d].Services[s].Peer;
            if (peer.Kind != TPeerKind::External)
                state->Peers[{d, s}] = std::make_shared<TPeerServer>(peer);
        }
    Uninstall();
    {
        std::lock_guard lock(Lock());
        Installed() = std::move(state);
    }
    SetApiResolver(&gResolver);
    kvSocketApi.socket = detail::Socket;
    kvSocketApi.connect = detail::Connect;
    kvSocketApi.closesocket = detail::CloseSocket;
    kvSocketApi.WSAStartup = detail::Startup;
    kvSocketApi.WSACleanup = detail::Cleanup;
}

void Uninstall() {
    std::unique_ptr<TState> old;
    {
        std::lock_guard lock(Lock());
        old = std::move(Installed());
        if (old) { // what it still holds can no longer be closed
            TOpenHandles& abandoned = Ledger().Abandoned;
            abandoned.RadioSearches += int(old->RadioFinds.size());
            abandoned.DeviceSearches += int(old->DeviceFinds.size());
            abandoned.Lookups += int(old->Lookups.size());
            abandoned.Selections += int(old->Selections.size());
        }
    }
    if (!old)
        return;
    SetApiResolver(nullptr);
    TkvSocketApi winsock = WinsockSocketApi();
    kvSocketApi.socket = winsock.socket;
    kvSocketApi.connect = winsock.connect;
    kvSocketApi.closesocket = winsock.closesocket;
    kvSocketApi.WSAStartup = winsock.WSAStartup;
    kvSocketApi.WSACleanup = winsock.WSACleanup;
    old.reset(); // outside the lock: stopping a peer waits for its thread
}

bool IsInstalled() {
    std::lock_guard lock(Lock());
    return Installed() != nullptr;
}

TSettings Settings() {
    return Call<TSettings>({}, [](TState& state, DWORD&) { return state.World.Settings; });
}

void SetSettings(const TSettings& Settings) {
    CheckWorld(TWorld{{}, {}, Settings});
    std::lock_guard lock(Lock());
    if (!Installed())
        throw std::invalid_argument("no simulated world is installed");
    Installed()->World.Settings = Settings;
}

std::shared_ptr<TPeerServer> Peer(BTH_ADDR Device, const GUID& ServiceClass) {
    std::lock_guard lock(Lock());
    TState* state = Installed().get();
    if (!state)
        throw std::invalid_argument("no simulated world is installed");
    for (size_t d = 0; d < state->World.Devices.size(); ++d) {
        const TDevice& device = state->World.Devices[d];
        if (device.Address != Device)
            continue;
        for (size_t s = 0; s < device.Services.size(); ++s)
            if (IsEqualGUID(device.Services[s].ServiceClass, ServiceClass)) {
                auto found = state->Peers.find({d, s});
                if (found == state->Peers.end())
                    throw std::invalid_argument("the service's peer is external");
                return found->second;
            }
    }
    throw std::invalid_argument("no service of that class on device " + AddressToText(Device));
}

namespace {

template <class T> std::vector<T> Records(std::vector<T> TState::*records) {
    return Call<std::vector<T>>({}, [&](TState& state, DWORD&) { return state.*records; });
}

} // namespace

std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> DeviceSearches() {
    return Records(&TState::Searches);
}
std::vector<TLookupCall> LookupCalls() {
    return Records(&TState::LookupCalls);
}
std::vector<TLookupNextCall> LookupNextCalls() {
    return Records(&TState::LookupNextCalls);
}
std::vector<TSelectCall> SelectCalls() {
    return Records(&TState::SelectCalls);
}
std::vector<TPropertiesCall> PropertiesCalls() {
    return Records(&TState::PropertiesCalls);
}
std::vector<TPairingCall> PairingCalls() {
    return Records(&TState::PairingCalls);
}

TOpenHandles OpenHandles() {
    std::lock_guard lock(Lock());
    TOpenHandles open = Ledger().Abandoned;
    std::erase_if(Ledger().Radios, [](const std::wstring& name) {
        HANDLE probe = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
        if (probe)
            CloseHandle(probe);
        return probe == nullptr;
    });
    open.Radios = int(Ledger().Radios.size());
    if (TState* state = Installed().get()) {
        open.RadioSearches += int(state->RadioFinds.size());
        open.DeviceSearches += int(state->DeviceFinds.size());
        open.Lookups += int(state->Lookups.size());
        open.Selections += int(state->Selections.size());
    }
    open.WinsockStarts = WinsockStarts();
    return open;
}

std::string Describe(const TOpenHandles& Handles) {
    return "radios " + std::to_string(Handles.Radios) + ", radio searches " +
           std::to_string(Handles.RadioSearches) + ", device searches " +
           std::to_string(Handles.DeviceSearches) + ", lookups " + std::to_string(Handles.Lookups) +
           ", selections " + std::to_string(Handles.Selections) + ", Winsock start-ups " +
           std::to_string(Handles.WinsockStarts);
}

} // namespace kvsim

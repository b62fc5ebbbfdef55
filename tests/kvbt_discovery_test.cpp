// TkvBT's discovery side over the simulated stack: the binding, the radio, device and
// service objects, the service lookup, radio and device enumeration with its writers, and
// the device box that shows the device list.
#include "components/kvbt.h"
#include "components/kvcommbox.h"
#include "sim/sim.h"
#include "sim/sim_worldfile.h"
#include "toolkit/forms.h"
#include "toolkit/formreader.h"

#include "sim_open_handles.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace {

const BTH_ADDR kRadioA = 0x0000AA000001;
const BTH_ADDR kRadioB = 0x0000AA000002;
// Found by the radios.
const BTH_ADDR kModem = 0x001A7DDA7113;
const BTH_ADDR kEcho = 0x001A7DDA7120; // reported by both radios
const BTH_ADDR kPhone = 0x001A7DDA7131;
const BTH_ADDR kHeadset = 0x001A7DDA7142;
const BTH_ADDR kStranger = 0x001A7DDA7150; // neither authenticated nor remembered
const BTH_ADDR kFar = 0x001A7DDA7155;      // found only by an inquiry
// Reported by no radio: only looked up.
const BTH_ADDR kTwo = 0x001A7DDA7160;
const BTH_ADDR kBare = 0x001A7DDA7161;
const BTH_ADDR kFailFirst = 0x001A7DDA7162;
const BTH_ADDR kFailFifth = 0x001A7DDA7163;
const BTH_ADDR kLarge = 0x001A7DDA7164;
const BTH_ADDR kNowhere = 0x00AABBCCDDEE; // in no world

const std::wstring kLongName(248, L'S'); // fills the platform's name field, no NUL
const GUID kDialUp = kvsim::ServiceClass16(0x1103);
const GUID kSerial = kvsim::ServiceClass16(0x1101);
const GUID kPush = kvsim::ServiceClass16(0x1105);
// Both names of the Bluetooth library: without them the system has no Bluetooth functions.
const std::vector<std::wstring> kNoBluetooth = {L"bthprops.cpl", L"irprops.cpl"};

kvsim::TService Service(unsigned short uuid, ULONG channel, const wchar_t* name,
                        const wchar_t* comment = L"") {
    kvsim::TService s;
    s.ServiceClass = kvsim::ServiceClass16(uuid);
    s.Channel = channel;
    s.Name = name;
    s.Comment = comment;
    s.Peer.Kind = kvsim::TPeerKind::Silent;
    return s;
}

kvsim::TDevice Device(const std::wstring& name, BTH_ADDR address, std::vector<int> radios,
                      std::vector<kvsim::TService> services = {}) {
    kvsim::TDevice d;
    d.Name = name;
    d.Address = address;
    d.Radios = std::move(radios);
    d.Remembered = true;
    d.Services = std::move(services);
    return d;
}

// Radio A reports the modem, the echo device and the phone; radio B the echo device, the
// headset, a stranger and a device that only an inquiry finds.
kvsim::TWorld World() {
    kvsim::TWorld w;
    w.Radios = {{L"Radio A", kRadioA, true, true, false},
                {L"Radio B", kRadioB, false, false, false}};
    kvsim::TDevice modem = Device(L"Modem", kModem, {0}, {Service(0x1101, 1, L"Serial Port")});
    modem.Authenticated = true;
    modem.ClassOfDevice = 0x001F00;
    modem.LastSeen = {2024, 3, 2, 5, 12, 30, 5, 250};
    modem.LastUsed = {2023, 2, 0, 30, 10, 0, 0, 0}; // no 30 February
    kvsim::TDevice echo = Device(L"Echo", kEcho, {0, 1}, {Service(0x1101, 3, L"Echo")});
    echo.Connected = true;
    kvsim::TDevice phone =
        Device(L"Phone", kPhone, {0},
               {Service(0x1101, 4, L"Serial 1", L"Console"),
                Service(0x1103, 2, L"Dial-up 1", L"Phone modem"), Service(0x1101, 5, L"Serial 2"),
                Service(0x1103, 6, L"Dial-up 2"), Service(0x1105, 7, L"Push")});
    phone.LastSeen = {2024, 1, 1, 1, 25, 0, 0, 0}; // no hour 25
    phone.LastUsed = {2024, 1, 1, 15, 7, 5, 0, 0};
    kvsim::TDevice stranger = Device(kLongName, kStranger, {1});
    stranger.Remembered = false;
    kvsim::TDevice distant = Device(L"Far", kFar, {1});
    distant.Remembered = false;
    distant.InquiryOnly = true;
    kvsim::TDevice failFirst = Device(L"Fail first", kFailFirst, {},
                                      {Service(0x1103, 1, L"DUN"), Service(0x1101, 2, L"SPP")});
    failFirst.LookupFailClass = kDialUp;
    failFirst.LookupFailCode = WSAETIMEDOUT;
    kvsim::TDevice failFifth = Device(L"Fail fifth", kFailFifth, {},
                                      {Service(0x1203, 1, L"Audio"), Service(0x1108, 2, L"Headset"),
                                       Service(0x1106, 3, L"FTP"), Service(0x1105, 4, L"OPP"),
                                       Service(0x1101, 5, L"SPP"), Service(0x1103, 6, L"DUN")});
    failFifth.LookupFailClass = kvsim::ServiceClass16(0x1108);
    failFifth.LookupFailCode = WSAEHOSTUNREACH;
    kvsim::TService large = Service(0x1101, 2, L"Large");
    large.Large = true;
    w.Devices = {modem,
                 echo,
                 phone,
                 Device(L"Headset", kHeadset, {1}),
                 stranger,
                 distant,
                 Device(L"Two", kTwo, {}, {Service(0x1101, 1, L"SPP"), Service(0x1103, 2, L"DUN")}),
                 Device(L"Bare", kBare, {}),
                 failFirst,
                 failFifth,
                 Device(L"Large", kLarge, {},
                        {Service(0x1101, 1, L"Before"), large, Service(0x1101, 3, L"After")})};
    w.Settings.InquiryScale = 0;
    w.Settings.Select.Kind = kvsim::TSelectOutcome::Pick;
    w.Settings.Select.Address = kModem;
    w.Settings.PassKey = L"1234";
    return w;
}

BLUETOOTH_ADDRESS Address(BTH_ADDR value) {
    BLUETOOTH_ADDRESS a;
    a.ullLong = value;
    return a;
}

// Counts the device lists that the component hands out and the enumerations it runs.
class TCountingBT : public TkvBT {
public:
    using TkvBT::TkvBT;
    void GetDeviceList(TStrings* L) override {
        ++Lists;
        TkvBT::GetDeviceList(L);
    }
    void EnumerateDevices() override {
        ++Enumerations;
        TkvBT::EnumerateDevices();
    }
    int Lists = 0;
    int Enumerations = 0;
};

struct TListener {
    std::vector<int> Codes;
    void Notify(TObject*, std::int32_t Code) { Codes.push_back(Code); }
};

std::vector<std::wstring> Names(const TkvBT* bt) {
    std::vector<std::wstring> names;
    for (int i = 0; i < bt->DeviceCount(); ++i)
        names.push_back(bt->GetBTDevice(i)->NameFriendly);
    return names;
}

std::vector<int> RadiosOf(const TkvBT* bt) {
    std::vector<int> radios;
    for (int i = 0; i < bt->DeviceCount(); ++i)
        radios.push_back(bt->GetBTDevice(i)->IndexRadio);
    return radios;
}

class Discovery : public testing::Test {
protected:
    void SetUp() override {
        kvsim::Install(World());
        owner = new TComponent(nullptr);
        bt = new TCountingBT(owner);
        bt->NotifyAdd(TkvNotifyEvent::Bind<&TListener::Notify>(&listener));
    }
    void TearDown() override {
        delete owner;
        kvsim::Uninstall();
    }

    void Use(const kvsim::TWorld& w) {
        kvsim::Install(w);
        seen = 0;
    }
    void Missing(std::vector<std::wstring> libraries, std::vector<std::string> exports) {
        auto s = kvsim::Settings();
        s.MissingLibraries = std::move(libraries);
        s.MissingExports = std::move(exports);
        kvsim::SetSettings(s);
        UnloadBtApis(); // a loaded library would hide a missing one
    }
    // The device searches made since the last call.
    std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> NewSearches() {
        auto all = kvsim::DeviceSearches();
        std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> fresh(
            all.begin() + static_cast<long>(std::min(seen, all.size())), all.end());
        seen = all.size();
        return fresh;
    }
    HANDLE RadioHandle(int i) { return reinterpret_cast<HANDLE>(bt->GetRadio(i)->Handle); }

    TComponent* owner = nullptr;
    TCountingBT* bt = nullptr;
    TListener listener;
    size_t seen = 0;
    TOpenHandleCheck openHandles;
};

// ---- The binding

// A platform record cleared to zero with its size set.
template <class T> T Sized() {
    T record{};
    record.dwSize = sizeof record;
    return record;
}

// Handles for calling every wrapper, made while the whole stack is present.
struct TProbe {
    TProbe() {
        auto p = Sized<BLUETOOTH_FIND_RADIO_PARAMS>();
        radioFind = kvbtw32::BluetoothFindFirstRadio(&p, &radio);
        BLUETOOTH_DEVICE_SEARCH_PARAMS s{};
        s.dwSize = sizeof s;
        s.fReturnRemembered = -1;
        s.hRadio = radio;
        device.dwSize = sizeof device;
        deviceFind = kvbtw32::BluetoothFindFirstDevice(&s, &device);
        select.dwSize = sizeof select;
        kvbtw32::BluetoothSelectDevices(&select);
        radioFinds.push_back(radioFind);
        deviceFinds.push_back(deviceFind);
    }
    // Closes what the probe and the calls made, with the whole stack present again; what
    // a call closed already is refused.
    ~TProbe() {
        for (HBLUETOOTH_RADIO_FIND find : radioFinds)
            kvbtw32::BluetoothFindRadioClose(find);
        for (HBLUETOOTH_DEVICE_FIND find : deviceFinds)
            kvbtw32::BluetoothFindDeviceClose(find);
        for (BLUETOOTH_SELECT_DEVICE_PARAMS* s : {&select, &reselect})
            kvbtw32::BluetoothSelectDevicesFree(s);
        CloseHandle(radio);
    }
    HANDLE radio = nullptr;
    HBLUETOOTH_RADIO_FIND radioFind = nullptr;
    BLUETOOTH_DEVICE_INFO device{};
    HBLUETOOTH_DEVICE_FIND deviceFind = nullptr;
    BLUETOOTH_SELECT_DEVICE_PARAMS select{}, reselect{};
    // Every search that the probe and the calls began.
    std::vector<HBLUETOOTH_RADIO_FIND> radioFinds;
    std::vector<HBLUETOOTH_DEVICE_FIND> deviceFinds;
};

struct TWrapper {
    const char* Name;
    bool Bluetooth; // from the Bluetooth library, else from "Ws2_32.dll"
    std::intptr_t Missing;
    std::function<std::intptr_t(TProbe&)> Call; // answers other than Missing when present
};

std::intptr_t Value(const void* p) {
    return reinterpret_cast<std::intptr_t>(p);
}

const std::vector<TWrapper>& Wrappers() {
    static wchar_t key[] = L"wrong";
    static const std::vector<TWrapper> wrappers = {
        {"BluetoothFindFirstRadio", true, 0,
         [](TProbe& p) {
             auto params = Sized<BLUETOOTH_FIND_RADIO_PARAMS>();
             HANDLE r = nullptr;
             p.radioFinds.push_back(kvbtw32::BluetoothFindFirstRadio(&params, &r));
             CloseHandle(r);
             return Value(p.radioFinds.back());
         }},
        {"BluetoothFindNextRadio", true, 0,
         [](TProbe& p) {
             HANDLE r = nullptr;
             bool more = kvbtw32::BluetoothFindNextRadio(p.radioFind, &r);
             CloseHandle(r);
             return std::intptr_t(more);
         }},
        {"BluetoothFindRadioClose", true, 0,
         [](TProbe& p) { return std::intptr_t(kvbtw32::BluetoothFindRadioClose(p.radioFind)); }},
        {"BluetoothGetRadioInfo", true, ERROR_INVALID_PARAMETER,
         [](TProbe& p) {
             auto info = Sized<BLUETOOTH_RADIO_INFO>();
             return std::intptr_t(kvbtw32::BluetoothGetRadioInfo(p.radio, &info));
         }},
        {"BluetoothFindFirstDevice", true, 0,
         [](TProbe& p) {
             BLUETOOTH_DEVICE_SEARCH_PARAMS s{};
             s.dwSize = sizeof s;
             s.fReturnRemembered = -1;
             s.hRadio = p.radio;
             auto info = Sized<BLUETOOTH_DEVICE_INFO>();
             p.deviceFinds.push_back(kvbtw32::BluetoothFindFirstDevice(&s, &info));
             return Value(p.deviceFinds.back());
         }},
        {"BluetoothFindNextDevice", true, 0,
         [](TProbe& p) {
             auto info = Sized<BLUETOOTH_DEVICE_INFO>();
             return std::intptr_t(kvbtw32::BluetoothFindNextDevice(p.deviceFind, &info));
         }},
        {"BluetoothFindDeviceClose", true, 0,
         [](TProbe& p) { return std::intptr_t(kvbtw32::BluetoothFindDeviceClose(p.deviceFind)); }},
        {"BluetoothIsConnectable", true, 0,
         [](TProbe& p) { return std::intptr_t(kvbtw32::BluetoothIsConnectable(p.radio)); }},
        {"BluetoothIsDiscoverable", true, 0,
         [](TProbe& p) { return std::intptr_t(kvbtw32::BluetoothIsDiscoverable(p.radio)); }},
        {"BluetoothEnableDiscovery", true, 0,
         [](TProbe& p) { return std::intptr_t(kvbtw32::BluetoothEnableDiscovery(p.radio, true)); }},
        {"BluetoothEnableIncomingConnections", true, 0,
         [](TProbe& p) {
             return std::intptr_t(kvbtw32::BluetoothEnableIncomingConnections(p.radio, true));
         }},
        {"BluetoothDisplayDeviceProperties", true, 0,
         [](TProbe& p) {
             return std::intptr_t(kvbtw32::BluetoothDisplayDeviceProperties(nullptr, &p.device));
         }},
        {"BluetoothSelectDevices", true, 0,
         [](TProbe& p) {
             p.reselect.dwSize = sizeof p.reselect;
             return std::intptr_t(kvbtw32::BluetoothSelectDevices(&p.reselect));
         }},
        {"BluetoothSelectDevicesFree", true, 0,
         [](TProbe& p) { return std::intptr_t(kvbtw32::BluetoothSelectDevicesFree(&p.select)); }},
        {"BluetoothAuthenticateDevice", true, 0,
         [](TProbe& p) {
             return std::intptr_t(
                 kvbtw32::BluetoothAuthenticateDevice(nullptr, p.radio, &p.device, key, 5));
         }},
        {"WSALookupServiceBeginA", false, 0,
         [](TProbe&) {
             WSAQUERYSETA wrongSize{};
             HANDLE lookup = nullptr;
             return std::intptr_t(kvbtw32::WSALookupServiceBeginA(&wrongSize, 0x13B0, &lookup));
         }},
        {"WSALookupServiceNextA", false, 0,
         [](TProbe&) {
             char buffer[2000];
             DWORD length = sizeof buffer;
             return std::intptr_t(kvbtw32::WSALookupServiceNextA(
                 nullptr, 0x13B0, &length, reinterpret_cast<LPWSAQUERYSETA>(buffer)));
         }},
        {"WSALookupServiceEnd", false, 0,
         [](TProbe&) { return std::intptr_t(kvbtw32::WSALookupServiceEnd(nullptr)); }},
    };
    return wrappers;
}

TEST_F(Discovery, WrapperAnswersItsDefaultOnlyWhenItsLibraryOrExportIsMissing) {
    struct TScenario {
        std::string Name;
        std::vector<std::wstring> Libraries;
        std::string Export; // or empty
        bool BluetoothMissing = false;
        bool LookupMissing = false;
    };
    std::vector<TScenario> scenarios = {
        {"nothing missing", {}, ""},
        {"bthprops.cpl alone", {L"irprops.cpl"}, ""},
        {"irprops.cpl alone", {L"bthprops.cpl"}, ""},
        {"no Bluetooth library", kNoBluetooth, "", true},
        {"no Ws2_32.dll", {L"Ws2_32.dll"}, "", false, true},
    };
    for (const TWrapper& w : Wrappers())
        scenarios.push_back({w.Name, {}, w.Name});
    for (const TScenario& s : scenarios) {
        SCOPED_TRACE(s.Name);
        for (const TWrapper& w : Wrappers()) {
            SCOPED_TRACE(w.Name);
            TProbe probe;
            Missing(s.Libraries,
                    s.Export.empty() ? std::vector<std::string>{} : std::vector{s.Export});
            bool missing =
                s.Export == w.Name || (w.Bluetooth ? s.BluetoothMissing : s.LookupMissing);
            std::intptr_t answer = w.Call(probe);
            if (missing)
                EXPECT_EQ(answer, w.Missing);
            else
                EXPECT_NE(answer, w.Missing);
            Missing({}, {});
        }
    }
}

TEST_F(Discovery, FailedLoadIsTriedAgainAndUnloadLeavesBothHandlesNull) {
    Missing(kNoBluetooth, {});
    EXPECT_FALSE(LoadBtApi());
    EXPECT_EQ(BtApiHandle(), nullptr);
    bt->Update();
    EXPECT_EQ(bt->RadioCount(), 0);
    EXPECT_EQ(listener.Codes, std::vector<int>{3});

    auto s = kvsim::Settings();
    s.MissingLibraries.clear();
    kvsim::SetSettings(s);
    bt->Update(); // its first wrapper loads the library
    EXPECT_NE(BtApiHandle(), nullptr);
    EXPECT_EQ(bt->RadioCount(), 2);
    EXPECT_TRUE(LoadWsApi());
    EXPECT_NE(WsApiHandle(), nullptr);
    UnloadBtApis();
    EXPECT_EQ(BtApiHandle(), nullptr);
    EXPECT_EQ(WsApiHandle(), nullptr);
}

TEST_F(Discovery, EitherBluetoothLibraryServesAloneAndWithNeitherOpeningFindsNoStack) {
    const struct {
        const char* Name;
        std::vector<std::wstring> Missing;
        bool Works;
    } cases[] = {
        {"bthprops.cpl alone", {L"irprops.cpl"}, true},
        {"irprops.cpl alone", {L"bthprops.cpl"}, true},
        {"neither", kNoBluetooth, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        kvsim::TWorld w = World();
        w.Settings.MissingLibraries = c.Missing;
        Use(w);
        TkvBT local(nullptr); // waits for its reader when it goes
        local.Update();
        EXPECT_EQ(LoadBtApi(), c.Works);
        EXPECT_EQ(local.RadioCount(), c.Works ? 2 : 0);
        if (!c.Works) {
            try {
                local.SetActive(true);
                ADD_FAILURE() << "opened";
            } catch (const Exception& e) {
                EXPECT_EQ(e.Message(), L"Bluetooth system API is not found.");
            }
            continue;
        }
        local.SetDeviceIndex(local.IndexOfAddress(Address(kModem)));
        local.SetActive(true);
        EXPECT_TRUE(local.GetActive());
        EXPECT_TRUE(PumpUntil([] { return kvsim::Peer(kModem, kSerial)->Connections() == 1; }));
        local.SetActive(false);
    }
}

String Lower(String s) {
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

TEST(SystemStack, WinesOwnLibrariesLoadFromTheSystemDirectoryAndListNoRadio) {
    kvsim::Uninstall(); // no resolver: the system's libraries
    UnloadBtApis();
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(n, 0u);
    auto fileOf = [](HMODULE module) {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
        return Lower(String(path, length));
    };
    ASSERT_TRUE(LoadBtApi());
    EXPECT_EQ(fileOf(BtApiHandle()), Lower(String(system, n) + L"\\bthprops.cpl"));
    ASSERT_TRUE(LoadWsApi());
    EXPECT_EQ(fileOf(WsApiHandle()), Lower(String(system, n) + L"\\ws2_32.dll"));

    TkvBT bt(nullptr);
    bt.Update();
    EXPECT_EQ(bt.RadioCount(), 0);
    EXPECT_EQ(bt.DeviceCount(), 0);
    UnloadBtApis();
}

// ---- Radio, device and service objects

TEST(BtDevice, AddressAsStrReadsByteFiveFirstInUpperCase) {
    const struct {
        BTH_ADDR Address;
        const wchar_t* Text;
    } cases[] = {
        {0, L"(00:00:00:00:00:00)"},
        {0x001A7DDA7113, L"(00:1A:7D:DA:71:13)"},
        {0xFFFFABCDEF0A0B0C, L"(AB:CD:EF:0A:0B:0C)"}, // the two high bytes are no part of it
    };
    for (const auto& c : cases) {
        TkvBTDevice d;
        d.Address.ullLong = c.Address;
        EXPECT_EQ(d.AddressAsStr(), c.Text);
    }
}

TEST(BtAddressText, ReadsThreeFormsInEitherCaseAndRefusesTheRest) {
    BLUETOOTH_ADDRESS parsed{};
    const struct {
        const wchar_t* Text;
        BTH_ADDR Address; // 0: refused
    } cases[] = {
        {L"00:1A:7D:DA:71:13", 0x001A7DDA7113},
        {L"00-1a-7d-da-71-13", 0x001A7DDA7113},
        {L"001A7dDA7113", 0x001A7DDA7113},
        {L"FF:FF:FF:FF:FF:FF", 0xFFFFFFFFFFFF},
        {L"00:1A:7D:DA:71", 0},     // five pairs
        {L"00:1A:7D:DA:71:13:", 0}, // a separator too many
        {L"00:1A-7D:DA:71:13", 0},  // mixed separators
        {L"00.1A.7D.DA.71.13", 0},  // another separator
        {L"0G:1A:7D:DA:71:13", 0},  // not a digit
        {L" 00:1A:7D:DA:71:13", 0}, // space
        {L"001A7DDA711", 0},        // eleven digits
        {L"", 0},
    };
    for (const auto& c : cases) {
        parsed.ullLong = 0x42;
        const bool read = TextToBtAddress(c.Text, parsed);
        EXPECT_EQ(read, c.Address != 0) << testing::PrintToString(String(c.Text));
        EXPECT_EQ(parsed.ullLong, read ? c.Address : 0x42)
            << testing::PrintToString(String(c.Text));
    }
    parsed.ullLong = 0x001A7DDA7113;
    EXPECT_EQ(BtAddressToText(parsed), L"00:1A:7D:DA:71:13");
    parsed.ullLong = 0xFFFF0A0B0C0D0E0F; // the two high bytes are no part of it
    EXPECT_EQ(BtAddressToText(parsed), L"0A:0B:0C:0D:0E:0F");
}

// A radio closes its handle when it goes: a copy would close it twice.
static_assert(!std::is_copy_constructible_v<TkvBTRadio> && !std::is_copy_assignable_v<TkvBTRadio>);

TEST(BtService, SetInfoKeepsTheRecordsNumbersAndDropsPointersIntoTheLookupsBuffer) {
    char name[] = "Serial Port", comment[] = "Console", context[] = "(00:1A:7D:DA:71:13)",
         query[] = "query";
    GUID provider = kPush;
    AFPROTOCOLS protocols[2] = {{AF_BTH, BTHPROTO_RFCOMM}, {AF_BTH, BTHPROTO_L2CAP}};
    WSAQUERYSETA record{};
    record.dwSize = sizeof record;
    record.lpszServiceInstanceName = name;
    record.lpszComment = comment;
    record.lpNSProviderId = &provider;
    record.dwNameSpace = NS_BTH;
    record.lpszContext = context;
    record.dwNumberOfProtocols = 2;
    record.lpafpProtocols = protocols;
    record.lpszQueryString = query;
    record.dwOutputFlags = 0x10;
    TkvBTService service;
    service.SetInfo(record);
    WSAQUERYSETA kept = service.QuerySet();
    EXPECT_EQ(kept.dwSize, sizeof record);
    EXPECT_EQ(kept.dwNameSpace, DWORD(NS_BTH));
    EXPECT_EQ(kept.dwNumberOfProtocols, 2u);
    EXPECT_EQ(kept.dwOutputFlags, 0x10u);
    EXPECT_EQ(kept.lpNSProviderId, nullptr);
    EXPECT_EQ(kept.lpszContext, nullptr);
    EXPECT_EQ(kept.lpafpProtocols, nullptr);
    EXPECT_EQ(kept.lpszQueryString, nullptr);
    EXPECT_STREQ(kept.lpszServiceInstanceName, "Serial Port");
    EXPECT_NE(kept.lpszServiceInstanceName, name); // the service's own copy
    EXPECT_STREQ(kept.lpszComment, "Console");
    EXPECT_EQ(service.Caption(), L"Serial Port");
}

std::unique_ptr<TkvBTDevice> LookUp(BTH_ADDR address, int serviceIndex = -1) {
    auto d = std::make_unique<TkvBTDevice>();
    d->Address.ullLong = address;
    d->SetServiceIndex(serviceIndex);
    d->Update();
    return d;
}

std::vector<std::wstring> Captions(const TkvBTDevice& d) {
    std::vector<std::wstring> captions;
    for (int i = 0; i < d.ServiceCount(); ++i)
        captions.push_back(d.GetServices(i)->Caption());
    return captions;
}

TEST_F(Discovery, LookupAsksEveryClassInTableOrderAndKeepsWhatItFound) {
    const unsigned short classes[18] = {0x1103, 0x1101, 0x1105, 0x1106, 0x1108, 0x1109,
                                        0x110A, 0x110B, 0x1111, 0x1113, 0x1114, 0x111E,
                                        0x111F, 0x1124, 0x1201, 0x1202, 0x1203, 0x1204};
    auto phone = LookUp(kPhone);
    phone->Update(); // a second lookup replaces the services
    auto calls = kvsim::LookupCalls();
    ASSERT_EQ(calls.size(), 36u);
    for (size_t i = 0; i < 18; ++i) {
        SCOPED_TRACE(i);
        const kvsim::TLookupCall& c = calls[18 + i];
        EXPECT_EQ(c.Size, 120u);
        EXPECT_EQ(c.NameSpace, DWORD(NS_BTH));
        EXPECT_TRUE(c.HasClass && IsEqualGUID(c.ServiceClass, kvsim::ServiceClass16(classes[i])));
        EXPECT_EQ(c.Context, "(00:1A:7D:DA:71:31)");
        EXPECT_EQ(c.Flags, 0x13B0u);
    }
    EXPECT_EQ(Captions(*phone), (std::vector<std::wstring>{L"Dial-up 1", L"Dial-up 2", L"Serial 1",
                                                           L"Serial 2", L"Push"}));
    const GUID guids[] = {kDialUp, kDialUp, kSerial, kSerial, kPush};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(IsEqualGUID(phone->GetServices(i)->Guid(), guids[i])) << i;
    EXPECT_EQ(phone->GetServiceIndex(), 0);
    EXPECT_EQ(phone->fLastError, 0);

    LookUp(kTwo); // another lookup's buffers come and go meanwhile
    EXPECT_EQ(phone->GetServices(0)->Comment(), L"Phone modem");
    EXPECT_EQ(phone->GetServices(4)->Comment(), L"");
    WSAQUERYSETA record = phone->GetServices(0)->QuerySet();
    EXPECT_STREQ(record.lpszServiceInstanceName, "Dial-up 1");
    EXPECT_STREQ(record.lpszComment, "Phone modem");
    ASSERT_TRUE(record.lpServiceClassId);
    EXPECT_TRUE(IsEqualGUID(*record.lpServiceClassId, kDialUp));
    ASSERT_EQ(record.dwNumberOfCsAddrs, 1u);
    auto* remote =
        reinterpret_cast<const SOCKADDR_BTH*>(record.lpcsaBuffer[0].RemoteAddr.lpSockaddr);
    EXPECT_EQ(remote->btAddr, kPhone);
    EXPECT_EQ(remote->port, 2u);
}

TEST_F(Discovery, LookupKeepsASelectionAndClampsItToTheServicesFound) {
    const struct {
        int Before;
        BTH_ADDR Device;
        int After;
    } cases[] = {
        {3, kTwo, 1}, {3, kBare, -1}, {-1, kBare, -1}, {-1, kTwo, 0}, {1, kPhone, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Before);
        auto d = LookUp(c.Device, c.Before);
        EXPECT_EQ(d->GetServiceIndex(), c.After);
        EXPECT_EQ(d->fLastError, 0);
    }
}

TEST_F(Discovery, DeviceWithoutDialUpNetworkingListsItsSerialPortAndConnects) {
    auto modem = LookUp(kModem); // the platform finds no record of most classes
    EXPECT_EQ(kvsim::LookupCalls().size(), 18u);
    EXPECT_EQ(Captions(*modem), std::vector<std::wstring>{L"Serial Port"});
    EXPECT_EQ(modem->GetServiceIndex(), 0);
    EXPECT_EQ(modem->fLastError, 0);
    auto nexts = kvsim::LookupNextCalls(); // the record, then the end of the records
    ASSERT_EQ(nexts.size(), 2u);
    for (const kvsim::TLookupNextCall& next : nexts) {
        EXPECT_EQ(next.Flags, 0x13B0u);
        EXPECT_EQ(next.BufferLength, 2000u);
    }

    bt->Update();
    bt->SetDeviceIndex(bt->IndexOfAddress(Address(kModem)));
    bt->SetActive(true); // the device has no services yet: it is looked up first
    EXPECT_TRUE(bt->GetActive());
    EXPECT_EQ(Captions(*bt->GetBTDevice(bt->GetDeviceIndex())),
              std::vector<std::wstring>{L"Serial Port"});
    EXPECT_TRUE(PumpUntil([] { return kvsim::Peer(kModem, kSerial)->Connections() == 1; }));
    bt->SetActive(false);
}

TEST_F(Discovery, LookupThatCannotBeginEndsWithItsCodeKeepingEarlierClasses) {
    const struct {
        BTH_ADDR Device;
        int Code;
        size_t Begins;
        std::vector<std::wstring> Captions;
        int ServiceIndex;
    } cases[] = {
        {kFailFirst, WSAETIMEDOUT, 1, {}, -1},
        {kFailFifth, WSAEHOSTUNREACH, 5, {L"DUN", L"SPP", L"OPP", L"FTP"}, 0},
        {kNowhere, WSAEHOSTDOWN, 1, {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Code);
        size_t before = kvsim::LookupCalls().size();
        auto d = LookUp(c.Device);
        EXPECT_EQ(kvsim::LookupCalls().size() - before, c.Begins);
        EXPECT_EQ(d->fLastError, c.Code);
        EXPECT_EQ(Captions(*d), c.Captions);
        EXPECT_EQ(d->GetServiceIndex(), c.ServiceIndex);
    }
}

TEST_F(Discovery, RecordLargerThanTheBufferIsFetchedWithTheLengthItNeeds) {
    auto d = LookUp(kLarge);
    EXPECT_EQ(Captions(*d), (std::vector<std::wstring>{L"Before", L"Large", L"After"}));
    EXPECT_EQ(d->fLastError, 0);
    WSAQUERYSETA record = d->GetServices(1)->QuerySet();
    ASSERT_TRUE(record.lpBlob);
    EXPECT_GT(record.lpBlob->cbSize, 2000u);
}

TEST_F(Discovery, MissingLookupFunctionsEndTheLookupWithAnError) {
    const struct {
        std::vector<std::wstring> Libraries;
        std::vector<std::string> Exports;
    } cases[] = {
        {{L"Ws2_32.dll"}, {}},
        {{}, {"WSALookupServiceBeginA"}},
        {{}, {"WSALookupServiceNextA"}}, // begins, then "succeeds" delivering nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Libraries.empty() ? c.Exports[0] : "Ws2_32.dll");
        Missing(c.Libraries, c.Exports);
        auto d = LookUp(kPhone);
        EXPECT_EQ(d->ServiceCount(), 0);
        EXPECT_NE(d->fLastError, 0);
        EXPECT_EQ(d->GetServiceIndex(), -1);
    }
}

// ---- Radio and device enumeration

TEST_F(Discovery, RadiosCarryTheirInformationAndThoseWithoutAreLeftOut) {
    bt->Update();
    ASSERT_EQ(bt->RadioCount(), 2);
    TkvBTRadio* a = bt->GetRadio(0);
    EXPECT_EQ(a->NameFriendly, L"Radio A");
    EXPECT_EQ(a->Address.ullLong, kRadioA);
    EXPECT_EQ(a->GetIndex(), 0);
    EXPECT_EQ(a->GetParent(), bt);
    EXPECT_NE(a->Handle, 0u);
    EXPECT_EQ(bt->GetRadio(1)->NameFriendly, L"Radio B");
    EXPECT_THROW(bt->GetRadio(2), EListError);
    EXPECT_TRUE(a->GetIsConnectable());
    EXPECT_TRUE(a->GetIsDiscoverable());
    a->SetIsDiscoverable(false);
    EXPECT_FALSE(a->GetIsDiscoverable());
    Missing(kNoBluetooth, {});
    EXPECT_FALSE(a->GetIsConnectable());
    a->SetIsDiscoverable(true); // without the functions: no effect
    Missing({}, {});
    EXPECT_FALSE(a->GetIsDiscoverable());

    const struct {
        const char* Name;
        std::function<void(kvsim::TWorld&)> Change;
        std::vector<std::wstring> Radios;
        std::vector<std::wstring> Devices;
    } cases[] = {
        {"radio A without information",
         [](kvsim::TWorld& w) { w.Radios[0].InfoMissing = true; },
         {L"Radio B"},
         {L"Echo", L"Headset"}},
        {"no radio information at all",
         [](kvsim::TWorld& w) { w.Settings.MissingExports = {"BluetoothGetRadioInfo"}; },
         {},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        kvsim::TWorld w = World();
        c.Change(w);
        Use(w);
        bt->Update();
        std::vector<std::wstring> radios;
        for (int i = 0; i < bt->RadioCount(); ++i) {
            radios.push_back(bt->GetRadio(i)->NameFriendly);
            EXPECT_EQ(bt->GetRadio(i)->GetIndex(), i);
        }
        EXPECT_EQ(radios, c.Radios);
        EXPECT_EQ(Names(bt), c.Devices);
        EXPECT_EQ(RadiosOf(bt), std::vector<int>(c.Devices.size(), 0));
    }
}

// Refuses the second device that its search delivers.
class TRefusingBT : public TkvBT {
public:
    using TkvBT::TkvBT;
    int AddDevice(TkvDevice* aDevice) override {
        if (++fOffered == 2)
            throw Exception(L"refused");
        return TkvBT::AddDevice(aDevice);
    }

private:
    int fOffered = 0;
};

TEST_F(Discovery, DeviceSearchEndedByAnExceptionClosesItsHandle) {
    auto* refusing = new TRefusingBT(owner);
    kvsim::TOpenHandles before = kvsim::OpenHandles();
    EXPECT_THROW(refusing->Update(), Exception);
    EXPECT_EQ(refusing->DeviceCount(), 1);
    EXPECT_EQ(refusing->RadioCount(), 2);
    EXPECT_EQ(kvsim::OpenHandles().DeviceSearches, before.DeviceSearches);
    EXPECT_EQ(kvsim::OpenHandles().RadioSearches, before.RadioSearches);
}

TEST_F(Discovery, ComponentStartsWinsockThroughTheSocketTableAndCleansUpOnce) {
    int started = kvsim::OpenHandles().WinsockStarts;
    EXPECT_GE(started, 1); // the fixture's component
    auto* other = new TkvBT(owner);
    EXPECT_EQ(kvsim::OpenHandles().WinsockStarts, started + 1);
    delete other;
    EXPECT_EQ(kvsim::OpenHandles().WinsockStarts, started);
}

TEST_F(Discovery, SearchRecordFollowsDeviceEnumAndTheTimeout) {
    using E = TkvBtDeviceEnumerate;
    const E all = {bteAuthenticated, bteRemembered,   bteUnknown,
                   bteConnected,     bteIssueInquiry, bteAllRadios};
    const E inquiry = {bteUnknown, bteIssueInquiry, bteAllRadios};
    const struct {
        const char* Name;
        std::optional<E> Enum; // none: as constructed
        int Timeout;
        std::array<WINBOOL, 5> Flags; // authenticated, remembered, unknown, connected, inquiry
        UCHAR Multiplier;
        std::vector<std::wstring> Devices;
    } cases[] = {
        {"initial",
         std::nullopt,
         5,
         {0, -1, 0, -1, 0},
         3,
         {L"Modem", L"Echo", L"Phone", L"Echo", L"Headset"}},
        {"authenticated", E{bteAuthenticated, bteAllRadios}, 5, {-1, 0, 0, 0, 0}, 3, {L"Modem"}},
        {"every flag",
         all,
         5,
         {-1, -1, -1, -1, -1},
         3,
         {L"Modem", L"Echo", L"Phone", L"Echo", L"Headset", kLongName, L"Far"}},
        {"inquiry of 57 s", inquiry, 57, {0, 0, -1, 0, -1}, 44, {kLongName, L"Far"}},
        {"inquiry of 1 s: no time", inquiry, 1, {0, 0, -1, 0, -1}, 0, {kLongName}},
        {"no inquiry time", inquiry, 0, {0, 0, -1, 0, 0}, 0, {kLongName}},
    };
    EXPECT_EQ(bt->GetDeviceEnum().ToBits(), 0x2A);
    EXPECT_EQ(bt->GetDeviceEnumTimeout(), 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Enum) {
            bt->SetDeviceEnum(*c.Enum);
            bt->SetDeviceEnumTimeout(c.Timeout);
        }
        bt->Update();
        auto searches = NewSearches();
        ASSERT_EQ(searches.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            const BLUETOOTH_DEVICE_SEARCH_PARAMS& s = searches[size_t(i)];
            EXPECT_EQ(s.dwSize, 40u);
            EXPECT_EQ(
                (std::array<WINBOOL, 5>{s.fReturnAuthenticated, s.fReturnRemembered,
                                        s.fReturnUnknown, s.fReturnConnected, s.fIssueInquiry}),
                c.Flags);
            EXPECT_EQ(s.cTimeoutMultiplier, c.Multiplier);
            EXPECT_EQ(s.hRadio, RadioHandle(i));
        }
        EXPECT_EQ(Names(bt), c.Devices);
    }
}

TEST_F(Discovery, AllRadiosListADeviceOncePerRadioOrOnlyTheRadioAtRadioIndex) {
    bt->Update();
    EXPECT_EQ(RadiosOf(bt), (std::vector<int>{0, 0, 0, 1, 1}));
    TkvBTDevice* first = bt->GetBTDevice(1);
    TkvBTDevice* second = bt->GetBTDevice(3);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->Address.ullLong, kEcho);
    EXPECT_EQ(second->Address.ullLong, kEcho);
    EXPECT_EQ(listener.Codes, std::vector<int>{3});

    bt->SetDeviceEnum({bteRemembered, bteConnected});
    bt->SetRadioIndex(1); // rebuilds the device list at once, announcing nothing
    auto searches = NewSearches();
    ASSERT_EQ(searches.size(), 3u);
    EXPECT_EQ(searches[2].hRadio, RadioHandle(1));
    EXPECT_EQ(Names(bt), (std::vector<std::wstring>{L"Echo", L"Headset"}));
    EXPECT_EQ(RadiosOf(bt), (std::vector<int>{1, 1}));
    EXPECT_EQ(listener.Codes, std::vector<int>{3});

    TkvBTDevice* echo = bt->GetBTDevice(0);
    bt->SetRadioIndex(1); // the same value: nothing
    EXPECT_TRUE(NewSearches().empty());
    EXPECT_EQ(bt->GetBTDevice(0), echo);

    bt->Update();
    EXPECT_EQ(NewSearches().size(), 1u);
    EXPECT_EQ(Names(bt), (std::vector<std::wstring>{L"Echo", L"Headset"}));
}

TEST_F(Discovery, DeviceRecordBecomesADeviceWithItsTimes) {
    bt->SetDeviceEnum({bteAuthenticated, bteRemembered, bteUnknown, bteConnected, bteAllRadios});
    bt->Update();
    const TDateTime seen = EncodeDate(2024, 3, 5) + EncodeTime(12, 30, 5, 250);
    const TDateTime used = EncodeDate(2024, 1, 15) + EncodeTime(7, 5, 0, 0);
    const struct {
        int Position;
        BTH_ADDR Address;
        std::wstring Name;
        TDateTime LastSeen, LastUsed;
    } cases[] = {
        {0, kModem, L"Modem", seen, 0}, // last used: an impossible date
        {1, kEcho, L"Echo", 0, 0},      // year 0
        {2, kPhone, L"Phone", 0, used}, // last seen: an impossible time
        {5, kStranger, kLongName, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Position);
        TkvBTDevice* d = bt->GetBTDevice(c.Position);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->NameFriendly, c.Name);
        EXPECT_EQ(d->Address.ullLong, c.Address);
        EXPECT_EQ(d->btInfo.dwSize, 560u);
        EXPECT_EQ(d->btInfo.Address.ullLong, c.Address);
        EXPECT_EQ(d->LastSeen, c.LastSeen);
        EXPECT_EQ(d->LastUsed, c.LastUsed);
        EXPECT_EQ(d->GetIndex(), c.Position);
        EXPECT_EQ(d->GetParent(), bt);
        EXPECT_EQ(d->Data, 0);
    }
    TkvBTDevice* modem = bt->GetBTDevice(0);
    EXPECT_EQ(modem->btInfo.ulClassofDevice, 0x001F00u);
    EXPECT_TRUE(modem->btInfo.fAuthenticated);
    EXPECT_EQ(modem->btInfo.stLastUsed.wDay, 30); // the record itself is kept whole
}

TEST_F(Discovery, EnumerationWritersOnlyStore) {
    const struct {
        int Written, Stored;
    } timeouts[] = {{-3, 0}, {0, 0}, {1, 1}, {57, 57}, {100, 57}};
    for (const auto& t : timeouts) {
        bt->SetDeviceEnumTimeout(t.Written);
        EXPECT_EQ(bt->GetDeviceEnumTimeout(), t.Stored) << t.Written;
    }
    bt->SetDeviceEnum({bteUnknown});
    EXPECT_EQ(bt->GetDeviceEnum(), TkvBtDeviceEnumerate{bteUnknown});
    EXPECT_TRUE(NewSearches().empty());
    EXPECT_EQ(bt->Enumerations, 0);
    EXPECT_TRUE(listener.Codes.empty());
}

TEST_F(Discovery, UpdateWithoutARadioEmptiesBothListsAndStillRaisesCode3) {
    const struct {
        const char* Name;
        std::function<void(kvsim::TWorld&)> Change;
    } cases[] = {
        {"no radio in the world",
         [](kvsim::TWorld& w) {
             w.Radios.clear();
             w.Devices.clear();
         }},
        {"no radio search",
         [](kvsim::TWorld& w) { w.Settings.MissingExports = {"BluetoothFindFirstRadio"}; }},
        {"no Bluetooth library",
         [](kvsim::TWorld& w) { w.Settings.MissingLibraries = kNoBluetooth; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Use(World());
        bt->Update();
        ASSERT_EQ(bt->DeviceCount(), 5);
        kvsim::TWorld w = World();
        c.Change(w);
        Use(w);
        listener.Codes.clear();
        bt->Update();
        EXPECT_EQ(bt->RadioCount(), 0);
        EXPECT_EQ(bt->DeviceCount(), 0);
        EXPECT_EQ(listener.Codes, std::vector<int>{3});
        EXPECT_TRUE(NewSearches().empty());
    }
}

TEST_F(Discovery, DeviceIndexKeepsItsNumberWhenFewerDevicesAreFound) {
    bt->Update();
    bt->SetDeviceIndex(4);
    EXPECT_EQ(listener.Codes, (std::vector<int>{3, 3}));
    bt->SetDeviceEnum({bteAuthenticated, bteAllRadios});
    bt->Update();
    EXPECT_EQ(bt->DeviceCount(), 1);
    EXPECT_EQ(bt->GetDeviceIndex(), 4);
    EXPECT_EQ(bt->GetBTDevice(4), nullptr);
}

TEST_F(Discovery, RadioIndexOutsideTheRadiosFailsWithAListErrorAndLeavesNoDevice) {
    bt->SetDeviceEnum({bteRemembered});
    bt->Update();
    ASSERT_EQ(bt->DeviceCount(), 3);
    EXPECT_THROW(bt->SetRadioIndex(2), EListError);
    EXPECT_EQ(bt->GetRadioIndex(), 2);
    EXPECT_EQ(bt->DeviceCount(), 0);
    EXPECT_THROW(bt->Update(), EListError);
    EXPECT_EQ(bt->RadioCount(), 2);
    EXPECT_EQ(bt->DeviceCount(), 0);
    EXPECT_EQ(listener.Codes, std::vector<int>{3}); // the first Update's only
}

TEST_F(Discovery, IndexOfAddressFindsTheFirstEntryOfAllSixtyFourBits) {
    EXPECT_EQ(bt->IndexOfAddress(Address(kModem)), -1); // nothing listed yet
    bt->Update();
    const struct {
        BTH_ADDR Address;
        int Index;
    } cases[] = {
        {kModem, 0}, {kEcho, 1}, {kHeadset, 4}, {kNowhere, -1}, {kModem | (1ull << 48), -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bt->IndexOfAddress(Address(c.Address)), c.Index) << std::hex << c.Address;
}

TEST_F(Discovery, FindDevicesTakesAnAddressAnExactNameOrTheOneNameThatBeginsSo) {
    kvsim::TWorld w = World();
    w.Devices = {Device(L"Echo", kEcho, {0, 1}), Device(L"Echo Box", kModem, {0}),
                 Device(L"Zweites Gerät", kPhone, {1}), Device(L"Phone One", kTwo, {0}),
                 Device(L"Phone Two", kBare, {1})};
    Use(w);
    bt->Update();
    ASSERT_EQ(Names(bt), (std::vector<std::wstring>{L"Echo", L"Echo Box", L"Phone One", L"Echo",
                                                    L"Zweites Gerät", L"Phone Two"}));
    const struct {
        const wchar_t* Text;
        std::vector<int> Found;
    } cases[] = {
        {L"echo", {0}},          // the exact name wins over "Echo Box", at its first entry
        {L"ECHO b", {1}},        // the one name that begins so
        {L"zweites GERÄT", {4}}, // case ignored beyond ASCII
        {L"phone", {2, 5}},      // ambiguous: both, in list order
        {L"00:1a:7d:da:71:20", {0}},
        {L"001A7DDA7131", {4}},
        {L"00:1A:7D:DA:71:99", {}}, // an address that nobody lists
        {L"Headset", {}},
        {L"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bt->FindDevices(c.Text), c.Found) << std::wstring(c.Text);
}

// ---- The device box

std::vector<std::wstring> Items(TkvDeviceBox* box) {
    std::vector<std::wstring> items;
    TStrings* s = box->GetItems();
    for (int i = 0; i < s->Count(); ++i)
        items.push_back(s->Get(i));
    if (box->HandleAllocated()) { // what the window shows
        HWND w = box->GetHandle();
        EXPECT_EQ(SendMessageW(w, CB_GETCOUNT, 0, 0), LRESULT(items.size()));
        for (size_t i = 0; i < items.size(); ++i) {
            wchar_t text[300] = {};
            SendMessageW(w, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            EXPECT_EQ(text, items[i]);
        }
        EXPECT_EQ(SendMessageW(w, CB_GETCURSEL, 0, 0), box->GetItemIndex());
    }
    return items;
}

const std::vector<std::wstring> kThree = {L"Modem", L"Echo", L"Phone"};
const std::vector<std::wstring> kFive = {L"Modem", L"Echo", L"Phone", L"Echo", L"Headset"};

class DeviceBox : public Discovery {
protected:
    void SetUp() override {
        Discovery::SetUp();
        bt->SetDeviceEnum({bteRemembered}); // radio A: three devices
        bt->Update();
        form = new TForm(nullptr);
        box = NewBox();
        form->Show();
    }
    void TearDown() override {
        delete form;
        Discovery::TearDown();
    }

    TkvDeviceBox* NewBox() {
        auto* b = new TkvDeviceBox(form);
        b->SetParent(form);
        b->SetOnChange(TNotifyEvent::Bind<&DeviceBox::Changed>(this));
        return b;
    }
    void Changed(TObject* sender) {
        auto* b = static_cast<TkvDeviceBox*>(sender);
        Changes.push_back(L"item " + IntToStr(b->GetItemIndex()) + L" after " +
                          IntToStr(bt->Lists) + L" lists");
    }
    // Moves the selection one item down, as the user does with the keyboard.
    static void PickNext(TkvDeviceBox* b) { SendMessageW(b->GetHandle(), WM_KEYDOWN, VK_DOWN, 0); }

    TForm* form = nullptr;
    TkvDeviceBox* box = nullptr;
    std::vector<std::wstring> Changes;
};

TEST_F(DeviceBox, LinkShowsTheDevicesInOrderWithTheComponentsSelection) {
    for (int index : {1, -1}) {
        SCOPED_TRACE(index);
        bt->SetDeviceIndex(index);
        box->SetkvLink(bt);
        EXPECT_EQ(box->GetkvLink(), bt);
        EXPECT_EQ(Items(box), kThree);
        EXPECT_EQ(box->GetItemIndex(), index);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(box->GetItems()->Objects(i), bt->GetDevice(i));
        box->SetkvLink(nullptr);
    }
    EXPECT_EQ(box->GetStyle(), TComboBox::csDropDownList);
    EXPECT_EQ(bt->Enumerations, 1); // the fixture's own: a listed component is not searched again
}

TEST_F(DeviceBox, LinkingAComponentWithoutDevicesMakesItEnumerateUntilItFindsSome) {
    auto* other = new TCountingBT(owner); // no radio enumerated yet
    box->SetkvLink(other);
    EXPECT_EQ(other->Enumerations, 1);
    EXPECT_TRUE(Items(box).empty());
    box->Reload();
    other->DoNotify(3);
    EXPECT_EQ(other->Enumerations, 3);
    EXPECT_TRUE(Items(box).empty());

    other->EnumerateRadios();
    box->Reload();
    EXPECT_EQ(other->Enumerations, 4);
    EXPECT_EQ(Items(box), kFive);
    box->Reload();
    EXPECT_EQ(other->Enumerations, 4);
}

TEST_F(DeviceBox, UserPickWritesDeviceIndexRebuildsOnceThenRaisesOnChange) {
    for (bool reset : {false, true}) { // ResetOnChanged makes no difference
        SCOPED_TRACE(reset);
        box->SetResetOnChanged(reset);
        EXPECT_EQ(box->GetResetOnChanged(), reset);
        bt->SetDeviceIndex(1);
        box->SetkvLink(bt);
        Changes.clear();
        listener.Codes.clear();
        int lists = bt->Lists;
        PickNext(box);
        EXPECT_EQ(bt->GetDeviceIndex(), 2);
        EXPECT_EQ(listener.Codes, std::vector<int>{3});
        EXPECT_EQ(bt->Lists, lists + 1);
        EXPECT_EQ(Changes,
                  std::vector<std::wstring>{L"item 2 after " + IntToStr(lists + 1) + L" lists"});
        EXPECT_EQ(Items(box), kThree);
        EXPECT_EQ(box->GetItemIndex(), 2);
        box->SetkvLink(nullptr);
    }
}

TEST_F(DeviceBox, PickWithoutALinkRaisesNoOnChange) {
    box->GetItems()->Add(L"one");
    box->GetItems()->Add(L"two");
    box->SetItemIndex(0);
    PickNext(box);
    EXPECT_TRUE(Changes.empty());
    EXPECT_EQ(bt->GetDeviceIndex(), -1);
}

TEST_F(DeviceBox, UpdateRebuildsTheListAndOpenAndCloseNotificationsLeaveIt) {
    bt->SetDeviceIndex(1);
    box->SetkvLink(bt);
    bt->SetDeviceEnum({bteRemembered, bteAllRadios});
    bt->EnumerateDevices(); // the component's list changes silently
    int lists = bt->Lists;
    for (int code : {1, 2}) {
        bt->DoNotify(code);
        EXPECT_EQ(Items(box), kThree) << code;
        EXPECT_EQ(box->GetItemIndex(), 1);
    }
    EXPECT_EQ(bt->Lists, lists);
    bt->Update();
    EXPECT_EQ(bt->Lists, lists + 1);
    EXPECT_EQ(Items(box), kFive);
    EXPECT_EQ(box->GetItemIndex(), 1);
}

TEST_F(DeviceBox, LinkWritesKeepMoveOrRemoveTheOneSubscription) {
    box->SetkvLink(bt);
    box->SetkvLink(bt);
    int lists = bt->Lists;
    bt->DoNotify(3);
    EXPECT_EQ(bt->Lists, lists + 1);

    auto* other = new TCountingBT(owner);
    other->Update();
    box->SetkvLink(other);
    EXPECT_EQ(Items(box), kFive);
    bt->DoNotify(3);
    EXPECT_EQ(bt->Lists, lists + 1);
    int otherLists = other->Lists;
    other->DoNotify(3);
    EXPECT_EQ(other->Lists, otherLists + 1);

    box->SetkvLink(nullptr);
    EXPECT_EQ(box->GetkvLink(), nullptr);
    EXPECT_TRUE(Items(box).empty());
    EXPECT_EQ(box->GetItemIndex(), -1);
    other->DoNotify(3);
    EXPECT_EQ(other->Lists, otherLists + 1);
    EXPECT_TRUE(Items(box).empty());
}

TEST_F(DeviceBox, DestroyingTheLinkedComponentLeavesTheBoxUnlinkedWithItsTexts) {
    bt->SetDeviceIndex(1);
    box->SetkvLink(bt);
    delete bt;
    bt = nullptr;
    EXPECT_EQ(box->GetkvLink(), nullptr);
    EXPECT_EQ(box->GetItemIndex(), -1);
    EXPECT_EQ(Items(box), kThree);
    PickNext(box); // unlinked: touches no device of the component that went
    EXPECT_TRUE(Changes.empty());
    box->Reload();
    EXPECT_TRUE(Items(box).empty());
}

TEST_F(DeviceBox, TwoBoxesOnOneComponentBothFollowIt) {
    TkvDeviceBox* second = NewBox();
    second->GetHandle();
    box->SetkvLink(bt);
    second->SetkvLink(bt);
    PickNext(box);
    EXPECT_EQ(bt->GetDeviceIndex(), 0);
    EXPECT_EQ(second->GetItemIndex(), 0);
    bt->SetDeviceEnum({bteRemembered, bteAllRadios});
    bt->Update();
    EXPECT_EQ(Items(box), kFive);
    EXPECT_EQ(Items(second), kFive);

    second->SetkvLink(nullptr); // removes its own subscription only
    bt->SetDeviceEnum({bteRemembered});
    bt->Update();
    EXPECT_EQ(Items(box), kThree);
    EXPECT_TRUE(Items(second).empty());
}

TEST_F(DeviceBox, DeviceChangeMessageGoesToTheLinkedComponent) {
    TMessage msg{WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, 0};
    NewSearches();
    box->WMDeviceChange(msg);
    EXPECT_TRUE(NewSearches().empty());
    box->SetkvLink(bt);
    int lists = bt->Lists;
    box->WMDeviceChange(msg); // the component updates, the box reloads
    EXPECT_EQ(NewSearches().size(), 1u);
    EXPECT_EQ(bt->Lists, lists + 1);
}

// ---- A form file

TEST_F(Discovery, FormWithALinkedDeviceBoxListsTheSimulatedDevices) {
    Use(kvsim::DefaultWorld());
    struct THolder : TForm {
        THolder() : TForm(nullptr) { RegisterComponentClass<THolder>(L"THolder", L"TForm"); }
        ~THolder() override { DestroyComponents(); }
    } holder;
    RegisterKvBtClasses();
    RegisterKvCommBoxClasses();
    TFormHandlers none;
    // As the demo stores it: the box before the component that it links to.
    ReadForm(&holder,
             "object Holder: THolder\n"
             "  object kvDeviceBox1: TkvDeviceBox\n"
             "    Left = 16\n"
             "    Top = 40\n"
             "    Width = 201\n"
             "    Height = 21\n"
             "    ItemHeight = 13\n"
             "    TabOrder = 1\n"
             "    kvLink = kvBT1\n"
             "    ResetOnChanged = False\n"
             "  end\n"
             "  object kvBT1: TkvBT\n"
             "    RadioIndex = 0\n"
             "    DeviceEnum = [bteRemembered, bteConnected, bteAllRadios]\n"
             "    DeviceEnumTimeout = 5\n"
             "    Priority = tpNormal\n"
             "    UseMainThread = False\n"
             "    DeviceIndex = -1\n"
             "    Active = False\n"
             "  end\n"
             "end\n",
             none);
    auto* box = dynamic_cast<TkvDeviceBox*>(holder.FindComponent(L"kvDeviceBox1"));
    auto* loaded = dynamic_cast<TkvBT*>(holder.FindComponent(L"kvBT1"));
    ASSERT_TRUE(box && loaded);
    EXPECT_EQ(box->GetkvLink(), loaded);
    EXPECT_FALSE(box->GetResetOnChanged());
    holder.Show();
    EXPECT_EQ(Items(box),
              (std::vector<std::wstring>{L"BT Serial Modem", L"Echo Box", L"Office Phone",
                                         L"Echo Box", L"Stereo Headset"}));
    EXPECT_EQ(box->GetItemIndex(), -1);
    EXPECT_EQ(box->GetItems()->Objects(2), loaded->GetDevice(2));

    // The items and the style come from the box itself: a form file cannot store them.
    for (const char* line : {"    Style = csDropDown\n", "    Items.Strings = (\n      'x')\n"}) {
        THolder other;
        std::string text = std::string("object Holder: THolder\n  object Box: TkvDeviceBox\n") +
                           line + "  end\nend\n";
        EXPECT_THROW(ReadForm(&other, text, none), Exception) << line;
        EXPECT_EQ(other.ComponentCount(), 0);
    }
}

} // namespace

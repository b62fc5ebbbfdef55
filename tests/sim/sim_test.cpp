// The simulated Bluetooth stack, called as the components call it: through the binding's
// wrappers and the socket table, after installing a world.
#include "sim/sim.h"
#include "sim/sim_worldfile.h"

#include "components/kvbt_sockets.h"
#include "components/kvbtw32.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using namespace kvsim;

constexpr BTH_ADDR kModem = 0x001A7DDA7113;
constexpr BTH_ADDR kEcho = 0x001A7DDA7120;
constexpr BTH_ADDR kStranger = 0x001A7DDA7130; // neither remembered nor authenticated
constexpr BTH_ADDR kFar = 0x001A7DDA7140;      // found only by an inquiry
constexpr BTH_ADDR kNowhere = 0x00AABBCCDDEE;  // in no world

const GUID kSerial = ServiceClass16(0x1101);
const GUID kDialUp = ServiceClass16(0x1103);
const GUID kHeadset = ServiceClass16(0x1108);

TService MakeService(const GUID& serviceClass, ULONG channel, const wchar_t* name, TPeerKind kind,
                     const wchar_t* comment = L"") {
    TService service;
    service.ServiceClass = serviceClass;
    service.Channel = channel;
    service.Name = name;
    service.Comment = comment;
    service.Peer.Kind = kind;
    return service;
}

TDevice MakeDevice(const wchar_t* name, BTH_ADDR address, std::vector<int> radios) {
    TDevice device;
    device.Name = name;
    device.Address = address;
    device.Radios = std::move(radios);
    return device;
}

// Two radios; the modem on radio 0, the echo device on both, a stranger and a far device
// on radio 1.
TWorld TestWorld() {
    TWorld world;
    world.Radios = {{L"Radio A", 0x0000AA000001, true, false, false},
                    {L"Radio B", 0x0000AA000002, false, false, false}};
    TDevice modem = MakeDevice(L"Modem", kModem, {0});
    modem.Authenticated = modem.Remembered = true;
    modem.ClassOfDevice = 0x5A020C;
    modem.LastSeen = {2024, 3, 5, 1, 12, 30, 5, 250};
    modem.LastUsed = {2023, 2, 0, 30, 25, 61, 0, 0}; // impossible, kept as it is
    modem.Services = {
        MakeService(kDialUp, 2, L"Dial-up Networking", TPeerKind::Modem, L"Phone modem"),
        MakeService(kSerial, 1, L"Serial Port", TPeerKind::Modem, L"AT modem"),
        MakeService(kSerial, 5, L"Second Port", TPeerKind::Silent)};
    TDevice echo = MakeDevice(L"Echo", kEcho, {0, 1});
    echo.Remembered = echo.Connected = true;
    echo.Services = {MakeService(kSerial, 3, L"Echo", TPeerKind::Echo)};
    TDevice stranger = MakeDevice(std::wstring(248, L'S').c_str(), kStranger, {1});
    stranger.Services = {MakeService(kHeadset, 7, L"Headset", TPeerKind::Silent)};
    TDevice distant = MakeDevice(L"Far", kFar, {1});
    distant.InquiryOnly = true;
    world.Devices = {modem, echo, stranger, distant};
    world.Settings.InquiryScale = 0;
    return world;
}

// A platform record cleared to zero with its size set.
template <class T> T Sized(DWORD size = sizeof(T)) {
    T record{};
    record.dwSize = size;
    return record;
}

// Winsock started through the socket table, as a component starts it: without that the
// lookup and the RFCOMM socket refuse.
void StartWinsock() {
    WSADATA data{};
    ASSERT_EQ(kvSocketApi.WSAStartup(MAKEWORD(2, 2), &data), 0);
}

class SimTest : public testing::Test {
protected:
    void SetUp() override {
        Install(TestWorld());
        StartWinsock();
    }
    void TearDown() override {
        kvSocketApi.WSACleanup();
        Uninstall();
    }
};

// ---- radios and devices through the binding

// Every radio handle of one radio search; the caller closes them.
std::vector<HANDLE> FindRadios() {
    auto params = Sized<BLUETOOTH_FIND_RADIO_PARAMS>();
    HANDLE radio = nullptr;
    std::vector<HANDLE> radios;
    HBLUETOOTH_RADIO_FIND find = kvbtw32::BluetoothFindFirstRadio(&params, &radio);
    if (!find)
        return radios;
    do
        radios.push_back(radio);
    while (kvbtw32::BluetoothFindNextRadio(find, &radio));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(kvbtw32::BluetoothFindRadioClose(find));
    return radios;
}

void CloseAll(const std::vector<HANDLE>& handles) {
    for (HANDLE handle : handles)
        EXPECT_TRUE(CloseHandle(handle));
}

BLUETOOTH_DEVICE_SEARCH_PARAMS SearchRecord(bool authenticated, bool remembered, bool unknown,
                                            bool connected, bool inquiry, UCHAR multiplier,
                                            HANDLE radio) {
    auto flag = [](bool on) { return on ? -1 : 0; };
    BLUETOOTH_DEVICE_SEARCH_PARAMS search{};
    search.dwSize = sizeof search;
    search.fReturnAuthenticated = flag(authenticated);
    search.fReturnRemembered = flag(remembered);
    search.fReturnUnknown = flag(unknown);
    search.fReturnConnected = flag(connected);
    search.fIssueInquiry = flag(inquiry);
    search.cTimeoutMultiplier = multiplier;
    search.hRadio = radio;
    return search;
}

std::vector<BLUETOOTH_DEVICE_INFO> Search(BLUETOOTH_DEVICE_SEARCH_PARAMS search) {
    std::vector<BLUETOOTH_DEVICE_INFO> found;
    auto info = Sized<BLUETOOTH_DEVICE_INFO>();
    HBLUETOOTH_DEVICE_FIND find = kvbtw32::BluetoothFindFirstDevice(&search, &info);
    if (!find)
        return found;
    do {
        found.push_back(info);
        info = Sized<BLUETOOTH_DEVICE_INFO>();
    } while (kvbtw32::BluetoothFindNextDevice(find, &info));
    EXPECT_TRUE(kvbtw32::BluetoothFindDeviceClose(find));
    return found;
}

std::vector<BTH_ADDR> Addresses(const std::vector<BLUETOOTH_DEVICE_INFO>& found) {
    std::vector<BTH_ADDR> addresses;
    for (const auto& info : found)
        addresses.push_back(info.Address.ullLong);
    return addresses;
}

TEST_F(SimTest, RecordOfAWrongSizeIsARevisionMismatchAndNoRecordAnInvalidParameter) {
    std::vector<HANDLE> radios = FindRadios();
    ASSERT_EQ(radios.size(), 2u);
    auto lastError = [](bool failed) { return failed ? GetLastError() : DWORD(0); };
    // A device search with records of these sizes; size 0 passes no record.
    auto search = [&](DWORD searchSize, DWORD infoSize, bool inquiry = false) {
        auto params = SearchRecord(true, true, true, true, inquiry, inquiry ? 49 : 0, radios[0]);
        params.dwSize = searchSize;
        auto info = Sized<BLUETOOTH_DEVICE_INFO>(infoSize);
        return lastError(!kvbtw32::BluetoothFindFirstDevice(searchSize ? &params : nullptr,
                                                            infoSize ? &info : nullptr));
    };
    const DWORD kMismatch = ERROR_REVISION_MISMATCH, kInvalid = ERROR_INVALID_PARAMETER;
    const struct {
        const char* Call;
        std::function<DWORD()> Answer; // the error, 0 when the call succeeded
        DWORD Expected;
    } cases[] = {
        {"find first radio, 3",
         [&] {
             auto params = Sized<BLUETOOTH_FIND_RADIO_PARAMS>(3);
             HANDLE radio;
             return lastError(!kvbtw32::BluetoothFindFirstRadio(&params, &radio));
         },
         kMismatch},
        {"find first radio, 5",
         [&] {
             auto params = Sized<BLUETOOTH_FIND_RADIO_PARAMS>(5);
             HANDLE radio;
             return lastError(!kvbtw32::BluetoothFindFirstRadio(&params, &radio));
         },
         kMismatch},
        {"find first radio, none",
         [&] {
             HANDLE radio;
             return lastError(!kvbtw32::BluetoothFindFirstRadio(nullptr, &radio));
         },
         kInvalid},
        {"radio info, 519",
         [&] {
             auto info = Sized<BLUETOOTH_RADIO_INFO>(519);
             return kvbtw32::BluetoothGetRadioInfo(radios[0], &info);
         },
         kMismatch},
        {"radio info, 521",
         [&] {
             auto info = Sized<BLUETOOTH_RADIO_INFO>(521);
             return kvbtw32::BluetoothGetRadioInfo(radios[0], &info);
         },
         kMismatch},
        {"radio info, none", [&] { return kvbtw32::BluetoothGetRadioInfo(radios[0], nullptr); },
         kInvalid},
        {"device search, 39", [&] { return search(39, sizeof(BLUETOOTH_DEVICE_INFO)); }, kMismatch},
        {"device search, 41", [&] { return search(41, sizeof(BLUETOOTH_DEVICE_INFO)); }, kMismatch},
        {"device search, none", [&] { return search(0, sizeof(BLUETOOTH_DEVICE_INFO)); }, kInvalid},
        {"device record, 559", [&] { return search(40, 559); }, kMismatch},
        {"device record, 561", [&] { return search(40, 561); }, kMismatch},
        {"device record, none", [&] { return search(40, 0); }, kInvalid},
        {"inquiry longer than 48 units",
         [&] { return search(40, sizeof(BLUETOOTH_DEVICE_INFO), true); }, kInvalid},
        {"next device record, 0",
         [&] {
             auto params = SearchRecord(true, true, true, true, false, 0, radios[0]);
             auto info = Sized<BLUETOOTH_DEVICE_INFO>();
             HBLUETOOTH_DEVICE_FIND find = kvbtw32::BluetoothFindFirstDevice(&params, &info);
             info = {};
             DWORD error = lastError(!kvbtw32::BluetoothFindNextDevice(find, &info));
             kvbtw32::BluetoothFindDeviceClose(find);
             return error;
         },
         kMismatch},
        {"select dialog, 87",
         [&] {
             auto params = Sized<BLUETOOTH_SELECT_DEVICE_PARAMS>(87);
             return lastError(!kvbtw32::BluetoothSelectDevices(&params));
         },
         kMismatch},
        {"select dialog, one more than its size",
         [&] {
             auto params =
                 Sized<BLUETOOTH_SELECT_DEVICE_PARAMS>(sizeof(BLUETOOTH_SELECT_DEVICE_PARAMS) + 1);
             return lastError(!kvbtw32::BluetoothSelectDevices(&params));
         },
         kMismatch},
        {"select dialog, none",
         [&] { return lastError(!kvbtw32::BluetoothSelectDevices(nullptr)); }, kInvalid},
        {"property dialog, 0",
         [&] {
             BLUETOOTH_DEVICE_INFO info{};
             return lastError(!kvbtw32::BluetoothDisplayDeviceProperties(nullptr, &info));
         },
         kMismatch},
        {"property dialog, 561",
         [&] {
             auto info = Sized<BLUETOOTH_DEVICE_INFO>(561);
             return lastError(!kvbtw32::BluetoothDisplayDeviceProperties(nullptr, &info));
         },
         kMismatch},
        {"pairing, 561",
         [&] {
             auto info = Sized<BLUETOOTH_DEVICE_INFO>(561);
             return kvbtw32::BluetoothAuthenticateDevice(nullptr, radios[0], &info, nullptr, 0);
         },
         kMismatch},
        {"pairing, 0",
         [&] {
             BLUETOOTH_DEVICE_INFO info{};
             return kvbtw32::BluetoothAuthenticateDevice(nullptr, radios[0], &info, nullptr, 0);
         },
         kMismatch},
        {"pairing, none",
         [&] {
             return kvbtw32::BluetoothAuthenticateDevice(nullptr, radios[0], nullptr, nullptr, 0);
         },
         kInvalid},
        {"lookup restriction, 119",
         [&] {
             WSAQUERYSETA query{};
             query.dwSize = 119;
             HANDLE lookup = nullptr;
             bool failed = kvbtw32::WSALookupServiceBeginA(&query, 0x13B0, &lookup) != 0;
             return failed ? DWORD(WSAGetLastError()) : DWORD(0);
         },
         DWORD(WSAEINVAL)},
        {"lookup restriction, one more than its size",
         [&] {
             WSAQUERYSETA query{};
             query.dwSize = sizeof query + 1;
             HANDLE lookup = nullptr;
             bool failed = kvbtw32::WSALookupServiceBeginA(&query, 0x13B0, &lookup) != 0;
             return failed ? DWORD(WSAGetLastError()) : DWORD(0);
         },
         DWORD(WSAEINVAL)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Answer(), c.Expected) << c.Call;
    CloseAll(radios);
}

TEST_F(SimTest, RadiosAreDeliveredAsClosableHandlesWithTheirInformation) {
    std::vector<HANDLE> first = FindRadios();
    std::vector<HANDLE> second = FindRadios();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_NE(first[0], second[0]) << "each delivery is a handle of its own";
    const wchar_t* names[] = {L"Radio A", L"Radio B"};
    for (size_t i = 0; i < 2; ++i) {
        auto info = Sized<BLUETOOTH_RADIO_INFO>();
        ASSERT_EQ(kvbtw32::BluetoothGetRadioInfo(second[i], &info), DWORD(ERROR_SUCCESS));
        EXPECT_STREQ(info.szName, names[i]);
        EXPECT_EQ(info.address.ullLong, 0x0000AA000001 + i);
    }
    CloseAll(first);
    auto info = Sized<BLUETOOTH_RADIO_INFO>();
    EXPECT_EQ(kvbtw32::BluetoothGetRadioInfo(first[0], &info), DWORD(ERROR_INVALID_HANDLE))
        << "a closed handle names no radio";
    CloseAll(second);

    TWorld world = TestWorld();
    world.Radios[0].InfoMissing = true;
    Install(world);
    std::vector<HANDLE> radios = FindRadios();
    ASSERT_EQ(radios.size(), 2u) << "a radio without information is still found";
    EXPECT_NE(kvbtw32::BluetoothGetRadioInfo(radios[0], &info), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(kvbtw32::BluetoothGetRadioInfo(radios[1], &info), DWORD(ERROR_SUCCESS));
    CloseAll(radios);
}

TEST_F(SimTest, RadioSettersChangeTheRadioState) {
    std::vector<HANDLE> radios = FindRadios();
    HANDLE a = radios[0], b = radios[1];
    EXPECT_TRUE(kvbtw32::BluetoothIsConnectable(a));
    EXPECT_FALSE(kvbtw32::BluetoothIsDiscoverable(a));
    EXPECT_TRUE(kvbtw32::BluetoothEnableDiscovery(a, true));
    EXPECT_TRUE(kvbtw32::BluetoothIsDiscoverable(a));
    EXPECT_FALSE(kvbtw32::BluetoothIsDiscoverable(b)) << "the other radio is untouched";

    EXPECT_TRUE(kvbtw32::BluetoothEnableIncomingConnections(a, false));
    EXPECT_FALSE(kvbtw32::BluetoothIsConnectable(a));
    EXPECT_FALSE(kvbtw32::BluetoothIsDiscoverable(a)) << "no connections, no discovery";
    EXPECT_FALSE(kvbtw32::BluetoothEnableDiscovery(a, true));
    EXPECT_FALSE(kvbtw32::BluetoothIsDiscoverable(a));

    std::vector<HANDLE> again = FindRadios();
    EXPECT_FALSE(kvbtw32::BluetoothIsConnectable(again[0])) << "the state belongs to the radio";
    CloseAll(radios);
    CloseAll(again);
}

TEST_F(SimTest, DeviceSearchHonoursItsFlagsAndRadio) {
    std::vector<HANDLE> radios = FindRadios();
    HANDLE a = radios[0], b = radios[1];
    struct TCase {
        const char* Name;
        BLUETOOTH_DEVICE_SEARCH_PARAMS Search;
        std::vector<BTH_ADDR> Found;
    };
    const TCase cases[] = {
        {"authenticated, radio A", SearchRecord(true, false, false, false, false, 0, a), {kModem}},
        {"remembered, radio A",
         SearchRecord(false, true, false, false, false, 0, a),
         {kModem, kEcho}},
        {"remembered, radio B", SearchRecord(false, true, false, false, false, 0, b), {kEcho}},
        {"unknown, radio B", SearchRecord(false, false, true, false, false, 0, b), {kStranger}},
        {"connected, radio B", SearchRecord(false, false, false, true, false, 0, b), {kEcho}},
        {"everything, radio B",
         SearchRecord(true, true, true, true, false, 3, b),
         {kEcho, kStranger}},
        {"unknown with inquiry, radio B",
         SearchRecord(false, false, true, false, true, 3, b),
         {kStranger, kFar}},
        {"inquiry asks for nothing", SearchRecord(false, false, false, false, true, 3, b), {}},
        {"inquiry, radio A", SearchRecord(true, true, true, true, true, 1, a), {kModem, kEcho}},
        {"unknown with an inquiry of length 0, radio B",
         SearchRecord(false, false, true, false, true, 0, b),
         {kStranger}},
        {"all radios",
         SearchRecord(true, true, true, true, true, 1, nullptr),
         {kModem, kEcho, kStranger, kFar}},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(Addresses(Search(c.Search)), c.Found) << c.Name;
        ASSERT_FALSE(DeviceSearches().empty());
        const BLUETOOTH_DEVICE_SEARCH_PARAMS kept = DeviceSearches().back();
        EXPECT_TRUE(kept.dwSize == c.Search.dwSize &&
                    kept.fReturnAuthenticated == c.Search.fReturnAuthenticated &&
                    kept.fReturnRemembered == c.Search.fReturnRemembered &&
                    kept.fReturnUnknown == c.Search.fReturnUnknown &&
                    kept.fReturnConnected == c.Search.fReturnConnected &&
                    kept.fIssueInquiry == c.Search.fIssueInquiry &&
                    kept.cTimeoutMultiplier == c.Search.cTimeoutMultiplier &&
                    kept.hRadio == c.Search.hRadio)
            << c.Name << ": the record is kept as passed";
    }
    auto info = Sized<BLUETOOTH_DEVICE_INFO>();
    auto none = SearchRecord(false, false, true, false, false, 0, a);
    EXPECT_EQ(kvbtw32::BluetoothFindFirstDevice(&none, &info), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    CloseAll(radios);
}

TEST_F(SimTest, InquiryWaitsItsScaledTime) {
    TSettings settings = Settings();
    settings.InquiryScale = 0.05; // 10 units: 640 ms
    SetSettings(settings);
    std::vector<HANDLE> radios = FindRadios();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Addresses(Search(SearchRecord(false, false, true, false, true, 10, radios[1]))),
              (std::vector<BTH_ADDR>{kStranger, kFar}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    CloseAll(radios);
}

TEST_F(SimTest, DeviceRecordsCarryTimesAndNamesAsTheyAre) {
    std::vector<BLUETOOTH_DEVICE_INFO> found =
        Search(SearchRecord(true, true, true, false, false, 0, nullptr));
    ASSERT_EQ(found.size(), 3u);
    const BLUETOOTH_DEVICE_INFO& modem = found[0];
    EXPECT_EQ(modem.dwSize, sizeof modem);
    EXPECT_STREQ(modem.szName, L"Modem");
    EXPECT_EQ(modem.ulClassofDevice, 0x5A020Cu);
    EXPECT_TRUE(modem.fAuthenticated && modem.fRemembered && !modem.fConnected);
    EXPECT_EQ(modem.stLastSeen.wYear, 2024);
    EXPECT_EQ(modem.stLastSeen.wMilliseconds, 250);
    EXPECT_EQ(modem.stLastUsed.wDay, 30);
    EXPECT_EQ(modem.stLastUsed.wHour, 25);
    const BLUETOOTH_DEVICE_INFO& echo = found[1];
    EXPECT_EQ(echo.stLastSeen.wYear, 0) << "no time given: all zero";
    const BLUETOOTH_DEVICE_INFO& stranger = found[2];
    EXPECT_EQ(std::wstring(stranger.szName, BLUETOOTH_MAX_NAME_SIZE), std::wstring(248, L'S'))
        << "a name of 248 characters fills the field without a terminating zero";
}

// ---- service lookup

HANDLE BeginLookup(const GUID& serviceClass, const char* context, int& error,
                   DWORD nameSpace = NS_BTH, DWORD flags = 0x13B0) {
    WSAQUERYSETA query{};
    query.dwSize = sizeof query;
    query.dwNameSpace = nameSpace;
    GUID id = serviceClass;
    query.lpServiceClassId = &id;
    query.lpszContext = const_cast<char*>(context);
    HANDLE lookup = nullptr;
    error = kvbtw32::WSALookupServiceBeginA(&query, flags, &lookup) == 0 ? 0 : WSAGetLastError();
    return lookup;
}

TEST_F(SimTest, LookupDeliversEachRecordInsideTheCallersBuffer) {
    int error = -1;
    HANDLE lookup = BeginLookup(kSerial, "(00:1A:7D:DA:71:13)", error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(LookupCalls().size(), 1u);
    EXPECT_EQ(LookupCalls()[0].Context, "(00:1A:7D:DA:71:13)");
    EXPECT_EQ(LookupCalls()[0].Flags, 0x13B0u);

    std::vector<char> buffer(2000);
    auto* record = reinterpret_cast<WSAQUERYSETA*>(buffer.data());
    DWORD length = 16;
    EXPECT_EQ(kvbtw32::WSALookupServiceNextA(lookup, 0x13B0, &length, record), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    ASSERT_GT(length, sizeof(WSAQUERYSETA)) << "the length needed is reported";
    DWORD needed = length;

    const struct {
        const char* Name;
        const char* Comment;
        ULONG Channel;
    } expected[] = {{"Serial Port", "AT modem", 1}, {"Second Port", nullptr, 5}};
    for (const auto& e : expected) {
        length = 2000;
        ASSERT_EQ(kvbtw32::WSALookupServiceNextA(lookup, 0x13B0, &length, record), 0)
            << e.Name << ": a too small buffer does not advance";
        const char* begin = buffer.data();
        auto inside = [&](const void* p) { return p >= begin && p < begin + 2000; };
        EXPECT_EQ(record->dwSize, sizeof(WSAQUERYSETA));
        EXPECT_STREQ(record->lpszServiceInstanceName, e.Name);
        EXPECT_TRUE(inside(record->lpszServiceInstanceName));
        if (e.Comment)
            EXPECT_STREQ(record->lpszComment, e.Comment);
        else
            EXPECT_EQ(record->lpszComment, nullptr);
        ASSERT_TRUE(inside(record->lpServiceClassId));
        EXPECT_TRUE(IsEqualGUID(*record->lpServiceClassId, kSerial));
        ASSERT_EQ(record->dwNumberOfCsAddrs, 1u);
        ASSERT_TRUE(inside(record->lpcsaBuffer));
        auto* remote = reinterpret_cast<SOCKADDR_BTH*>(record->lpcsaBuffer->RemoteAddr.lpSockaddr);
        ASSERT_TRUE(inside(remote));
        EXPECT_EQ(remote->btAddr, kModem);
        EXPECT_EQ(remote->port, e.Channel);
        ASSERT_TRUE(inside(record->lpBlob));
        EXPECT_GT(record->lpBlob->cbSize, 0u);
        EXPECT_TRUE(inside(record->lpBlob->pBlobData));
    }
    EXPECT_LE(needed, 2000u);
    EXPECT_EQ(kvbtw32::WSALookupServiceNextA(lookup, 0x13B0, &length, record), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSA_E_NO_MORE);
    EXPECT_EQ(kvbtw32::WSALookupServiceEnd(lookup), 0);
    EXPECT_EQ(kvbtw32::WSALookupServiceEnd(lookup), SOCKET_ERROR) << "ended once";
    std::vector<DWORD> lengths;
    for (const TLookupNextCall& call : LookupNextCalls()) {
        EXPECT_EQ(call.Flags, 0x13B0u);
        lengths.push_back(call.BufferLength);
    }
    EXPECT_EQ(lengths, (std::vector<DWORD>{16, 2000, 2000, 2000})) << "every next call is recorded";
}

TEST_F(SimTest, LookupBeginChecksItsRestriction) {
    const struct {
        const char* Name;
        const char* Context;
        DWORD NameSpace;
        DWORD Flags;
        int Error;
    } cases[] = {
        {"lower-case hex", "(00:1a:7d:da:71:13)", NS_BTH, 0x13B0, WSAEINVAL},
        {"no parentheses", "00:1A:7D:DA:71:13", NS_BTH, 0x13B0, WSAEINVAL},
        {"no context", nullptr, NS_BTH, 0x13B0, WSAEINVAL},
        {"another name space", "(00:1A:7D:DA:71:13)", NS_DNS, 0x13B0, WSAEINVAL},
        {"a device inquiry", "(00:1A:7D:DA:71:13)", NS_BTH, LUP_CONTAINERS, WSAEINVAL},
        {"a device in no world", "(00:AA:BB:CC:DD:EE)", NS_BTH, 0x13B0, WSAEHOSTDOWN},
        {"a class the device lacks", "(00:1A:7D:DA:71:20)", NS_BTH, 0x13B0, WSASERVICE_NOT_FOUND},
    };
    const int lookups = OpenHandles().Lookups;
    for (const auto& c : cases) {
        int error = -1;
        const GUID& serviceClass = c.Error == WSASERVICE_NOT_FOUND ? kDialUp : kSerial;
        EXPECT_EQ(BeginLookup(serviceClass, c.Context, error, c.NameSpace, c.Flags), nullptr);
        EXPECT_EQ(error, c.Error) << c.Name;
    }
    EXPECT_EQ(OpenHandles().Lookups, lookups) << "a lookup that cannot begin holds nothing";
}

TEST_F(SimTest, LookupFaultsBeginFailingAndALargeRecord) {
    TWorld world = TestWorld();
    world.Devices[0].LookupFailClass = kHeadset;
    world.Devices[0].LookupFailCode = WSAETIMEDOUT;
    world.Devices[1].Services[0].Large = true;
    Install(world);

    int error = -1;
    HANDLE lookup = BeginLookup(kSerial, "(00:1A:7D:DA:71:13)", error);
    EXPECT_EQ(error, 0) << "only the chosen class fails";
    kvbtw32::WSALookupServiceEnd(lookup);
    BeginLookup(kHeadset, "(00:1A:7D:DA:71:13)", error);
    EXPECT_EQ(error, WSAETIMEDOUT);

    lookup = BeginLookup(kSerial, "(00:1A:7D:DA:71:20)", error);
    std::vector<char> buffer(2000);
    DWORD length = 2000;
    auto* record = reinterpret_cast<WSAQUERYSETA*>(buffer.data());
    EXPECT_EQ(kvbtw32::WSALookupServiceNextA(lookup, 0x13B0, &length, record), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    ASSERT_GT(length, 2000u);
    buffer.resize(length);
    record = reinterpret_cast<WSAQUERYSETA*>(buffer.data());
    EXPECT_EQ(kvbtw32::WSALookupServiceNextA(lookup, 0x13B0, &length, record), 0);
    EXPECT_STREQ(record->lpszServiceInstanceName, "Echo");
    kvbtw32::WSALookupServiceEnd(lookup);
}

TEST_F(SimTest, MissingLibraryAndExportAnswerLikeTheSystem) {
    TSettings settings = Settings();
    settings.MissingExports = {"BluetoothGetRadioInfo"};
    SetSettings(settings);
    std::vector<HANDLE> radios = FindRadios();
    ASSERT_EQ(radios.size(), 2u) << "the other exports still work";
    auto info = Sized<BLUETOOTH_RADIO_INFO>();
    EXPECT_EQ(kvbtw32::BluetoothGetRadioInfo(radios[0], &info), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    CloseAll(radios);

    settings.MissingExports.clear();
    const struct {
        const char* Name;
        std::vector<std::wstring> Missing;
        bool Bluetooth, Lookup;
    } cases[] = {
        {"every library", {}, true, true},
        {"bthprops.cpl alone", {L"irprops.cpl"}, true, true},
        {"irprops.cpl alone", {L"bthprops.cpl"}, true, true},
        {"no Bluetooth library", {L"bthprops.cpl", L"irprops.cpl"}, false, true},
        {"no lookup library", {L"Ws2_32.dll"}, true, false},
    };
    std::vector<HMODULE> loaded;
    for (const auto& c : cases) {
        settings.MissingLibraries = c.Missing;
        SetSettings(settings);
        UnloadBtApis();
        EXPECT_EQ(LoadBtApi(), c.Bluetooth) << c.Name;
        if (!c.Bluetooth) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND)) << c.Name;
        }
        EXPECT_EQ(LoadWsApi(), c.Lookup) << c.Name;
        std::vector<HANDLE> found = FindRadios();
        EXPECT_EQ(found.size(), c.Bluetooth ? 2u : 0u) << c.Name;
        CloseAll(found);
        loaded.push_back(BtApiHandle());
    }
    EXPECT_EQ(loaded[0], loaded[1]) << "bthprops.cpl is the one loaded when both exist";
    EXPECT_NE(loaded[1], loaded[2]);

    settings.MissingLibraries.clear();
    SetSettings(settings);
    EXPECT_TRUE(LoadBtApi()) << "a failed load is tried again";
}

// ---- dialogs and pairing

TEST_F(SimTest, SelectDialogKeepsItsRecordAndAnswersAsTheWorldSays) {
    wchar_t info[] = L"Additional information";
    const struct {
        const char* Name;
        TSelectOutcome Outcome;
        bool Picked;
        DWORD Error;
    } cases[] = {
        {"a listed device", {TSelectOutcome::Pick, kModem, 0}, true, 0},
        {"a device in no world", {TSelectOutcome::Pick, kNowhere, 0}, true, 0},
        {"cancel", {TSelectOutcome::Cancel, 0, 0}, false, ERROR_CANCELLED},
        {"an error", {TSelectOutcome::Fail, 0, ERROR_ACCESS_DENIED}, false, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        TSettings settings = Settings();
        settings.Select = c.Outcome;
        SetSettings(settings);
        auto params = Sized<BLUETOOTH_SELECT_DEVICE_PARAMS>();
        params.pszInfo = c.Picked ? info : nullptr;
        params.fShowRemembered = -1;
        params.hwndParent = reinterpret_cast<HWND>(0x1234);
        bool picked = kvbtw32::BluetoothSelectDevices(&params);
        DWORD error = GetLastError();
        EXPECT_EQ(picked, c.Picked) << c.Name;
        TSelectCall call = SelectCalls().back();
        EXPECT_EQ(call.Params.fShowRemembered, -1) << c.Name;
        EXPECT_EQ(call.Params.hwndParent, reinterpret_cast<HWND>(0x1234)) << c.Name;
        EXPECT_EQ(call.Params.pszInfo, params.pszInfo) << c.Name;
        EXPECT_EQ(call.Info, c.Picked ? info : L"") << c.Name;
        if (!c.Picked) {
            EXPECT_EQ(error, c.Error) << c.Name;
            continue;
        }
        ASSERT_EQ(params.cNumDevices, 1u);
        ASSERT_NE(params.pDevices, nullptr);
        EXPECT_EQ(params.pDevices[0].Address.ullLong, c.Outcome.Address) << c.Name;
        EXPECT_STREQ(params.pDevices[0].szName, c.Outcome.Address == kModem ? L"Modem" : L"");
        EXPECT_TRUE(kvbtw32::BluetoothSelectDevicesFree(&params));
        EXPECT_EQ(params.pDevices, nullptr);
        EXPECT_FALSE(kvbtw32::BluetoothSelectDevicesFree(&params)) << "freed once";
    }
}

TEST_F(SimTest, PropertyDialogAndPairingAreRecorded) {
    std::vector<HANDLE> radios = FindRadios();
    BLUETOOTH_DEVICE_INFO device =
        Search(SearchRecord(false, false, true, false, false, 0, radios[1]))[0];
    HWND owner = reinterpret_cast<HWND>(0x4321);
    EXPECT_TRUE(kvbtw32::BluetoothDisplayDeviceProperties(owner, &device));
    ASSERT_EQ(PropertiesCalls().size(), 1u);
    EXPECT_EQ(PropertiesCalls()[0].Owner, owner);
    EXPECT_EQ(PropertiesCalls()[0].Address, kStranger);

    TSettings settings = Settings();
    settings.PassKey = L"1234";
    settings.PairingError = ERROR_NOT_AUTHENTICATED;
    SetSettings(settings);
    wchar_t wrong[] = L"0000", right[] = L"1234x";
    EXPECT_EQ(kvbtw32::BluetoothAuthenticateDevice(owner, radios[1], &device, nullptr, 0),
              DWORD(ERROR_NOT_AUTHENTICATED));
    EXPECT_EQ(kvbtw32::BluetoothAuthenticateDevice(owner, radios[1], &device, wrong, 4),
              DWORD(ERROR_NOT_AUTHENTICATED));
    EXPECT_EQ(Addresses(Search(SearchRecord(true, false, false, false, false, 0, nullptr))),
              (std::vector<BTH_ADDR>{kModem}));
    EXPECT_EQ(kvbtw32::BluetoothAuthenticateDevice(owner, radios[1], &device, right, 4),
              DWORD(ERROR_SUCCESS))
        << "the length counts, not a terminating zero";
    EXPECT_EQ(Addresses(Search(SearchRecord(true, false, false, false, false, 0, nullptr))),
              (std::vector<BTH_ADDR>{kModem, kStranger}))
        << "a paired device is authenticated";

    std::vector<TPairingCall> calls = PairingCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[0].KeyNull);
    EXPECT_EQ(calls[0].Length, 0u);
    EXPECT_FALSE(calls[1].KeyNull);
    EXPECT_EQ(calls[1].Key, L"0000");
    EXPECT_EQ(calls[2].Key, L"1234");
    EXPECT_EQ(calls[2].Radio, radios[1]);
    EXPECT_EQ(calls[2].Owner, owner);
    EXPECT_EQ(calls[2].Address, kStranger);

    settings.PassKey = L"";
    SetSettings(settings);
    EXPECT_EQ(kvbtw32::BluetoothAuthenticateDevice(owner, radios[1], &device, nullptr, 0),
              DWORD(ERROR_SUCCESS))
        << "an empty expected key matches a null key";
    CloseAll(radios);
}

TEST_F(SimTest, JournalNamesWhatEachDialogAndPairingCallPassed) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"kvsim_journal.log";
    DeleteFileW(path.c_str());
    TSettings settings = Settings();
    settings.JournalPath = path;
    settings.Select = {TSelectOutcome::Cancel, 0, 0};
    SetSettings(settings);

    wchar_t info[] = L"Additional information";
    auto params = Sized<BLUETOOTH_SELECT_DEVICE_PARAMS>();
    params.pszInfo = info;
    params.fShowRemembered = -1;
    params.fSkipServicesPage = -1;
    EXPECT_FALSE(kvbtw32::BluetoothSelectDevices(&params));
    std::vector<HANDLE> radios = FindRadios();
    BLUETOOTH_DEVICE_INFO device =
        Search(SearchRecord(false, false, true, false, false, 0, radios[1]))[0];
    EXPECT_TRUE(kvbtw32::BluetoothDisplayDeviceProperties(nullptr, &device));
    wchar_t key[] = L"12";
    kvbtw32::BluetoothAuthenticateDevice(nullptr, radios[1], &device, key, 2);
    CloseAll(radios);

    std::ifstream file{std::filesystem::path(path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    const std::string stranger = AddressToText(kStranger);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "select info=\"Additional information\" force_auth=0 show_authenticated=0 "
                         "show_remembered=-1 show_unknown=0 add_wizard=0 skip_services=-1",
                         "properties address=" + stranger,
                         "pairing address=" + stranger + " key=\"12\" key_null=no length=2",
                     }));
    file.close();
    DeleteFileW(path.c_str());
}

// ---- RFCOMM links

// An RFCOMM link made as TkvBT makes it: INVALID_SOCKET and the Winsock code on failure.
SOCKET Link(BTH_ADDR device, const GUID& serviceClass, int& error, ULONG port = 0) {
    SOCKET s = kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (s == INVALID_SOCKET) {
        error = kvSocketApi.WSAGetLastError();
        return s;
    }
    SOCKADDR_BTH address{};
    address.addressFamily = AF_BTH;
    address.btAddr = device;
    address.serviceClassId = serviceClass;
    address.port = port;
    if (kvSocketApi.connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = kvSocketApi.WSAGetLastError();
        kvSocketApi.closesocket(s);
        return INVALID_SOCKET;
    }
    error = 0;
    return s;
}

void SendAll(SOCKET s, std::string_view bytes) {
    while (!bytes.empty()) {
        int sent = kvSocketApi.send(s, bytes.data(), int(bytes.size()), 0);
        ASSERT_GT(sent, 0) << "send failed: " << WSAGetLastError();
        bytes.remove_prefix(size_t(sent));
    }
}

// Waits (up to 10 s per step) until the socket is readable; false on a time-out.
bool WaitReadable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{10, 0};
    return kvSocketApi.select(0, &set, nullptr, nullptr, &wait) == 1;
}

// Receives until Count bytes have come, the stream ends or nothing comes for 10 s.
std::string ReceiveCount(SOCKET s, size_t count) {
    std::string got;
    char buffer[8192];
    while (got.size() < count && WaitReadable(s)) {
        int n = kvSocketApi.recv(s, buffer, int(std::min(sizeof buffer, count - got.size())), 0);
        if (n <= 0)
            break;
        got.append(buffer, size_t(n));
    }
    return got;
}

// The result of the receive that finds the stream's end: 0 when closed, else the error.
int StreamEnd(SOCKET s) {
    char byte;
    while (WaitReadable(s)) {
        int n = kvSocketApi.recv(s, &byte, 1, 0);
        if (n <= 0)
            return n == 0 ? 0 : kvSocketApi.WSAGetLastError();
    }
    return -1;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

TEST_F(SimTest, LookupAndRfcommSocketWantAComponentsWinsockStartUp) {
    int error = -1;
    HANDLE lookup = BeginLookup(kSerial, "(00:1A:7D:DA:71:13)", error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(kvSocketApi.WSACleanup(), 0); // the fixture's start-up
    EXPECT_EQ(OpenHandles().WinsockStarts, 0);
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0); // Winsock itself, not a component's
    const struct {
        const char* Call;
        std::function<int()> Error;
    } cases[] = {
        {"lookup begin",
         [] {
             int e = -1;
             BeginLookup(kSerial, "(00:1A:7D:DA:71:13)", e);
             return e;
         }},
        {"lookup next",
         [&] {
             DWORD length = 2000;
             std::vector<char> buffer(length);
             return kvbtw32::WSALookupServiceNextA(lookup, 0x13B0, &length,
                                                   reinterpret_cast<WSAQUERYSETA*>(buffer.data()))
                        ? WSAGetLastError()
                        : 0;
         }},
        {"lookup end",
         [&] { return kvbtw32::WSALookupServiceEnd(lookup) ? WSAGetLastError() : 0; }},
        {"RFCOMM socket",
         [] {
             int e = -1;
             Link(kEcho, kSerial, e);
             return e;
         }},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Error(), WSANOTINITIALISED) << c.Call;
    WSACleanup();
    StartWinsock();
    EXPECT_EQ(kvbtw32::WSALookupServiceEnd(lookup), 0) << "the refused end left it open";
}

TEST_F(SimTest, EchoPeerReturnsEveryByte) {
    auto peer = Peer(kEcho, kSerial);
    int error = -1;
    SOCKET s = Link(kEcho, kSerial, error);
    ASSERT_NE(s, INVALID_SOCKET) << error;
    EXPECT_TRUE(peer->WaitConnections(1, 10000));
    for (size_t size : {size_t(1), size_t(64 * 1024)}) {
        std::string block = Pattern(size);
        SendAll(s, block);
        EXPECT_TRUE(ReceiveCount(s, size) == block) << size;
    }
    EXPECT_TRUE(peer->Received() == Pattern(1) + Pattern(64 * 1024));
    kvSocketApi.closesocket(s);
    EXPECT_TRUE(peer->WaitClientClosed(10000));
}

TEST_F(SimTest, ModemPeerAnswersCommands) {
    int error = -1;
    SOCKET s = Link(kModem, kSerial, error);
    ASSERT_NE(s, INVALID_SOCKET) << error;
    const struct {
        std::string Sent;
        std::string Answer;
    } cases[] = {
        {"AT\r", "\r\nOK\r\n"},
        {"atz\r\n", "\r\nOK\r\n"},
        {"AT+NOPE\r", "\r\nERROR\r\n"},
        {"\r\n", ""},
        {"A", ""},
        {"T\rATE0\r", "\r\nOK\r\n\r\nOK\r\n"},
    };
    std::string all;
    for (const auto& c : cases) {
        SendAll(s, c.Sent);
        all += c.Sent;
        EXPECT_EQ(ReceiveCount(s, c.Answer.size()), c.Answer) << c.Sent;
    }
    EXPECT_TRUE(Peer(kModem, kSerial)->WaitReceived(all.size(), 10000));
    EXPECT_EQ(Peer(kModem, kSerial)->Received(), all);
    kvSocketApi.closesocket(s);
}

TEST_F(SimTest, ScriptedPeerSendsClosesAndSeesTheClientClose) {
    auto peer = Peer(kStranger, kHeadset); // silent
    int error = -1;
    SOCKET s = Link(kStranger, kHeadset, error);
    ASSERT_NE(s, INVALID_SOCKET) << error;
    ASSERT_TRUE(peer->WaitConnections(1, 10000));
    SendAll(s, "ping");
    EXPECT_TRUE(peer->WaitReceived(4, 10000));
    std::string block = Pattern(64 * 1024);
    EXPECT_TRUE(peer->Send(block));
    EXPECT_TRUE(ReceiveCount(s, block.size()) == block)
        << "a silent peer sends only what it is told";
    EXPECT_TRUE(peer->Close());
    EXPECT_EQ(StreamEnd(s), 0) << "the client reads the end of the stream";
    EXPECT_FALSE(peer->ClientClosed());
    kvSocketApi.closesocket(s);
    EXPECT_TRUE(peer->WaitClientClosed(10000));
    EXPECT_FALSE(peer->Send("late")) << "no open link";

    SOCKET second = Link(kStranger, kHeadset, error);
    ASSERT_TRUE(peer->WaitConnections(2, 10000));
    EXPECT_EQ(peer->Received(), "") << "the latest link is observed";
    EXPECT_TRUE(peer->Drop());
    EXPECT_NE(StreamEnd(second), -1) << "a dropped link ends at once";
    EXPECT_FALSE(peer->Send("late"));
    kvSocketApi.closesocket(second);
}

TEST_F(SimTest, ConnectFindsTheServiceByClassOrChannel) {
    int error = -1;
    SOCKET byClass = Link(kModem, kDialUp, error);
    ASSERT_NE(byClass, INVALID_SOCKET) << error;
    SOCKET byChannel = Link(kModem, GUID{}, error, 1);
    ASSERT_NE(byChannel, INVALID_SOCKET) << error;
    EXPECT_TRUE(Peer(kModem, kDialUp)->WaitConnections(1, 10000));
    EXPECT_TRUE(Peer(kModem, kSerial)->WaitConnections(1, 10000)) << "channel 1 is the serial port";
    SendAll(byChannel, "AT\r");
    EXPECT_EQ(ReceiveCount(byChannel, 6), "\r\nOK\r\n");
    EXPECT_EQ(Peer(kModem, kSerial)->Received(), "AT\r");
    EXPECT_EQ(Peer(kModem, kDialUp)->Received(), "");
    kvSocketApi.closesocket(byClass);
    kvSocketApi.closesocket(byChannel);
}

TEST_F(SimTest, ConnectAndSocketFaultsGiveTheirCodes) {
    TWorld world = TestWorld();
    world.Devices[0].Services[0].Peer.ConnectError = WSAECONNREFUSED;
    world.Devices[0].Services[1].Peer.ConnectError = WSAETIMEDOUT;
    world.Devices[0].Services[1].Peer.ConnectDelayMs = 300;
    world.Devices[1].Services[0].Peer.ConnectDelayMs = 300;
    Install(world);
    const struct {
        const char* Name;
        BTH_ADDR Device;
        GUID Class;
        ULONG Port;
        int Error;
    } cases[] = {
        {"refused", kModem, kDialUp, 0, WSAECONNREFUSED},
        {"timed out after its delay", kModem, kSerial, 0, WSAETIMEDOUT},
        {"delayed, then connected", kEcho, kSerial, 0, 0},
        {"a device in no world", kNowhere, kSerial, 0, WSAEHOSTDOWN},
        {"a class the device lacks", kEcho, kDialUp, 0, WSASERVICE_NOT_FOUND},
        {"a channel the device lacks", kEcho, GUID{}, 9, WSASERVICE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        int error = -1;
        auto start = std::chrono::steady_clock::now();
        SOCKET s = Link(c.Device, c.Class, error, c.Port);
        EXPECT_EQ(error, c.Error) << c.Name;
        if (c.Device == kModem && c.Class == kSerial) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280))
                << c.Name;
        }
        if (s != INVALID_SOCKET)
            kvSocketApi.closesocket(s);
    }

    TSettings settings = Settings();
    settings.SocketError = WSAENETDOWN;
    SetSettings(settings);
    EXPECT_EQ(kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM), INVALID_SOCKET);
    EXPECT_EQ(kvSocketApi.WSAGetLastError(), WSAENETDOWN);
    settings.SocketError = 0;
    SetSettings(settings);
    EXPECT_EQ(kvSocketApi.socket(AF_BTH, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(kvSocketApi.WSAGetLastError(), WSAEPROTONOSUPPORT);
}

TEST_F(SimTest, LinkDropsAfterItsByteCount) {
    TWorld world = TestWorld();
    world.Devices[1].Services[0].Peer.DropAfter = 10;
    Install(world);
    auto peer = Peer(kEcho, kSerial);
    int error = -1;
    SOCKET s = Link(kEcho, kSerial, error);
    ASSERT_NE(s, INVALID_SOCKET) << error;
    SendAll(s, Pattern(100));
    EXPECT_NE(StreamEnd(s), -1) << "the link ends";
    EXPECT_EQ(peer->Received(), Pattern(10)) << "exactly the bytes before the drop";
    kvSocketApi.closesocket(s);
}

TEST_F(SimTest, StalledPeerBacksUpTheSenderUntilItResumes) {
    TWorld world = TestWorld();
    world.Devices[2].Services[0].Peer.StallAfter = 5;
    Install(world);
    auto peer = Peer(kStranger, kHeadset);
    int error = -1;
    SOCKET s = Link(kStranger, kHeadset, error);
    ASSERT_NE(s, INVALID_SOCKET) << error;
    int small = 4096;
    kvSocketApi.setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                           sizeof small);
    u_long nonBlocking = 1;
    kvSocketApi.ioctlsocket(s, FIONBIO, &nonBlocking);
    std::string block = Pattern(16 * 1024), sent;
    bool backedUp = false;
    while (!backedUp && sent.size() < 256 * 1024 * 1024) {
        int n = kvSocketApi.send(s, block.data(), int(block.size()), 0);
        if (n > 0)
            sent.append(block, 0, size_t(n));
        else if (kvSocketApi.WSAGetLastError() == WSAEWOULDBLOCK)
            backedUp = true;
        else
            FAIL() << "send failed: " << kvSocketApi.WSAGetLastError();
    }
    EXPECT_TRUE(backedUp) << "a peer that stops reading fills the link";
    EXPECT_TRUE(peer->WaitReceived(5, 10000));
    EXPECT_EQ(peer->Received(), sent.substr(0, 5));
    EXPECT_TRUE(peer->Resume());
    EXPECT_TRUE(peer->WaitReceived(sent.size(), 10000));
    EXPECT_EQ(peer->Received().size(), sent.size());
    EXPECT_TRUE(peer->Received() == sent) << "nothing lost while stalled";
    kvSocketApi.closesocket(s);
}

TEST_F(SimTest, ExternalPeerIsAnyProgramListeningOnLoopback) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    TWorld world = TestWorld();
    world.Devices[1].Services[0].Peer = {TPeerKind::External, ntohs(address.sin_port)};
    Install(world);
    EXPECT_THROW(Peer(kEcho, kSerial), std::invalid_argument) << "nothing to observe";

    int error = -1;
    SOCKET s = Link(kEcho, kSerial, error);
    ASSERT_NE(s, INVALID_SOCKET) << error;
    SOCKET remote = accept(listener, nullptr, nullptr);
    ASSERT_NE(remote, INVALID_SOCKET);
    SendAll(s, "hello");
    EXPECT_EQ(ReceiveCount(remote, 5), "hello");
    SendAll(remote, "there");
    EXPECT_EQ(ReceiveCount(s, 5), "there");
    closesocket(remote);
    closesocket(listener);
    kvSocketApi.closesocket(s);
}

// ---- open handles

TEST_F(SimTest, OpenHandlesCountWhatIsHandedOutUntilItIsClosed) {
    const TOpenHandles start = OpenHandles();
    auto params = Sized<BLUETOOTH_FIND_RADIO_PARAMS>();
    HANDLE radio = nullptr, second = nullptr;
    HBLUETOOTH_RADIO_FIND radioFind = kvbtw32::BluetoothFindFirstRadio(&params, &radio);
    ASSERT_TRUE(kvbtw32::BluetoothFindNextRadio(radioFind, &second));
    auto search = SearchRecord(false, true, false, false, false, 0, radio);
    auto info = Sized<BLUETOOTH_DEVICE_INFO>();
    HBLUETOOTH_DEVICE_FIND deviceFind = kvbtw32::BluetoothFindFirstDevice(&search, &info);
    int error = -1;
    HANDLE lookup = BeginLookup(kSerial, "(00:1A:7D:DA:71:13)", error);
    TSettings settings = Settings();
    settings.Select = {TSelectOutcome::Pick, kModem, 0};
    SetSettings(settings);
    auto select = Sized<BLUETOOTH_SELECT_DEVICE_PARAMS>();
    ASSERT_TRUE(kvbtw32::BluetoothSelectDevices(&select));
    TOpenHandles expected = start;
    expected.Radios += 2;
    ++expected.RadioSearches;
    ++expected.DeviceSearches;
    ++expected.Lookups;
    ++expected.Selections;
    EXPECT_TRUE(OpenHandles() == expected) << Describe(OpenHandles());

    const struct {
        const char* Name;
        std::function<void()> Close;
        int TOpenHandles::*Count;
    } closes[] = {
        {"a radio handle", [&] { CloseHandle(radio); }, &TOpenHandles::Radios},
        {"the radio search", [&] { kvbtw32::BluetoothFindRadioClose(radioFind); },
         &TOpenHandles::RadioSearches},
        {"the device search", [&] { kvbtw32::BluetoothFindDeviceClose(deviceFind); },
         &TOpenHandles::DeviceSearches},
        {"the lookup", [&] { kvbtw32::WSALookupServiceEnd(lookup); }, &TOpenHandles::Lookups},
        {"the selection", [&] { kvbtw32::BluetoothSelectDevicesFree(&select); },
         &TOpenHandles::Selections},
        {"the component's Winsock", [] { kvSocketApi.WSACleanup(); }, &TOpenHandles::WinsockStarts},
    };
    for (const auto& c : closes) {
        c.Close();
        --(expected.*c.Count);
        EXPECT_TRUE(OpenHandles() == expected) << c.Name << ": " << Describe(OpenHandles());
    }
    StartWinsock();

    // A radio handle outlives its world until it is closed; a search that a world still
    // held when it went can no longer be closed.
    radioFind = kvbtw32::BluetoothFindFirstRadio(&params, &radio);
    CloseHandle(radio);
    Install(TestWorld());
    EXPECT_FALSE(kvbtw32::BluetoothFindRadioClose(radioFind));
    CloseHandle(second);
    expected.Radios = start.Radios;
    expected.WinsockStarts = start.WinsockStarts;
    ++expected.RadioSearches;
    EXPECT_TRUE(OpenHandles() == expected) << Describe(OpenHandles());
}

// ---- installing

// The handles this process holds, sockets included. GetProcessHandleCount answers 0 under
// Wine; the system's handle table counts them all.
size_t ProcessHandles() {
    struct TEntry {
        ULONG Process;
        BYTE Type;
        BYTE Flags;
        USHORT Value;
        PVOID Object;
        ULONG Access;
    };
    struct TTable {
        ULONG Count;
        TEntry Handles[1];
    };
    using TQuery = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
    constexpr int kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = LONG(0xC0000004);
    auto query = reinterpret_cast<TQuery>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 16);
    ULONG length = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), ULONG(buffer.size()),
                           &length)) == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    EXPECT_EQ(status, 0);
    const auto* table = reinterpret_cast<const TTable*>(buffer.data());
    size_t count = 0;
    for (ULONG i = 0; i < table->Count; ++i)
        count += table->Handles[i].Process == GetCurrentProcessId();
    return count;
}

size_t Threads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

TEST(SimInstall, UninstallRestoresTheSystemAndReleasesEverything) {
    auto round = [] {
        Install(TestWorld());
        EXPECT_NE(kvSocketApi.socket, WinsockSocketApi().socket);
        StartWinsock();
        int error = -1;
        SOCKET s = Link(kEcho, kSerial, error);
        EXPECT_NE(s, INVALID_SOCKET);
        SendAll(s, "x");
        EXPECT_EQ(ReceiveCount(s, 1), "x");
        SOCKET held = Link(kModem, kSerial, error); // still open at Uninstall
        CloseAll(FindRadios());
        auto params = Sized<BLUETOOTH_FIND_RADIO_PARAMS>();
        HANDLE radio = nullptr;
        kvbtw32::BluetoothFindFirstRadio(&params, &radio); // a search left open
        CloseHandle(radio);
        kvSocketApi.closesocket(s);
        kvSocketApi.WSACleanup();
        Uninstall();
        kvSocketApi.closesocket(held);
    };
    // Winsock stays started, as a component keeps it, so that its clean-up hides nothing.
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    round(); // Winsock and the thread library keep what they make on first use
    size_t handles = ProcessHandles(), threads = Threads();
    round();
    round();
    EXPECT_EQ(ProcessHandles(), handles);
    EXPECT_EQ(Threads(), threads);
    WSACleanup();
    EXPECT_FALSE(IsInstalled());
    EXPECT_EQ(kvSocketApi.socket, WinsockSocketApi().socket);
    EXPECT_EQ(kvSocketApi.connect, WinsockSocketApi().connect);
    EXPECT_EQ(kvSocketApi.WSAStartup, WinsockSocketApi().WSAStartup);
    EXPECT_EQ(kvSocketApi.WSACleanup, WinsockSocketApi().WSACleanup);
}

TEST(SimInstall, RefusedWorldLeavesTheInstalledOne) {
    Install(TestWorld());
    TWorld bad = TestWorld();
    bad.Devices[1].Radios = {2};
    EXPECT_THROW(Install(bad), std::invalid_argument);
    bad = TestWorld();
    bad.Devices[1].Address = kModem;
    EXPECT_THROW(Install(bad), std::invalid_argument);
    bad = TestWorld();
    bad.Devices[1].Name = std::wstring(249, L'x');
    EXPECT_THROW(Install(bad), std::invalid_argument);
    EXPECT_TRUE(IsInstalled());
    EXPECT_EQ(FindRadios().size(), 2u);
    Uninstall();
    EXPECT_THROW(SetSettings({}), std::invalid_argument);
}

// ---- world files

TEST(SimWorldFile, DefaultWorldHasEveryKindOfDevice) {
    TWorld world = DefaultWorld();
    ASSERT_EQ(world.Radios.size(), 2u);
    auto device = [&](const wchar_t* name) -> const TDevice& {
        for (const TDevice& d : world.Devices)
            if (d.Name == name)
                return d;
        throw std::invalid_argument("no such device");
    };
    EXPECT_EQ(device(L"BT Serial Modem").Services[0].Peer.Kind, TPeerKind::Modem);
    EXPECT_EQ(device(L"Echo Box").Radios, (std::vector<int>{0, 1}));
    const TDevice& phone = device(L"Office Phone");
    ASSERT_GE(phone.Services.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(phone.Services[0].ServiceClass, kDialUp));
    EXPECT_TRUE(IsEqualGUID(phone.Services[1].ServiceClass, kSerial));
    for (const TService& service : device(L"Stereo Headset").Services)
        EXPECT_FALSE(IsEqualGUID(service.ServiceClass, kSerial) ||
                     IsEqualGUID(service.ServiceClass, kDialUp));
    EXPECT_TRUE(device(L"Field Sensor").InquiryOnly);

    Install(world);
    StartWinsock();
    int error = -1;
    SOCKET s = Link(0x001A7DDA7113, kSerial, error);
    EXPECT_NE(s, INVALID_SOCKET) << error;
    SendAll(s, "AT\r");
    EXPECT_EQ(ReceiveCount(s, 6), "\r\nOK\r\n");
    kvSocketApi.closesocket(s);
    kvSocketApi.WSACleanup();
    Uninstall();
}

TEST(SimWorldFile, ReadsEverySetting) {
    const char* text =
        "\xEF\xBB\xBF# comment\r\n"
        "[world]\n"
        "inquiry_scale 0.25\n"
        "select fail 5\n"
        "pass_key \"12 \\\"34\\\\\"\n"
        "pairing_error 1244\n"
        "socket_error 10050\n"
        "journal \"C:\\\\temp\\\\calls.log\"\n"
        "missing_library Ws2_32.dll\n"
        "missing_library bthprops.cpl\n"
        "missing_export BluetoothSelectDevices\n"
        "[device d]   # devices may name radios given later\n"
        "name \"Zero Year\"\n"
        "address 00:1a:7d:da:71:13\n"
        "class 0x5A020C\n"
        "radios b a\n"
        "authenticated yes\n"
        "remembered no\n"
        "connected yes\n"
        "inquiry_only yes\n"
        "last_seen 0000-00-00 00:00:00\n"
        "last_used 2023-02-30 25:61:00.999\n"
        "lookup_fail 0x1108 10060\n"
        "service class={00001101-0000-1000-8000-00805F9B34FB} channel=30 name=\"A B\" "
        "comment=x large=yes peer=silent fail=10061 delay=20 drop_after=7 stall_after=3\n"
        "service class=0x1103 channel=1 peer=external port=4000\n"
        "[radio a]\n"
        "address 00:00:00:00:00:01\n"
        "connectable no\n"
        "discoverable yes\n"
        "info_missing yes\n"
        "[radio b]\n"
        "address 00:00:00:00:00:02\n";
    TWorld world = ParseWorld(text);
    EXPECT_EQ(world.Settings.InquiryScale, 0.25);
    EXPECT_EQ(world.Settings.Select.Kind, TSelectOutcome::Fail);
    EXPECT_EQ(world.Settings.Select.Error, 5u);
    EXPECT_EQ(world.Settings.PassKey, L"12 \"34\\");
    EXPECT_EQ(world.Settings.PairingError, 1244u);
    EXPECT_EQ(world.Settings.SocketError, 10050);
    EXPECT_EQ(world.Settings.JournalPath, L"C:\\temp\\calls.log");
    EXPECT_EQ(world.Settings.MissingLibraries,
              (std::vector<std::wstring>{L"Ws2_32.dll", L"bthprops.cpl"}));
    EXPECT_EQ(world.Settings.MissingExports, (std::vector<std::string>{"BluetoothSelectDevices"}));
    ASSERT_EQ(world.Radios.size(), 2u);
    EXPECT_FALSE(world.Radios[0].Connectable);
    EXPECT_TRUE(world.Radios[0].Discoverable && world.Radios[0].InfoMissing);
    const TDevice& d = world.Devices.at(0);
    EXPECT_EQ(d.Name, L"Zero Year");
    EXPECT_EQ(d.Address, kModem);
    EXPECT_EQ(d.ClassOfDevice, 0x5A020Cu);
    EXPECT_EQ(d.Radios, (std::vector<int>{1, 0}));
    EXPECT_TRUE(d.Authenticated && !d.Remembered && d.Connected && d.InquiryOnly);
    EXPECT_EQ(d.LastSeen.wYear, 0);
    EXPECT_EQ(d.LastUsed.wDay, 30);
    EXPECT_EQ(d.LastUsed.wMinute, 61);
    EXPECT_EQ(d.LastUsed.wMilliseconds, 999);
    EXPECT_TRUE(IsEqualGUID(d.LookupFailClass, kHeadset));
    EXPECT_EQ(d.LookupFailCode, 10060);
    ASSERT_EQ(d.Services.size(), 2u);
    const TService& s = d.Services[0];
    EXPECT_TRUE(IsEqualGUID(s.ServiceClass, kSerial));
    EXPECT_EQ(s.Channel, 30u);
    EXPECT_EQ(s.Name, L"A B");
    EXPECT_EQ(s.Comment, L"x");
    EXPECT_TRUE(s.Large);
    EXPECT_EQ(s.Peer.Kind, TPeerKind::Silent);
    EXPECT_EQ(s.Peer.ConnectError, 10061);
    EXPECT_EQ(s.Peer.ConnectDelayMs, 20u);
    EXPECT_EQ(s.Peer.DropAfter, 7);
    EXPECT_EQ(s.Peer.StallAfter, 3);
    EXPECT_EQ(d.Services[1].Peer.Kind, TPeerKind::External);
    EXPECT_EQ(d.Services[1].Peer.ExternalPort, 4000);

    std::string name248(248, 'n');
    EXPECT_EQ(
        ParseWorld("[radio r]\naddress 00:00:00:00:00:01\nname " + name248).Radios[0].Name.size(),
        248u);
}

TEST(SimWorldFile, BadInputNamesItsLine) {
    const struct {
        const char* Text;
        int Line;
        const char* Says;
    } cases[] = {
        {"name x\n", 1, "before the first section"},
        {"[world]\n[world]\n", 2, "second [world]"},
        {"[planet p]\n", 1, "section header"},
        {"[radio r\n", 1, "section header"},
        {"[world]\ncolour red\n", 2, "unknown setting 'colour'"},
        {"[world]\nselect pick 00:11\n", 2, "not an address"},
        {"[world]\ninquiry_scale nan\n", 2, "inquiry_scale"},
        {"[world]\ninquiry_scale inf\n", 2, "inquiry_scale"},
        {"[world]\ninquiry_scale -1\n", 2, "inquiry_scale"},
        {"[world]\ninquiry_scale 1e30\n", 2, "inquiry_scale"},
        {"[world]\nmissing_library kernel32.dll\n", 2, "missing_library"},
        {"[radio r]\naddress 00:00:00:00:00:01\naddress 00:00:00:00:00:02\n", 3, "given twice"},
        {"[radio r]\nname \"open\n", 2, "closing quote"},
        {"[radio r]\nname x\n[radio s]\n", 1, "without an address"},
        {"[radio r]\naddress 00:00:00:00:00:01\nconnectable maybe\n", 3, "yes or no"},
        {"[device d]\naddress 00:00:00:00:00:01\nradios nowhere\n", 3, "no radio 'nowhere'"},
        {"[device d]\naddress 00:00:00:00:00:01\n[device e]\naddress 00:00:00:00:00:01\n", 3,
         "second device"},
        {"[device d]\naddress 00:00:00:00:00:01\nlast_seen 2024-03 12:00:00\n", 3, "not a date"},
        {"[device d]\naddress 00:00:00:00:00:01\nclass 12x\n", 3, "not a number"},
        {"[device d]\naddress 00:00:00:00:00:01\nservice channel=1\n", 3, "needs class"},
        {"[device d]\naddress 00:00:00:00:00:01\nservice class=0x1101 channel=31\n", 3,
         "larger than 30"},
        {"[device d]\naddress 00:00:00:00:00:01\nservice class=0x1101 channel=1 peer=robot\n", 3,
         "'peer'"},
        {"[device d]\naddress 00:00:00:00:00:01\nservice class=0x1101 channel=1 peer=external\n", 3,
         "port"},
        {"[device d]\naddress 00:00:00:00:00:01\nservice class={1101} channel=1\n", 3,
         "0x1101-style"},
        {"[device d]\naddress 00:00:00:00:00:01\nservice class=0x1101 channel=1 tone=high\n", 3,
         "unknown service option"},
        {"[device d]\naddress 00:00:00:00:00:01\nname \"", 3, "closing quote"},
    };
    for (const auto& c : cases) {
        try {
            ParseWorld(c.Text);
            ADD_FAILURE() << "accepted: " << c.Text;
        } catch (const EWorldFileError& e) {
            EXPECT_EQ(e.Line(), c.Line) << c.Text;
            std::string message = e.what();
            EXPECT_EQ(message.rfind("line " + std::to_string(c.Line) + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.Says), std::string::npos) << message;
        }
    }
    EXPECT_THROW(ParseWorld("[radio r]\naddress 00:00:00:00:00:01\nname " + std::string(249, 'n')),
                 EWorldFileError);
}

TEST(SimWorldFile, LoadsAFileAndNamesOneItCannotRead) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"kvsim_test.world";
    std::ofstream(std::filesystem::path(path), std::ios::binary) << DefaultWorldText();
    EXPECT_EQ(LoadWorldFile(path).Devices.size(), DefaultWorld().Devices.size());
    DeleteFileW(path.c_str());
    EXPECT_THROW(LoadWorldFile(path), std::runtime_error);
}

} // namespace

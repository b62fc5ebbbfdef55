// TkvBT's connections over the simulated stack: the pre-checks and failures, the open and
// close sequences, the reader, sending and reading, the dialogs and pairing.
#include "components/kvbt.h"
#include "components/kvsysutils.h"
#include "sim/sim.h"
#include "toolkit/forms.h"

#include "kv_test_transport.h"
#include "sim_open_handles.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

const BTH_ADDR kModem = 0x001A7DDA7113;
const BTH_ADDR kEcho = 0x001A7DDA7120;
const BTH_ADDR kPhone = 0x001A7DDA7131;
const BTH_ADDR kBare = 0x001A7DDA7140;
const BTH_ADDR kStranger = 0x001A7DDA7199; // in the world but not remembered

kvsim::TService Service(unsigned short uuid, ULONG channel, const wchar_t* name,
                        kvsim::TPeerKind peer) {
    kvsim::TService s;
    s.ServiceClass = kvsim::ServiceClass16(uuid);
    s.Channel = channel;
    s.Name = name;
    s.Peer.Kind = peer;
    return s;
}

kvsim::TDevice Device(const wchar_t* name, BTH_ADDR address,
                      std::vector<kvsim::TService> services) {
    kvsim::TDevice d;
    d.Name = name;
    d.Address = address;
    d.Radios = {0};
    d.Remembered = true;
    d.Services = std::move(services);
    return d;
}

kvsim::TWorld World() {
    kvsim::TWorld w;
    kvsim::TRadio r;
    r.Name = L"Test Radio";
    r.Address = 0x001A7DDA7001;
    w.Radios.push_back(r);
    w.Devices.push_back(
        Device(L"Modem", kModem, {Service(0x1101, 1, L"Serial Port", kvsim::TPeerKind::Modem)}));
    w.Devices.push_back(
        Device(L"Echo", kEcho, {Service(0x1101, 3, L"Echo", kvsim::TPeerKind::Echo)}));
    w.Devices.push_back(
        Device(L"Phone", kPhone,
               {Service(0x1101, 4, L"Serial Port", kvsim::TPeerKind::Echo),
                Service(0x1103, 2, L"Dial-up Networking", kvsim::TPeerKind::Modem)}));
    w.Devices.push_back(Device(L"Bare", kBare, {}));
    kvsim::TDevice stranger = Device(L"Stranger", kStranger, {});
    stranger.Remembered = false;
    w.Devices.push_back(stranger);
    w.Settings.InquiryScale = 0;
    return w;
}

// What the component reported, in order, with the thread of each report.
struct TReport {
    std::mutex Lock;
    std::vector<std::wstring> Lines;
    std::vector<DWORD> Threads;
    std::string Received;
    bool ClearRaise = false;
    TkvBT* Bt = nullptr;
    std::atomic<int> ListChanges{0}; // notification 3, kept apart from the connection's reports
    void Reset() {
        std::lock_guard<std::mutex> l(Lock);
        Lines.clear();
        Threads.clear();
        Received.clear();
        ClearRaise = false;
        ListChanges = 0;
    }
    void Add(const std::wstring& s) {
        std::lock_guard<std::mutex> l(Lock);
        Lines.push_back(s);
        Threads.push_back(GetCurrentThreadId());
    }
    std::vector<std::wstring> Get() {
        std::lock_guard<std::mutex> l(Lock);
        return Lines;
    }
    int Count(const std::wstring& s) {
        std::lock_guard<std::mutex> l(Lock);
        return static_cast<int>(std::count(Lines.begin(), Lines.end(), s));
    }
    std::string Data() {
        std::lock_guard<std::mutex> l(Lock);
        return Received;
    }
    void Open(TObject*) { Add(L"open"); }
    void Close(TObject*) { Add(L"close"); }
    void Connect(TObject*) {
        Add(L"connect in " + IntToStr(Bt->GetBufferInSize()) + L" out " +
            IntToStr(Bt->GetBufferOutSize()));
    }
    void Disconnect(TObject*) { Add(L"disconnect"); }
    void Notify(TObject*, std::int32_t code) {
        if (code == 3)
            ++ListChanges;
        else
            Add(L"notify " + IntToStr(code));
    }
    void Fatal(TObject*, std::uint32_t code, std::uint32_t detail, const String& msg, bool& raise) {
        Add(L"fatal " + IntToStr(code) + L" " + IntToStr(detail) + L" " + msg);
        if (ClearRaise)
            raise = false;
    }
    void Receive(TObject*, void* buffer, std::uint32_t n) {
        std::lock_guard<std::mutex> l(Lock);
        Received.append(static_cast<char*>(buffer), n);
        Threads.push_back(GetCurrentThreadId());
    }
};

class Connection : public testing::Test {
public:
    void SetUp() override {
        kvsim::Install(World());
        report.Reset();
        owner = new TComponent(nullptr);
        log = new TRecordingLog(owner);
        bt = new TkvBT(owner);
        report.Bt = bt;
        bt->SetLog(log);
        bt->SetOnOpen(TNotifyEvent::Bind<&TReport::Open>(&report));
        bt->SetOnClose(TNotifyEvent::Bind<&TReport::Close>(&report));
        bt->SetOnConnect(TNotifyEvent::Bind<&TReport::Connect>(&report));
        bt->SetOnDisconnect(TNotifyEvent::Bind<&TReport::Disconnect>(&report));
        bt->SetOnFatalError(TOnFatalErrorEvent::Bind<&TReport::Fatal>(&report));
        bt->NotifyAdd(TkvNotifyEvent::Bind<&TReport::Notify>(&report));
        bt->Update();
    }
    void TearDown() override {
        delete owner;
        kvsim::Uninstall();
    }

    void Select(BTH_ADDR address) {
        BLUETOOTH_ADDRESS a;
        a.ullLong = address;
        bt->SetDeviceIndex(bt->IndexOfAddress(a));
        ASSERT_GE(bt->GetDeviceIndex(), 0);
    }
    std::shared_ptr<kvsim::TPeerServer> Peer(BTH_ADDR device, unsigned short uuid = 0x1101) {
        return kvsim::Peer(device, kvsim::ServiceClass16(uuid));
    }
    // Opens; returns the exception's message, or empty.
    std::wstring OpenError() {
        try {
            bt->SetActive(true);
        } catch (const Exception& e) {
            return e.Message();
        }
        return L"";
    }
    void Receive() { bt->SetOnReceived(TOnReceived::Bind<&TReport::Receive>(&report)); }

    TComponent* owner = nullptr;
    TRecordingLog* log = nullptr;
    TkvBT* bt = nullptr;
    TReport report;
    TOpenHandleCheck openHandles;
};

// ---- Failures before and while connecting

TEST_F(Connection, PreChecksAndFailuresReportCode13WithTheirDetail) {
    struct TCase {
        const char* Name;
        std::function<void(Connection&)> Prepare;
        std::uint32_t Detail;
        std::wstring Message;
    };
    const TCase cases[] = {
        {"no Bluetooth library",
         [](Connection&) {
             auto s = kvsim::Settings();
             s.MissingLibraries = {L"bthprops.cpl", L"irprops.cpl"};
             kvsim::SetSettings(s);
             UnloadBtApis();
         },
         3, L"Bluetooth system API is not found."},
        {"no radio",
         [](Connection& c) {
             auto s = kvsim::Settings();
             s.MissingExports = {"BluetoothFindFirstRadio"};
             kvsim::SetSettings(s);
             c.bt->Update();
         },
         1, L"There are no bluetooth adapters"},
        {"no device",
         [](Connection& c) {
             c.bt->SetDeviceEnum({bteAllRadios});
             c.bt->Update();
         },
         1, L"There are no bluetooth devices."},
        {"none selected", [](Connection&) {}, 2, L"There are no selected bluetooth devices."},
        {"selection beyond the list",
         [](Connection& c) { c.bt->SetDeviceIndex(c.bt->DeviceCount()); }, 4,
         L"The selected bluetooth device is not in the device list."},
        {"service beyond the list",
         [](Connection& c) {
             c.Select(kPhone);
             c.bt->GetBTDevice(c.bt->GetDeviceIndex())->Update();
             c.bt->GetBTDevice(c.bt->GetDeviceIndex())->SetServiceIndex(2);
         },
         5, L"The selected service is not in the service list of the selected bluetooth device."},
        {"socket fails",
         [](Connection& c) {
             c.Select(kModem);
             auto s = kvsim::Settings();
             s.SocketError = WSAENOBUFS;
             kvsim::SetSettings(s);
         },
         WSAENOBUFS, L"Socket error  # =2=" + IntToStr(WSAENOBUFS)},
        {"device without the class",
         [](Connection& c) {
             c.Select(kBare); // its lookup finds nothing and fails with no code: connect goes on
         },
         WSASERVICE_NOT_FOUND,
         L"Connect to selected bluetooth device failed # =1=" + IntToStr(WSASERVICE_NOT_FOUND)},
    };
    // A tripwire: every socket that the component asks for.
    static std::atomic<int> sockets{0};
    static decltype(TkvSocketApi::socket) forward;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        c.Prepare(*this);
        sockets = 0;
        forward = kvSocketApi.socket;
        kvSocketApi.socket = [](int af, int type, int protocol) {
            ++sockets;
            return forward(af, type, protocol);
        };
        EXPECT_EQ(OpenError(), c.Message);
        kvSocketApi.socket = forward;
        EXPECT_EQ(report.Get(), (std::vector<std::wstring>{L"fatal 13 " + IntToStr(c.Detail) +
                                                           L" " + c.Message}));
        EXPECT_FALSE(bt->GetActive());
        auto lines = log->Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].Text, L"Fatal Error: 13, " + IntToStr(c.Detail) + L", " + c.Message);
        if (c.Detail <= 5) { // nothing was tried beyond the check
            EXPECT_EQ(sockets, 0);
        }
    }
}

TEST_F(Connection, LookupThatCannotBeginReportsItsCodeAndMakesNoSocket) {
    kvsim::Uninstall();
    kvsim::TWorld w = World();
    w.Devices[0].LookupFailCode = WSAETIMEDOUT;
    w.Devices[0].LookupFailClass = BtServiceClasses[0];
    kvsim::Install(w);
    bt->Update();
    Select(kModem);
    auto settings = kvsim::Settings();
    settings.SocketError = WSAENOBUFS; // would show if a socket were made
    kvsim::SetSettings(settings);
    std::wstring expected = L"Socket error  # =0= " + IntToStr(WSAETIMEDOUT);
    EXPECT_EQ(OpenError(), expected);
    EXPECT_EQ(report.Get(),
              (std::vector<std::wstring>{L"fatal 13 " + IntToStr(WSAETIMEDOUT) + L" " + expected}));
}

TEST_F(Connection, RefusedAndTimedOutConnectsCloseTheSocketAndReportTheCode) {
    for (int code : {WSAECONNREFUSED, WSAETIMEDOUT}) {
        kvsim::Uninstall();
        kvsim::TWorld w = World();
        w.Devices[0].Services[0].Peer.ConnectError = code;
        w.Devices[0].Services[0].Peer.ConnectDelayMs = code == WSAETIMEDOUT ? 200 : 0;
        kvsim::Install(w);
        bt->Update();
        Select(kModem);
        EXPECT_EQ(OpenError(),
                  L"Connect to selected bluetooth device failed # =1=" + IntToStr(code));
        EXPECT_FALSE(bt->GetActive());
    }
}

TEST_F(Connection, ClearedRaiseExceptionLeavesTheComponentClosedQuietly) {
    report.ClearRaise = true;
    EXPECT_EQ(OpenError(), L"");
    EXPECT_FALSE(bt->GetActive());
    EXPECT_EQ(report.Get(),
              (std::vector<std::wstring>{L"fatal 13 2 There are no selected bluetooth devices."}));
}

// ---- The open sequence

TEST_F(Connection, OpenSequenceOrderLogLineAndBufferSizes) {
    Select(kModem);
    bt->SetBufferInSize(100);
    bt->SetBufferOutSize(200);
    ASSERT_EQ(OpenError(), L"");
    ASSERT_TRUE(bt->GetActive());
    // After the open the sizes are the socket's own.
    int in = 0, out = 0;
    EXPECT_GT(bt->GetBufferInSize(), 0);
    EXPECT_GT(bt->GetBufferOutSize(), 0);
    in = bt->GetBufferInSize();
    out = bt->GetBufferOutSize();
    EXPECT_NE(in, 100);
    EXPECT_NE(out, 200);
    std::wstring sizes = L"connect in " + IntToStr(in) + L" out " + IntToStr(out);
    EXPECT_EQ(report.Get(), (std::vector<std::wstring>{L"open", sizes, L"notify 2"}));
    auto lines = log->Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Level, dlDetail);
    EXPECT_EQ(lines[0].Text,
              L"kvBT: Opened: Modem (00:1A:7D:DA:71:13) {00001101-0000-1000-8000-00805F9B34FB}");
}

TEST_F(Connection, NoSelectedServiceConnectsThroughDialUpNetworking) {
    Select(kPhone);
    TkvBTDevice* phone = bt->GetBTDevice(bt->GetDeviceIndex());
    phone->Update();
    ASSERT_EQ(phone->ServiceCount(), 2);
    phone->SetServiceIndex(-1);
    ASSERT_EQ(OpenError(), L"");
    EXPECT_EQ(log->Lines()[0].Text,
              L"kvBT: Opened: Phone (00:1A:7D:DA:71:31) {00001103-0000-1000-8000-00805F9B34FB}");
    EXPECT_TRUE(PumpUntil([&] { return Peer(kPhone, 0x1103)->Connections() == 1; }));
}

TEST_F(Connection, StoredActiveTriesTwiceWhileTheFormLoads) {
    static std::vector<std::wstring> boxes;
    boxes.clear();
    auto previous =
        Application->SetMessageBoxFunc([](HWND, const String& text, const String& caption, UINT) {
            boxes.push_back(text + L"|" + caption);
            return IDOK;
        });
    struct THolder : TForm {
        THolder() : TForm(nullptr) { RegisterComponentClass<THolder>(L"THolder", L"TForm"); }
        ~THolder() override { DestroyComponents(); }
    } holder;
    RegisterKvBtClasses();
    TFormHandlers none;
    ReadForm(&holder,
             "object Holder: THolder\n"
             "  object bt: TkvBT\n"
             "    DeviceIndex = 0\n"
             "    Active = True\n"
             "  end\n"
             "end\n",
             none);
    Application->SetMessageBoxFunc(previous);
    auto* loaded = dynamic_cast<TkvBT*>(holder.FindComponent(L"bt"));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(boxes,
              (std::vector<std::wstring>{L"error|Error"})); // the first try, before any radio
    EXPECT_TRUE(loaded->GetActive());                       // the second, after Update
    EXPECT_TRUE(PumpUntil([&] { return Peer(kModem)->Connections() == 1; }));
}

// ---- Transfer

TEST_F(Connection, SendCharSendsTheLowByteAndStringsGoWhole) {
    Select(kEcho);
    ASSERT_EQ(OpenError(), L"");
    auto peer = Peer(kEcho);
    bt->SendChar(wchar_t(0x0141));
    bt->SendString("AT\r");
    const std::uint8_t data[] = {0, 0xFF, 7};
    bt->SendData(data, 3);
    ASSERT_TRUE(PumpUntil([&] { return peer->Received().size() == 7; }));
    EXPECT_EQ(peer->Received(), std::string("AAT\r\0\xFF\x07", 7));
}

TEST_F(Connection, ClosedComponentDoesNothing) {
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    bt->SendChar(L'x');
    bt->SendString("x");
    bt->SendData(buffer, 4);
    bt->Read(buffer, 4);
    bt->ReadAll(buffer);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(bt->ReadString(), L"");
    EXPECT_EQ(bt->ReadyForRead(), 0u);
    EXPECT_FALSE(bt->WaitForBytes(0, 100));
    EXPECT_EQ(bt->TotalReceived(), 0u);
    bt->SetActive(false); // nothing to close: nothing raised
    EXPECT_TRUE(report.Get().empty());
    EXPECT_THROW(bt->ClearDeviceInput(), EAbstractError);
}

TEST_F(Connection, UnreadBytesStayPendingAndAreCountedOnce) {
    Select(kEcho);
    ASSERT_EQ(OpenError(), L"");
    auto peer = Peer(kEcho);
    ASSERT_TRUE(PumpUntil([&] { return peer->Connections() == 1; }));
    peer->Send("pending bytes");
    ASSERT_TRUE(PumpUntil([&] { return bt->ReadyForRead() == 13; }));
    PumpFor(100); // the reader passes by them many times
    EXPECT_EQ(bt->ReadyForRead(), 13u);
    EXPECT_EQ(bt->TotalReceived(), 0u);
    EXPECT_EQ(bt->ReadString(), L"pending bytes");
    EXPECT_EQ(bt->TotalReceived(), 13u);
    // Attached receivers get what comes next.
    Receive();
    peer->Send("more");
    ASSERT_TRUE(PumpUntil([&] { return report.Data() == "more"; }));
    EXPECT_EQ(bt->TotalReceived(), 17u);
}

TEST_F(Connection, WaitForBytesHoldsTheReaderOff) {
    Select(kEcho);
    ASSERT_EQ(OpenError(), L"");
    Receive();
    auto peer = Peer(kEcho);
    ASSERT_TRUE(PumpUntil([&] { return peer->Connections() == 1; }));
    EXPECT_TRUE(bt->WaitForBytes(0, 1000));
    peer->Send("12345");
    EXPECT_TRUE(bt->WaitForBytes(5, 5000));
    EXPECT_EQ(bt->ReadyForRead(), 5u); // not taken by the reader meanwhile
    EXPECT_FALSE(bt->WaitForBytes(6, 100));
    // Afterwards the reader reads them.
    EXPECT_TRUE(PumpUntil([&] { return report.Data() == "12345"; }));
}

TEST_F(Connection, ReaderDispatchesOnItsThreadOrWithUseMainThreadOnTheMainThread) {
    for (bool mainThread : {false, true}) {
        SCOPED_TRACE(mainThread);
        TearDown();
        SetUp();
        Select(kEcho);
        bt->SetUseMainThread(mainThread);
        Receive();
        ASSERT_EQ(OpenError(), L"");
        bt->SendString("ping");
        ASSERT_TRUE(PumpUntil([&] { return report.Data() == "ping"; }));
        std::lock_guard<std::mutex> l(report.Lock);
        EXPECT_EQ(report.Threads.back() == GetCurrentThreadId(), mainThread);
    }
}

TEST_F(Connection, EchoTransferIsByteExactForEveryBlockSize) {
    Select(kEcho);
    bt->SetBufferInSize(1024);
    Receive();
    ASSERT_EQ(OpenError(), L"");
    bt->SetBufferInSize(4096); // while open: the reader takes the new buffer between receives
    std::mt19937 random(7);
    std::string expected;
    for (size_t size : {size_t(1), size_t(2), size_t(1000), size_t(4097), size_t(8192),
                        size_t(20000), size_t(65536)}) {
        std::string block(size, '\0');
        for (char& c : block)
            c = static_cast<char>(random());
        bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                     static_cast<std::uint32_t>(size));
        expected += block;
        ASSERT_TRUE(PumpUntil([&] { return report.Data().size() >= expected.size(); }, 30000))
            << size;
    }
    EXPECT_EQ(report.Data(), expected);
    EXPECT_EQ(Peer(kEcho)->Received(), expected);
    EXPECT_EQ(bt->TotalReceived(), expected.size());
}

// ---- The end of a connection

TEST_F(Connection, PeerClosingClosesOnTheReaderThreadOnce) {
    Select(kEcho);
    ASSERT_EQ(OpenError(), L"");
    auto peer = Peer(kEcho);
    ASSERT_TRUE(PumpUntil([&] { return peer->Connections() == 1; }));
    peer->Close();
    ASSERT_TRUE(PumpUntil([&] { return report.Count(L"disconnect") == 1; }));
    EXPECT_FALSE(bt->GetActive());
    PumpFor(200);
    auto lines = report.Get();
    EXPECT_EQ(std::vector<std::wstring>(lines.end() - 3, lines.end()),
              (std::vector<std::wstring>{L"close", L"notify 1", L"disconnect"}));
    {
        std::lock_guard<std::mutex> l(report.Lock);
        EXPECT_NE(report.Threads.back(), GetCurrentThreadId());
    }
    // The next connection works at once.
    ASSERT_EQ(OpenError(), L"");
    EXPECT_TRUE(PumpUntil([&] { return peer->Connections() == 2; }));
}

TEST_F(Connection, ApplicationClosingDisconnectsOnceOnTheCallingThread) {
    Select(kEcho);
    ASSERT_EQ(OpenError(), L"");
    auto peer = Peer(kEcho);
    ASSERT_TRUE(PumpUntil([&] { return peer->Connections() == 1; }));
    bt->SetActive(false);
    EXPECT_EQ(report.Count(L"disconnect"), 1);
    {
        std::lock_guard<std::mutex> l(report.Lock);
        EXPECT_EQ(report.Threads.back(), GetCurrentThreadId());
    }
    EXPECT_TRUE(PumpUntil([&] { return peer->ClientClosed(); }));
    PumpFor(200); // the reader's end raises nothing more
    EXPECT_EQ(report.Count(L"disconnect"), 1);
    EXPECT_EQ(report.Count(L"notify 1"), 1);
}

TEST_F(Connection, DestroyingAnOpenComponentClosesAndWaitsForItsReader) {
    Select(kEcho);
    Receive();
    ASSERT_EQ(OpenError(), L"");
    auto peer = Peer(kEcho);
    ASSERT_TRUE(PumpUntil([&] { return peer->Connections() == 1; }));
    peer->Send(std::string(50000, 'x')); // data flows while it goes
    delete bt;
    bt = nullptr;
    EXPECT_EQ(report.Count(L"disconnect"), 1);
    EXPECT_TRUE(PumpUntil([&] { return peer->ClientClosed(); }));
}

TEST_F(Connection, CloseRacesWithTheLinkDroppingDisconnectOnce) {
    Select(kEcho);
    auto peer = Peer(kEcho);
    std::mt19937 random(11);
    for (int round = 1; round <= 200; ++round) {
        ASSERT_EQ(OpenError(), L"") << round;
        ASSERT_TRUE(PumpUntil([&] { return peer->Connections() == round; })) << round;
        if (random() % 2)
            Sleep(random() % 3);
        peer->Close();
        if (random() % 2)
            Sleep(random() % 3);
        bt->SetActive(false);
        ASSERT_TRUE(PumpUntil([&] { return report.Count(L"disconnect") == round; })) << round;
    }
    PumpFor(200);
    EXPECT_EQ(report.Count(L"disconnect"), 200);
    EXPECT_EQ(report.Count(L"notify 1"), 200);
    EXPECT_EQ(report.Count(L"close"), 200);
}

TEST_F(Connection, BufferInSizeOfZeroOrBelowIsRefused) {
    EXPECT_EQ(bt->GetBufferInSize(), 8192);
    bt->SetBufferInSize(0);
    bt->SetBufferInSize(-1);
    EXPECT_EQ(bt->GetBufferInSize(), 8192);
    bt->SetBufferInSize(16);
    EXPECT_EQ(bt->GetBufferInSize(), 16);
}

// ---- Dialogs and pairing

TEST_F(Connection, SelectDialogRecordCancelErrorAndPick) {
    auto settings = kvsim::Settings();
    settings.Select.Kind = kvsim::TSelectOutcome::Cancel;
    kvsim::SetSettings(settings);
    int notices = report.ListChanges;
    EXPECT_FALSE(bt->SelectDeviceDialog(L"", false, false, false));
    EXPECT_EQ(report.ListChanges, notices); // nothing reported, nothing changed
    EXPECT_TRUE(report.Get().empty());
    ASSERT_EQ(kvsim::SelectCalls().size(), 1u);
    const auto first = kvsim::SelectCalls()[0].Params;
    EXPECT_EQ(first.dwSize, 88u);
    EXPECT_EQ(first.pszInfo, nullptr);
    EXPECT_EQ(first.fShowAuthenticated, 0);
    EXPECT_EQ(first.fShowRemembered, -1);
    EXPECT_EQ(first.fShowUnknown, 0);

    settings.Select = {kvsim::TSelectOutcome::Pick, kPhone, 0};
    kvsim::SetSettings(settings);
    EXPECT_TRUE(bt->SelectDeviceDialog(L"Additional information", false, false, true));
    auto call = kvsim::SelectCalls()[1];
    EXPECT_EQ(call.Info, L"Additional information");
    EXPECT_EQ(call.Params.fForceAuthentication, 0);
    EXPECT_EQ(call.Params.fAddNewDeviceWizard, 0);
    EXPECT_EQ(call.Params.fSkipServicesPage, -1);
    EXPECT_EQ(bt->GetBTDevice(bt->GetDeviceIndex())->Address.ullLong, kPhone);
    EXPECT_EQ(report.ListChanges, notices + 2); // Update, then the selection

    // A picked device that the search leaves out: false and no selection.
    settings.Select = {kvsim::TSelectOutcome::Pick, kStranger, 0};
    kvsim::SetSettings(settings);
    EXPECT_FALSE(bt->SelectDeviceDialog(L"", false, false, false));
    EXPECT_EQ(bt->GetDeviceIndex(), -1);

    // A code whose hexadecimal form has letters: they come out in upper case.
    settings.Select = {kvsim::TSelectOutcome::Fail, 0, ERROR_NOT_AUTHENTICATED};
    kvsim::SetSettings(settings);
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, ERROR_NOT_AUTHENTICATED, 0, reinterpret_cast<wchar_t*>(&text), 0,
                   nullptr);
    String system = text ? text : L"";
    LocalFree(text);
    while (!system.empty() && (system.back() <= L' ' || system.back() == L'.'))
        system.pop_back();
    try {
        bt->SelectDeviceDialog(L"", false, false, false);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  L"Bluetooth select device dialog fails with error: [000004DC] " + system);
    }
}

TEST_F(Connection, ConfigDialogAndPairingNeedADeviceInTheList) {
    bt->ConfigDialog();
    EXPECT_FALSE(bt->AuthenticateDevice(L"1234"));
    bt->SetDeviceIndex(99);
    bt->ConfigDialog();
    EXPECT_FALSE(bt->AuthenticateDevice(L"1234"));
    bt->SetDeviceIndex(0);
    bt->SetRadioIndex(-1);
    bt->ConfigDialog();
    bt->SetRadioIndex(5);
    EXPECT_FALSE(bt->AuthenticateDevice(L"1234"));
    EXPECT_TRUE(kvsim::PropertiesCalls().empty());
    EXPECT_TRUE(kvsim::PairingCalls().empty());

    Select(kModem);
    bt->ConfigDialog(); // the radio plays no part in the property dialog
    bt->SetRadioIndex(0);
    bt->ConfigDialog();
    ASSERT_EQ(kvsim::PropertiesCalls().size(), 2u);
    EXPECT_EQ(kvsim::PropertiesCalls()[0].Address, kModem);

    auto settings = kvsim::Settings();
    settings.PassKey = L"1234";
    kvsim::SetSettings(settings);
    EXPECT_FALSE(bt->AuthenticateDevice(L""));
    EXPECT_TRUE(bt->AuthenticateDevice(L"1234"));
    auto calls = kvsim::PairingCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].KeyNull);
    EXPECT_EQ(calls[0].Length, 0u);
    EXPECT_FALSE(calls[1].KeyNull);
    EXPECT_EQ(calls[1].Key, L"1234");
    EXPECT_EQ(calls[1].Length, 4u);
    EXPECT_EQ(calls[1].Address, kModem);
}

} // namespace

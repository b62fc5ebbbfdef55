// The component core: the base I/O component, its reader thread and dispatch, the
// terminal binding, the notify list, the data processor and the window timer.
#include "components/kvclasses.h"
#include "components/kvsysutils.h"
#include "components/kvwin32.h"
#include "toolkit/forms.h"

#include "kv_test_transport.h"
#include "test_support.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// A form that owns the components of a test, so that removal notices flow as in a program.
class TTestForm : public TForm {
public:
    TTestForm() : TForm(nullptr) {
        SetBounds(50, 50, 400, 300);
        Io = new TTestTransport(this);
        Log = new TRecordingLog(this);
        Memo = new TMemo(this);
        Memo->SetParent(this);
        Memo->SetBounds(10, 10, 300, 200);
        Memo->SetText(L"");
    }
    TTestTransport* Io;
    TRecordingLog* Log;
    TMemo* Memo;
};

// Records the events of a component in order, with the thread each ran on.
struct TEvents {
    std::mutex Lock;
    std::vector<std::wstring> Lines;
    std::atomic<DWORD> LastThread{0};
    bool ThrowInOpenClose = false;
    bool ClearRaise = false;
    bool ThrowInReceived = false;
    void Add(const std::wstring& s) {
        std::lock_guard<std::mutex> l(Lock);
        Lines.push_back(s);
        LastThread = GetCurrentThreadId();
    }
    std::vector<std::wstring> Get() {
        std::lock_guard<std::mutex> l(Lock);
        return Lines;
    }
    void Opened(TObject*) {
        Add(L"open");
        if (ThrowInOpenClose)
            throw Exception(L"from OnOpen");
    }
    void Closed(TObject*) {
        Add(L"close");
        if (ThrowInOpenClose)
            throw Exception(L"from OnClose");
    }
    void Fatal(TObject*, std::uint32_t code, std::uint32_t detail, const String& msg, bool& raise) {
        Add(L"fatal " + IntToStr(code) + L" " + IntToStr(detail) + L" " + msg);
        if (ClearRaise)
            raise = false;
    }
    void Received(TObject*, void* buffer, std::uint32_t n) {
        Add(L"received " + AnsiToString(std::string(static_cast<char*>(buffer), n)));
        if (ThrowInReceived)
            throw Exception(L"from OnReceived");
    }
    void Notified(TObject*, std::int32_t code) { Add(L"notify " + IntToStr(code)); }
};

class BaseIO : public testing::Test {
protected:
    void SetUp() override {
        form = new TTestForm;
        io = form->Io;
        io->SetOnOpen(TNotifyEvent::Bind<&TEvents::Opened>(&events));
        io->SetOnClose(TNotifyEvent::Bind<&TEvents::Closed>(&events));
    }
    void TearDown() override { delete form; }
    TTestForm* form;
    TTestTransport* io;
    TEvents events;
};

// ---- Active and the open/close sequences

TEST_F(BaseIO, ActiveAtRunTimeOpensOnceAndClosesOnce) {
    io->SetActive(true);
    EXPECT_TRUE(io->GetActive());
    io->SetActive(true); // already open: nothing
    EXPECT_EQ(io->Opens, 1);
    io->SetActive(false);
    io->SetActive(false); // closing twice raises OnClose once
    EXPECT_FALSE(io->GetActive());
    EXPECT_EQ(events.Get(), (std::vector<std::wstring>{L"open", L"close"}));
}

TEST_F(BaseIO, ExceptionsFromOnOpenAndOnCloseAreDropped) {
    events.ThrowInOpenClose = true;
    EXPECT_NO_THROW(io->SetActive(true));
    EXPECT_TRUE(io->GetActive());
    EXPECT_NO_THROW(io->SetActive(false));
    EXPECT_FALSE(io->GetActive());
    EXPECT_EQ(events.Get(), (std::vector<std::wstring>{L"open", L"close"}));
}

TEST_F(BaseIO, ActiveWhileLoadingTakesEffectInLoaded) {
    io->SetLoading(true);
    io->SetActive(true);
    EXPECT_TRUE(io->GetActive());
    EXPECT_FALSE(io->IsOpened());
    io->Loaded();
    EXPECT_TRUE(io->IsOpened());
    EXPECT_EQ(io->Opens, 1);
}

TEST_F(BaseIO, LoadedShowsErrorBoxWhenOpeningThrows) {
    static std::vector<std::wstring> boxes;
    boxes.clear();
    auto previous = Application->SetMessageBoxFunc(
        [](HWND, const String& text, const String& caption, UINT flags) {
            boxes.push_back(text + L"|" + caption + L"|" + IntToStr(flags));
            return IDOK;
        });
    io->Reachable = false;
    io->SetLoading(true);
    io->SetActive(true);
    EXPECT_NO_THROW(io->Loaded());
    Application->SetMessageBoxFunc(previous);
    EXPECT_EQ(boxes, (std::vector<std::wstring>{L"error|Error|16"}));
    EXPECT_FALSE(io->GetActive());
}

TEST_F(BaseIO, DesignStateSwitchOnIsATest) {
    io->SetDesigning(true);
    io->SetActive(true);
    EXPECT_FALSE(io->IsOpened()); // opened and closed again at once
    EXPECT_TRUE(io->GetActive()); // the success is remembered
    EXPECT_EQ(events.Get(), (std::vector<std::wstring>{L"open", L"close"}));

    io->Reachable = false;
    io->SetOnFatalError(TOnFatalErrorEvent::Bind<&TEvents::Fatal>(&events));
    events.ClearRaise = true;
    io->SetActive(true);
    EXPECT_FALSE(io->GetActive());
}

// ---- Fatal errors and logging

TEST_F(BaseIO, FatalErrorsThrowUnlessClearedOrLoading) {
    io->SetLog(form->Log);
    io->SetOnFatalError(TOnFatalErrorEvent::Bind<&TEvents::Fatal>(&events));
    try {
        io->DoFatalErrors(13, 2, L"There are no selected bluetooth devices.");
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), L"There are no selected bluetooth devices.");
    }
    events.ClearRaise = true;
    EXPECT_NO_THROW(io->DoFatalErrors(13, 1, L"cleared"));
    events.ClearRaise = false;
    io->SetLoading(true);
    EXPECT_NO_THROW(io->DoFatalErrors(13, 3, L"while loading"));
    io->SetLoading(false);
    EXPECT_EQ(events.Get(),
              (std::vector<std::wstring>{L"fatal 13 2 There are no selected bluetooth devices.",
                                         L"fatal 13 1 cleared", L"fatal 13 3 while loading"}));
    // The log line carries no prefix.
    std::vector<TLogLine> expected = {
        {dlSimple, L"Fatal Error: 13, 2, There are no selected bluetooth devices."},
        {dlSimple, L"Fatal Error: 13, 1, cleared"},
        {dlSimple, L"Fatal Error: 13, 3, while loading"}};
    EXPECT_EQ(form->Log->Lines(), expected);

    // An unreachable medium with a clearing handler: no exception, no event, no thread.
    events.ClearRaise = true;
    io->Reachable = false;
    EXPECT_NO_THROW(io->SetActive(true));
    EXPECT_FALSE(io->GetActive());
}

TEST_F(BaseIO, LogMessageUsesThePrefixAndEmptyTextWritesSystemInformation) {
    io->LogMessage(dlDebug, L"nothing without a log");
    io->SetLog(form->Log);
    io->LogMessage(dlDetail, L"first");
    io->sLogPrefix = L"kvT: ";
    io->LogMessage(dlDebug, L"second");
    io->LogMessage(dlDebug, L"");
    std::vector<TLogLine> expected = {{dlDetail, L"TTestTransportfirst"},
                                      {dlDebug, L"kvT: second"},
                                      {dlSimple, L"<system information>"}};
    EXPECT_EQ(form->Log->Lines(), expected);
}

// ---- Devices

TEST_F(BaseIO, InsertDeviceKeepsDataOrder) {
    auto make = [](int data) {
        auto* d = new TkvDevice;
        d->Data = data;
        d->NameFriendly = L"d" + IntToStr(data);
        return d;
    };
    EXPECT_EQ(io->InsertDevice(make(5)), 0); // into an empty list
    EXPECT_EQ(io->InsertDevice(make(1)), 0);
    EXPECT_EQ(io->InsertDevice(make(9)), 2);
    TkvDevice* three = make(3);
    EXPECT_EQ(io->InsertDevice(three), 1);
    TkvDevice* duplicate = make(5);
    EXPECT_EQ(io->InsertDevice(duplicate), -1);
    EXPECT_EQ(duplicate->GetParent(), nullptr); // still the caller's
    delete duplicate;
    EXPECT_EQ(io->InsertDevice(make(12)), 4);
    const int expectedData[] = {1, 3, 5, 9, 12};
    for (int i = 0; i < io->DeviceCount(); ++i) {
        EXPECT_EQ(io->GetDevice(i)->Data, expectedData[i]);
        EXPECT_EQ(io->GetDevice(i)->GetIndex(), i);
        EXPECT_EQ(io->GetDevice(i)->GetParent(), io);
    }
    EXPECT_EQ(io->IndexOfDevice(three), 1);
    EXPECT_EQ(io->GetDevice(5), nullptr);
    EXPECT_EQ(io->GetDevice(-1), nullptr);
}

TEST_F(BaseIO, GetDeviceListEnumeratesOnFirstDemand) {
    io->DeviceNames = {L"one", L"two"};
    io->GetDeviceList(nullptr);
    EXPECT_EQ(io->Enumerations, 1);
    TStringList list;
    list.Add(L"stale");
    io->GetDeviceList(&list);
    EXPECT_EQ(io->Enumerations, 1);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Get(1), L"two");
    EXPECT_EQ(list.Objects(1), io->GetDevice(1));
}

TEST_F(BaseIO, WMDeviceChangeReactsToPortsAndNodeChanges) {
    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
    struct TCase {
        UINT Msg;
        WPARAM WParam;
        DEV_BROADCAST_HDR* Header;
        bool Result;
    };
    const TCase cases[] = {
        {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &port, true},
        {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, &port, true},
        {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &volume, false},
        {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, nullptr, true}, // LParam not looked at
        {WM_DEVICECHANGE, DBT_QUERYCHANGECONFIG, &port, false},
        {WM_TIMER, DBT_DEVICEARRIVAL, &port, false},
    };
    for (const auto& c : cases) {
        int before = io->Updates;
        TMessage m{c.Msg, c.WParam, reinterpret_cast<LPARAM>(c.Header), 77};
        EXPECT_EQ(io->WMDeviceChange(m), c.Result);
        EXPECT_EQ(io->Updates - before, c.Result ? 1 : 0);
        EXPECT_EQ(m.Result, 77);
    }
}

TEST_F(BaseIO, AbstractOperationsRaiseTheAbstractError) {
    EXPECT_THROW(io->ClearDeviceInput(), EAbstractError);
    EXPECT_THROW(io->ClearDeviceBuffers(), EAbstractError);
    EXPECT_THROW(form->Log->Save(), EAbstractError);
}

// ---- Notify list

struct TSubscriber {
    std::wstring Name;
    std::vector<std::wstring>* Calls;
    TkvBaseIO* Io = nullptr;
    TSubscriber* RemoveOther = nullptr;
    TSubscriber* AddOther = nullptr;
    void Notify(TObject*, std::int32_t code) {
        Calls->push_back(Name + L" " + IntToStr(code));
        if (RemoveOther)
            Io->NotifyDelete(RemoveOther->Callback());
        if (AddOther)
            Io->NotifyAdd(AddOther->Callback());
    }
    TkvNotifyEvent Callback() { return TkvNotifyEvent::Bind<&TSubscriber::Notify>(this); }
};

TEST_F(BaseIO, NotifyListKeepsTwoObjectsOfOneMethodApart) {
    std::vector<std::wstring> calls;
    TSubscriber a{L"a", &calls}, b{L"b", &calls}, c{L"c", &calls};
    io->NotifyAdd(a.Callback());
    io->NotifyAdd(b.Callback()); // same method, other object: a second entry
    io->NotifyAdd(a.Callback()); // already there
    io->NotifyAdd(c.Callback());
    io->DoNotify(3);
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"a 3", L"b 3", L"c 3"}));
    calls.clear();
    io->NotifyDelete(b.Callback()); // removes only b's own entry
    io->DoNotify(1);
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"a 1", L"c 1"}));
}

TEST_F(BaseIO, NotifyListSurvivesChangesDuringCall) {
    std::vector<std::wstring> calls;
    TSubscriber a{L"a", &calls, io}, b{L"b", &calls, io}, c{L"c", &calls, io}, d{L"d", &calls, io};
    a.RemoveOther = &b; // a removes a later entry: it is not called
    a.AddOther = &d;    // and adds one: not called in this pass
    c.RemoveOther = &c; // c removes itself
    io->NotifyAdd(a.Callback());
    io->NotifyAdd(b.Callback());
    io->NotifyAdd(c.Callback());
    EXPECT_NO_THROW(io->DoNotify(2));
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"a 2", L"c 2"}));
    calls.clear();
    a.RemoveOther = nullptr;
    a.AddOther = nullptr;
    io->DoNotify(3);
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"a 3", L"d 3"}));
}

// ---- Links and removal

class TTestProcessor : public TkvCustomDataProcessor {
public:
    using TkvCustomDataProcessor::sLogPrefix;
    using TkvCustomDataProcessor::TkvCustomDataProcessor;
    std::vector<std::wstring>* Calls = nullptr;
    bool KeepOutOfTerminal = false;
    std::atomic<int> Completions{0};
    std::atomic<DWORD> CompletedOn{0};
    void DoProcessing(std::uint8_t* data, std::uint32_t len, TIgnoreTypes& r) override {
        if (Calls)
            Calls->push_back(GetName() + L" " +
                             AnsiToString(std::string(reinterpret_cast<char*>(data), len)));
        if (KeepOutOfTerminal)
            r.Include(itTerminal);
        TkvCustomDataProcessor::DoProcessing(data, len, r);
    }
    void DeviceNotify(TObject* Sender, std::int32_t Code) override {
        if (Calls)
            Calls->push_back(GetName() + L" notified " + IntToStr(Code));
        TkvCustomDataProcessor::DeviceNotify(Sender, Code);
    }
    void DoAfterSendComplete(bool& flIgnore) override {
        ++Completions;
        CompletedOn = GetCurrentThreadId();
        flIgnore = true;
    }
};

TEST_F(BaseIO, RemovingLinkedComponentsClearsTheLinks) {
    auto* processor = new TTestProcessor(form);
    io->SetLog(form->Log);
    io->SetDataProcessor(processor);
    io->SetTerminal(form->Memo);
    std::vector<std::wstring> calls;
    processor->Calls = &calls;
    io->DoNotify(1);
    ASSERT_EQ(calls.size(), 1u);
    delete processor;
    EXPECT_EQ(io->GetDataProcessor(), nullptr);
    io->DoNotify(1); // nothing subscribed any more
    io->DoNotify(2);
    EXPECT_EQ(calls.size(), 1u);
    delete form->Log;
    form->Log = nullptr;
    EXPECT_EQ(io->GetLog(), nullptr);
    delete form->Memo;
    form->Memo = nullptr;
    EXPECT_EQ(io->GetTerminal(), nullptr);
    // Later traffic touches none of them.
    io->SetOnReceived(TOnReceived::Bind<&TEvents::Received>(&events));
    io->SetActive(true);
    io->Receive("ping");
    EXPECT_TRUE(PumpUntil([&] { return events.Get().size() == 2; }));
    EXPECT_EQ(io->AfterSendComplete(), false);
}

// ---- Receive dispatch

// A log, a processor and a terminal that write into one journal, to show the order of
// the dispatch steps.
class TJournalLog : public TRecordingLog {
public:
    TJournalLog(TComponent* owner, TEvents& journal) : TRecordingLog(owner), fJournal(journal) {}
    void AddLog(TDetailLevel l, const String& s) override {
        fJournal.Add(L"log " + s);
        TRecordingLog::AddLog(l, s);
    }

private:
    TEvents& fJournal;
};

class TJournalProcessor : public TkvCustomDataProcessor {
public:
    TJournalProcessor(TComponent* owner, TEvents& journal)
        : TkvCustomDataProcessor(owner), fJournal(journal) {}
    bool KeepOutOfTerminal = false;
    void DoProcessing(std::uint8_t* data, std::uint32_t len, TIgnoreTypes& r) override {
        fJournal.Add(L"processor " + AnsiToString(std::string(reinterpret_cast<char*>(data), len)));
        if (KeepOutOfTerminal)
            r.Include(itTerminal);
    }

private:
    TEvents& fJournal;
};

// Records what goes into the terminal, and on which thread.
struct TTerminalSpy {
    TWndMethod Saved;
    std::wstring Inserted;
    bool OffMainThread = false;
    void Proc(TMessage& m) {
        if (m.Msg == EM_REPLACESEL) {
            Inserted += reinterpret_cast<const wchar_t*>(m.LParam);
            OffMainThread |= !IsMainThread();
        }
        Saved(m);
    }
};

TEST_F(BaseIO, DispatchRunsLogProcessorEventOnTheReaderAndTheMainThreadWritesTheTerminal) {
    TEvents journal;
    auto* log = new TJournalLog(form, journal);
    auto* processor = new TJournalProcessor(form, journal);
    io->SetLog(log);
    io->SetDataProcessor(processor);
    io->SetTerminal(form->Memo);
    io->SetTerminalUsage(tuBoth);
    TTerminalSpy spy;
    spy.Saved = form->Memo->GetWindowProc();
    form->Memo->SetWindowProc(TWndMethod::Bind<&TTerminalSpy::Proc>(&spy));
    io->SetOnReceived(TOnReceived::Bind<&TEvents::Received>(&journal));
    io->SetActive(true);
    io->Receive(std::string("AB\0CD", 5));
    ASSERT_TRUE(PumpUntil([&] { return journal.Get().size() == 3 && spy.Inserted == L"ABCD"; }));
    const std::wstring block(L"AB\0CD", 5);
    EXPECT_EQ(journal.Get(),
              (std::vector<std::wstring>{L"log TTestTransportInput data length: 5",
                                         L"processor " + block, L"received " + block}));
    EXPECT_NE(journal.LastThread, GetCurrentThreadId()); // on the reader thread
    EXPECT_FALSE(spy.OffMainThread);
    EXPECT_EQ(form->Memo->GetText(), L"ABCD");
    EXPECT_EQ(log->Lines().back().Level, dlDebug);

    // A processor can keep a block out of the terminal; the event still sees it.
    processor->KeepOutOfTerminal = true;
    io->Receive("EF");
    ASSERT_TRUE(PumpUntil([&] { return journal.Get().size() == 6; }));
    EXPECT_EQ(journal.Get().back(), L"received EF");
    io->FlushTerminal();
    EXPECT_EQ(form->Memo->GetText(), L"ABCD");
    form->Memo->SetWindowProc(spy.Saved);
}

TEST_F(BaseIO, UseMainThreadDispatchesOnTheMainThreadAndReturnsErrorsToTheReader) {
    io->SetUseMainThread(true);
    io->SetOnReceived(TOnReceived::Bind<&TEvents::Received>(&events));
    io->SetActive(true);
    io->Receive("x");
    ASSERT_TRUE(PumpUntil([&] { return events.Get().size() == 2; }));
    EXPECT_EQ(events.LastThread, GetCurrentThreadId());
    // On the main thread itself there is no hop.
    char local[] = "direct";
    io->DoDataReceived(local, 6);
    EXPECT_EQ(events.Get().back(), L"received direct");
    // An exception in the main-thread dispatch travels back and ends the reader's loop,
    // which closes the medium.
    events.ThrowInReceived = true;
    io->Receive("boom");
    // The handle goes first, OnClose follows.
    EXPECT_TRUE(PumpUntil([&] { return !io->IsOpened() && events.Get().back() == L"close"; }));
}

TEST_F(BaseIO, NoReceiversLeavesInputUnread) {
    EXPECT_FALSE(io->HasReceivers());
    io->SetActive(true);
    io->Receive("pending");
    PumpFor(100);
    u_long pending = 0;
    ioctlsocket(static_cast<SOCKET>(io->fHandle.load()), FIONREAD, &pending);
    EXPECT_EQ(pending, 7u);
    io->SetOnReceived(TOnReceived::Bind<&TEvents::Received>(&events));
    EXPECT_TRUE(PumpUntil([&] { return events.Get().size() == 2; }));
    EXPECT_EQ(events.Get()[1], L"received pending");
}

TEST_F(BaseIO, StopThreadIOAfterTheReaderEndedDoesNotWait) {
    io->SetActive(true);
    closesocket(io->Far); // the far end goes: the reader ends and closes by itself
    io->Far = INVALID_SOCKET;
    ASSERT_TRUE(PumpUntil([&] { return !io->IsOpened(); }));
    EXPECT_TRUE(io->IsThreadIOTerminated());
    io->StopThreadIO();  // returns at once
    io->SetActive(true); // a new reader for the next connection
    EXPECT_TRUE(io->IsOpened());
}

// ---- Terminal binding

TEST_F(BaseIO, TerminalUsageAndEcho) {
    struct TCase {
        TTerminalUsage Usage;
        bool Echo;
        bool Sends;
        bool Shows;          // a received block
        const wchar_t* Memo; // after typing "k" and receiving "RX"
    };
    const TCase cases[] = {
        {tuNone, false, false, false, L"k"}, {tuSend, false, true, false, L""},
        {tuSend, true, true, false, L"k"},   {tuReceive, false, false, true, L"kRX"},
        {tuBoth, false, true, true, L"RX"},  {tuBoth, true, true, true, L"kRX"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Usage) * 2 + c.Echo);
        form->Memo->SetText(L"");
        io->Sent.clear();
        io->SetTerminal(form->Memo);
        io->SetTerminalUsage(c.Usage);
        io->SetTerminalEcho(c.Echo);
        HWND w = form->Memo->GetHandle();
        SendMessageW(w, WM_CHAR, L'k', 1);
        EXPECT_EQ(io->Sent, c.Sends ? L"k" : L"");
        EXPECT_EQ(io->hTerminal.load(), c.Shows ? w : nullptr);
        const std::uint8_t rx[] = {'R', 'X'};
        io->TerminalWrite(rx, 2);
        EXPECT_EQ(form->Memo->GetText(), c.Memo);
    }
}

TEST_F(BaseIO, TerminalWriteShowsBytesAsTheirCodeUnits) {
    io->SetTerminal(form->Memo);
    io->SetTerminalUsage(tuBoth);
    struct TCase {
        std::vector<std::uint8_t> Bytes;
        const wchar_t* Shown;
    };
    const TCase cases[] = {
        {{'A', 'B', 0, 'C', 'D'}, L"ABCD"}, {{0, 'x', 0, 0, 'y'}, L"xy"},
        {{'e', 'n', 'd', 0}, L"end"},       {{0xE9}, L"\u00E9"},
        {{'a', 0xE9, 'b'}, L"a\u00E9b"},    {{}, L""},
    };
    for (const auto& c : cases) {
        form->Memo->SetText(L"");
        io->Sent.clear();
        io->TerminalWrite(c.Bytes.data(), static_cast<std::int32_t>(c.Bytes.size()));
        EXPECT_EQ(form->Memo->GetText(), c.Shown);
        EXPECT_EQ(io->Sent, L""); // a received single byte goes in as WM_CHAR, not back out
    }
    // A received backspace deletes the character before the caret, like a typed one.
    form->Memo->SetText(L"");
    const std::uint8_t ab[] = {'a', 'b'};
    io->TerminalWrite(ab, 2);
    const std::uint8_t backspace[] = {8};
    io->TerminalWrite(backspace, 1);
    EXPECT_EQ(form->Memo->GetText(), L"a");
}

TEST_F(BaseIO, ReceivedBlocksShowAsTheirShapeSaysInBothDispatchModes) {
    // Each block is received alone: the next goes out once OnReceived has seen this one.
    struct TCase {
        const char* Name;
        std::vector<std::string> Blocks;
        std::uint32_t Keep; // 0: the default
        const wchar_t* Shown;
        const wchar_t* Before = L"ab"; // the caret at its end
    };
    const std::string longer(40, 'x');
    const TCase cases[] = {
        {"one byte", {"C"}, 0, L"abC"},
        {"a backspace deletes", {"\b"}, 0, L"a"},
        {"a backspace within text is text", {std::string("\0\b", 2)}, 0, L"ab\b"},
        {"one character of text", {std::string("\0Z", 2)}, 0, L"abZ"},
        {"runs with zeros", {std::string("AB\0CD\0\0E\0", 9)}, 0, L"abABCDE"},
        {"only zeros", {std::string("\0\0\0", 3)}, 0, L"ab"},
        {"keys and text in turn", {"cd", "\b", "\b", "e", "fg"}, 0, L"abefg"},
        {"a byte above 0x7F", {"\xE9", "\xE9-"}, 0, L"ab\u00E9\u00E9-"},
        // Bound to 16 characters: the terminal is cut once it holds 20.
        {"a block longer than the bound", {"0123" + longer + "wxyz"}, 16, L"abxxxxxxxxxxxxwxyz"},
        {"blocks longer together than the bound",
         {"0123456789", "abcdefghij", "ABCDEFGHIJ"},
         16,
         L"efghijABCDEFGHIJ",
         L""},
    };
    io->SetOnReceived(TOnReceived::Bind<&TEvents::Received>(&events));
    io->SetTerminalUsage(tuBoth);
    for (bool mainThread : {false, true})
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (mainThread ? ", UseMainThread" : ", reader"));
            io->SetUseMainThread(mainThread);
            io->SetTerminal(form->Memo);
            io->SetTerminalKeep(c.Keep ? c.Keep : kvTerminalKeep);
            form->Memo->SetText(c.Before);
            const auto end = static_cast<WPARAM>(form->Memo->GetText().size());
            SendMessageW(form->Memo->GetHandle(), EM_SETSEL, end, end);
            io->Sent.clear();
            io->SetActive(true);
            const size_t before = events.Get().size();
            for (size_t i = 0; i < c.Blocks.size(); ++i) {
                io->Receive(c.Blocks[i]);
                ASSERT_TRUE(PumpUntil([&] { return events.Get().size() == before + i + 1; }));
            }
            EXPECT_TRUE(PumpUntil([&] { return form->Memo->GetText() == c.Shown; }))
                << form->Memo->GetText();
            EXPECT_EQ(io->Sent, L""); // received keys do not go back
            io->SetActive(false);
        }
}

TEST_F(BaseIO, TerminalKeepsTheLatestTextWithinItsBound) {
    io->SetTerminal(form->Memo);
    io->SetTerminalUsage(tuBoth);
    HWND memo = form->Memo->GetHandle();
    auto line = [](int n) {
        char text[32];
        std::snprintf(text, sizeof text, "line %06d\r\n", n); // 13 bytes
        return std::string(text);
    };
    auto write = [&](const std::string& bytes) {
        io->TerminalWrite(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                          static_cast<std::int32_t>(bytes.size()));
    };

    // Of one block longer than the bound, only its last part goes in.
    form->Memo->SetText(L"");
    std::string block;
    for (int n = 0; block.size() < kvTerminalKeep + 1000; ++n)
        block += line(n);
    write(block);
    String shown = form->Memo->GetText();
    EXPECT_EQ(shown.size(), kvTerminalKeep);
    EXPECT_EQ(shown, String(block.end() - kvTerminalKeep, block.end()));

    // Many small blocks: the oldest lines go, whole, and the caret stays after the newest.
    form->Memo->SetText(L"");
    std::string all;
    for (int n = 0; all.size() < 3 * kvTerminalKeep; ++n) {
        all += line(n);
        write(line(n));
    }
    shown = form->Memo->GetText();
    EXPECT_LE(shown.size(), kvTerminalKeep + kvTerminalKeep / 2);
    EXPECT_GE(shown.size(), kvTerminalKeep);
    EXPECT_TRUE(String(all.begin(), all.end()).ends_with(shown));
    EXPECT_EQ(shown.rfind(L"line ", 0), 0u) << "cut at a line start";
    DWORD caret = 0;
    SendMessageW(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&caret), 0);
    EXPECT_EQ(caret, shown.size());
}

TEST_F(BaseIO, TheTrimLeavesACaretInsideTheTextAndTheViewOnTheirText) {
    // The user has put the caret into older text and scrolled a little: received text
    // goes in at the caret, and the trim that follows keeps the caret after it and the
    // same text in view.
    io->SetTerminal(form->Memo);
    io->SetTerminalUsage(tuReceive);
    io->SetTerminalKeep(1000);
    HWND memo = form->Memo->GetHandle();
    std::string lines;
    for (int n = 0; n < 200; ++n) {
        char text[32];
        std::snprintf(text, sizeof text, "line %06d\r\n", n); // 13 bytes
        lines += text;
    }
    form->Memo->SetText(String(lines.begin(), lines.end()));
    const auto caret = static_cast<WPARAM>(190 * 13);
    SendMessageW(memo, EM_SETSEL, caret, caret);
    SendMessageW(memo, EM_LINESCROLL, 0, 186 - SendMessageW(memo, EM_GETFIRSTVISIBLELINE, 0, 0));
    auto firstShown = [&] {
        const LRESULT at =
            SendMessageW(memo, EM_LINEINDEX, SendMessageW(memo, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
        return form->Memo->GetText().substr(static_cast<size_t>(at), 11);
    };
    ASSERT_EQ(firstShown(), L"line 000186");
    const std::string block(300, 'r'); // enough to look at the length
    io->TerminalWrite(reinterpret_cast<const std::uint8_t*>(block.data()),
                      static_cast<std::int32_t>(block.size()));
    const String shown = form->Memo->GetText();
    ASSERT_LT(shown.size(), lines.size()) << "trimmed";
    DWORD start = 0, end = 0;
    SendMessageW(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, end);
    EXPECT_TRUE(shown.substr(0, start).ends_with(L"line 000189\r\n" + String(300, L'r')));
    EXPECT_EQ(firstShown(), L"line 000186");
}

TEST_F(BaseIO, RelinkingTheSameTerminalLeavesOneInterceptionAndUnlinkingRestores) {
    TWndMethod own = form->Memo->GetWindowProc();
    io->SetTerminalUsage(tuBoth);
    io->SetTerminal(form->Memo);
    io->SetTerminal(form->Memo);
    HWND w = form->Memo->GetHandle();
    SendMessageW(w, WM_CHAR, L'z', 1);
    EXPECT_EQ(io->Sent, L"z"); // once
    io->SetTerminal(nullptr);
    EXPECT_EQ(form->Memo->GetWindowProc(), own);
    SendMessageW(w, WM_CHAR, L'q', 1);
    EXPECT_EQ(io->Sent, L"z");
    EXPECT_EQ(form->Memo->GetText(), L"q");
    // Destroying the component puts the terminal's own procedure back as well.
    io->SetTerminal(form->Memo);
    delete io;
    form->Io = nullptr;
    EXPECT_EQ(form->Memo->GetWindowProc(), own);
}

TEST_F(BaseIO, LinkingInTheDesignStateSwitchesTerminalUsageOn) {
    io->SetTerminal(form->Memo);
    EXPECT_EQ(io->GetTerminalUsage(), tuNone); // at run time it stays
    io->SetTerminal(nullptr);
    io->SetDesigning(true);
    io->SetTerminal(form->Memo);
    EXPECT_EQ(io->GetTerminalUsage(), tuBoth);
}

// ---- Data processor

TEST_F(BaseIO, ProcessorLinksChainsAndRefusesCycles) {
    std::vector<std::wstring> calls;
    auto* a = new TTestProcessor(form);
    auto* b = new TTestProcessor(form);
    auto* c = new TTestProcessor(form);
    a->SetName(L"A");
    b->SetName(L"B");
    c->SetName(L"C");
    for (auto* p : {a, b, c})
        p->Calls = &calls;
    EXPECT_FALSE(a->GetActive());
    io->SetDataProcessor(a);
    EXPECT_EQ(a->GetDevice(), io);
    a->SetDataProcessor(b);
    EXPECT_EQ(b->GetDevice(), io); // the chained one works for the same component
    b->SetDataProcessor(c);
    c->SetDataProcessor(a); // would lead back: refused
    EXPECT_EQ(c->GetDataProcessor(), nullptr);
    a->SetDataProcessor(a);
    EXPECT_EQ(a->GetDataProcessor(), b);

    std::uint8_t data[] = {'h', 'i'};
    a->DataReceive(data, 2);
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"A hi", L"B hi", L"C hi"}));

    // Subscriptions: each linked processor once; an unlinked one not at all.
    std::vector<std::wstring> notes;
    io->SetLog(form->Log);
    a->SetLog(form->Log);
    a->sLogPrefix = L"A: ";
    io->DoNotify(2);
    io->DoNotify(1);
    io->DoNotify(3);
    auto lines = form->Log->Lines();
    EXPECT_EQ(lines, (std::vector<TLogLine>{{dlDebug, L"A: Medium Opened"},
                                            {dlDebug, L"A: Medium Closed"}}));
    // Chaining to an unlinked processor unlinks the chained one.
    auto* lone = new TTestProcessor(form);
    lone->SetDataProcessor(c);
    EXPECT_EQ(c->GetDevice(), nullptr);
    // Relinking moves the subscription.
    auto* other = new TTestTransport(form);
    a->SetDevice(other);
    a->SetDevice(other);
    io->DoNotify(2);
    other->DoNotify(2);
    EXPECT_EQ(form->Log->Lines().size(), 3u);
}

TEST_F(BaseIO, RemovingTheDeviceClearsTheProcessorsLink) {
    auto* p = new TTestProcessor(form);
    p->SetLog(form->Log);
    p->SetDevice(io);
    delete io;
    form->Io = nullptr;
    EXPECT_EQ(p->GetDevice(), nullptr);
    EXPECT_TRUE(form->Log->Lines().empty()); // no "Medium Closed"
}

TEST_F(BaseIO, DataSendPathsAndTakeOver) {
    auto* p = new TTestProcessor(form);
    p->SetLog(form->Log);
    std::uint8_t five[] = {1, 2, 3, 4, 5};
    p->DoDataSend(five, 5); // no device: nothing sent, nothing logged
    io->SetDataProcessor(p);
    p->DoDataSend(five, 0);
    p->DoDataSend(nullptr, 5);
    EXPECT_TRUE(form->Log->Lines().empty());
    EXPECT_EQ(p->AsyncTimer().GetInterval(), 1000u);
    EXPECT_FALSE(p->AsyncTimer().GetEnabled());

    p->DoDataSend(five, 5);
    EXPECT_EQ(io->Sent, std::wstring(L"\x01\x02\x03\x04\x05"));
    EXPECT_EQ(form->Log->Lines(), (std::vector<TLogLine>{{dlDebug, L"DoDataSend: 5 bytes"}}));

    struct THandler {
        int Calls = 0;
        bool Synchro = false;
        std::uint32_t Len = 0;
        bool Throw = false;
        void OnSend(TObject*, std::uint8_t*, std::uint32_t len, bool synchro, bool& handled) {
            ++Calls;
            Len = len;
            Synchro = synchro;
            if (Throw)
                throw Exception(L"from OnDataSend");
            handled = true;
        }
    } handler;
    p->SetOnDataSend(TDataSendEvent::Bind<&THandler::OnSend>(&handler));
    io->Sent.clear();
    p->SetAsyncTimer(100);
    p->SetAsyncTimer(0); // stops; the interval stays
    EXPECT_EQ(p->AsyncTimer().GetInterval(), 100u);
    EXPECT_FALSE(p->AsyncTimer().GetEnabled());
    // A burst of taken-over sends, each within the interval after the one before: each
    // restarts the countdown, so one completion follows the last.
    p->SetAsyncTimer(300);
    p->SetAsyncTimer(0);
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            PumpFor(150);
        p->DoDataSend(five, 5);
    }
    EXPECT_EQ(io->Sent, L"");
    EXPECT_EQ(form->Log->Lines().size(), 4u); // the line is written for taken-over sends too
    ASSERT_TRUE(PumpUntil([&] { return p->Completions == 1; }));
    EXPECT_EQ(p->CompletedOn, GetCurrentThreadId());
    PumpFor(400);
    EXPECT_EQ(p->Completions, 1);
    p->SetAsyncTimer(50);
    EXPECT_TRUE(PumpUntil([&] { return p->Completions == 2; }));

    // A handler that throws: nothing sent, nothing logged, nothing escapes.
    handler.Throw = true;
    EXPECT_NO_THROW(p->DoDataSend(five, 5));
    EXPECT_EQ(form->Log->Lines().size(), 4u);

    // The string path: flSynchro true, no timer and no log line.
    handler.Throw = false;
    handler.Calls = 0;
    p->DoStringSend("");
    EXPECT_EQ(handler.Calls, 0);
    p->DoStringSend("AT\r");
    EXPECT_EQ(handler.Calls, 1);
    EXPECT_EQ(handler.Len, 3u);
    EXPECT_TRUE(handler.Synchro);
    EXPECT_EQ(io->Sent, L"");
    p->SetOnDataSend(nullptr);
    p->DoStringSend("AT\r");
    EXPECT_EQ(io->Sent, L"AT\r");
    EXPECT_EQ(form->Log->Lines().size(), 4u);
    EXPECT_TRUE(io->AfterSendComplete()); // the processor's answer
}

TEST_F(BaseIO, ProcessorFatalErrors) {
    auto* p = new TTestProcessor(form);
    p->SetLog(form->Log);
    try {
        p->DoFatalErrors(5, 7, L"broken");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), L"broken");
    }
    events.ClearRaise = true;
    p->SetOnFatalError(TOnFatalErrorEvent::Bind<&TEvents::Fatal>(&events));
    EXPECT_NO_THROW(p->DoFatalErrors(5, 7, L"cleared"));
    EXPECT_EQ(form->Log->Lines(),
              (std::vector<TLogLine>{{dlSimple, L"Fatal Error: 5, 7, broken"},
                                     {dlSimple, L"Fatal Error: 5, 7, cleared"}}));
}

// ---- Timer

struct TTicks {
    std::atomic<int> Count{0};
    TkvTimer* Timer = nullptr;
    bool DisableInCallback = false;
    bool Throw = false;
    void Tick(TObject*) {
        ++Count;
        if (DisableInCallback)
            Timer->SetEnabled(false);
        if (Throw)
            throw Exception(L"from OnTimer");
    }
    TNotifyEvent Callback() { return TNotifyEvent::Bind<&TTicks::Tick>(this); }
};

TEST(Timer, TicksStopsAndRestarts) {
    TTicks ticks;
    auto* timer = new TkvTimer;
    ticks.Timer = timer;
    EXPECT_TRUE(timer->GetEnabled());
    EXPECT_EQ(timer->GetInterval(), 1000u);
    timer->SetInterval(20);
    PumpFor(100);
    EXPECT_EQ(ticks.Count, 0); // no callback: no timer
    timer->SetOnTimer(ticks.Callback());
    ASSERT_TRUE(PumpUntil([&] { return ticks.Count >= 3; }));

    timer->SetInterval(0);
    int stopped = ticks.Count;
    PumpFor(150);
    EXPECT_EQ(ticks.Count, stopped);
    timer->SetInterval(20);
    ASSERT_TRUE(PumpUntil([&] { return ticks.Count >= stopped + 2; }));

    timer->SetOnTimer(nullptr);
    stopped = ticks.Count;
    PumpFor(150);
    EXPECT_EQ(ticks.Count, stopped);

    // Writing OnTimer, even the same callback, starts the countdown again.
    timer->SetInterval(300);
    timer->SetOnTimer(ticks.Callback());
    PumpFor(200);
    timer->SetOnTimer(ticks.Callback());
    PumpFor(200); // 400 ms since the first start: it would have ticked without the restart
    EXPECT_EQ(ticks.Count, stopped);
    EXPECT_TRUE(PumpUntil([&] { return ticks.Count == stopped + 1; }));
    // Writing the same Interval does not: the next tick comes 300 ms after the last.
    PumpFor(150);
    timer->SetInterval(300);
    PumpFor(250);
    EXPECT_EQ(ticks.Count, stopped + 2);
    timer->SetInterval(20);

    // Disabled inside its callback: one call per start.
    ticks.Count = 0;
    ticks.DisableInCallback = true;
    timer->SetOnTimer(ticks.Callback());
    PumpFor(200);
    EXPECT_EQ(ticks.Count, 1);
    timer->SetEnabled(true);
    PumpFor(200);
    EXPECT_EQ(ticks.Count, 2);

    // A throwing callback keeps being called.
    ticks.DisableInCallback = false;
    ticks.Throw = true;
    ticks.Count = 0;
    timer->SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return ticks.Count >= 3; }));

    // Destroyed while running: no more calls.
    delete timer;
    stopped = ticks.Count;
    PumpFor(150);
    EXPECT_EQ(ticks.Count, stopped);
}

// ---- System helpers

TEST(SysUtils, KvWin32RegistersItsTwoMessagesOnce) {
    KvWin32Startup();
    UINT com = KvLinkMsgComEvent();
    EXPECT_EQ(com, RegisterWindowMessageW(L"kvLinkMsgComEvent"));
    EXPECT_EQ(KvLinkMsgQuitComEvent(), RegisterWindowMessageW(L"kvLinkMsgQuitComEvent"));
    EXPECT_GE(com, 0xC000u);
    KvWin32Startup();
    EXPECT_EQ(KvLinkMsgComEvent(), com);
}

TEST(SysUtils, GuidToString) {
    const GUID serialPort = {
        0x00001101, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
    EXPECT_EQ(GuidToString(serialPort), L"{00001101-0000-1000-8000-00805F9B34FB}");
    EXPECT_EQ(GuidToString(GUID{}), L"{00000000-0000-0000-0000-000000000000}");
    const GUID mixed = {
        0xABCDEF01, 0xA1B2, 0xC3D4, {0xE5, 0xF6, 0x07, 0x18, 0x29, 0x3A, 0x4B, 0x5C}};
    EXPECT_EQ(GuidToString(mixed), L"{ABCDEF01-A1B2-C3D4-E5F6-0718293A4B5C}");
}

} // namespace

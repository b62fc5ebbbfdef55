// The installed kvterm.exe, run as a script runs it: its standard input a file or a pipe,
// its standard output and standard error files of their own, against simulated worlds
// whose services are built-in peers (in kvterm's own process) or peers of this test on
// loopback (external). The console mode is tested in console_test.sh.
#include "sim/sim_peer_server.h"
#include "toolkit/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const String kKvterm = L"" KV_KVTERM;

String TempPath(const String& Name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return String(folder) + L"kvterm_test_" + Name;
}

std::string LoadFile(const String& Path) {
    std::ifstream in(std::filesystem::path(Path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void SaveFile(const String& Path, const std::string& Bytes) {
    std::ofstream(std::filesystem::path(Path), std::ios::binary) << Bytes;
}

template <class F> bool WaitUntil(F Condition, DWORD TimeoutMs = 20000) {
    const ULONGLONG start = GetTickCount64();
    while (!Condition()) {
        if (GetTickCount64() - start > TimeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

// One run of kvterm.exe. Standard input is a file holding Input, or with a pipe one that
// the test writes and closes; standard output and standard error go to files, or
// standard output to a pipe whose reader has gone.
class TKvterm {
public:
    enum TOutput { toFile, toClosedPipe };
    TKvterm(const std::vector<String>& Arguments, const std::string& Input = {}, bool Pipe = false,
            TOutput Output = toFile) {
        static int runs = 0;
        const String name = IntToStr(++runs);
        fOut = TempPath(name + L".out");
        fErr = TempPath(name + L".err");
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE in;
        if (Pipe) {
            if (!CreatePipe(&in, &fInput, &inherit, 0))
                throw std::runtime_error("no pipe");
            SetHandleInformation(fInput, HANDLE_FLAG_INHERIT, 0);
        } else {
            fIn = TempPath(name + L".in");
            SaveFile(fIn, Input);
            in = CreateFileW(fIn.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0,
                             nullptr);
        }
        auto output = [&](const String& path) {
            return CreateFileW(path.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               CREATE_ALWAYS, 0, nullptr);
        };
        HANDLE out, err = output(fErr);
        if (Output == toClosedPipe) {
            HANDLE reader;
            if (!CreatePipe(&reader, &out, &inherit, 0))
                throw std::runtime_error("no pipe");
            CloseHandle(reader);
        } else {
            out = output(fOut);
        }
        String commandLine = L"\"" + kKvterm + L"\"";
        for (const String& a : Arguments)
            commandLine += L" \"" + a + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION process{};
        const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                            nullptr, nullptr, &startup, &process);
        CloseHandle(in);
        CloseHandle(out);
        CloseHandle(err);
        if (!started)
            throw std::runtime_error("cannot start " + StringToUtf8(commandLine));
        CloseHandle(process.hThread);
        fProcess = process.hProcess;
    }
    ~TKvterm() {
        if (WaitForSingleObject(fProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(fProcess, 255);
            WaitForSingleObject(fProcess, 10000);
        }
        CloseHandle(fProcess);
        CloseInput();
        for (const String& file : {fIn, fOut, fErr})
            if (!file.empty())
                DeleteFileW(file.c_str());
    }
    TKvterm(const TKvterm&) = delete;
    TKvterm& operator=(const TKvterm&) = delete;

    void Type(const std::string& Bytes) {
        DWORD written = 0;
        WriteFile(fInput, Bytes.data(), static_cast<DWORD>(Bytes.size()), &written, nullptr);
    }
    void CloseInput() {
        if (fInput)
            CloseHandle(fInput);
        fInput = nullptr;
    }
    // The exit code, or STILL_ACTIVE when kvterm has not ended in time.
    DWORD Wait(DWORD TimeoutMs = 20000) const {
        WaitForSingleObject(fProcess, TimeoutMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(fProcess, &code);
        return code;
    }
    std::string Out() const { return LoadFile(fOut); }
    std::string Err() const { return LoadFile(fErr); }
    bool WaitForErr(const std::string& Text) const {
        return WaitUntil([&] { return Err().find(Text) != std::string::npos; });
    }

private:
    HANDLE fProcess = nullptr;
    HANDLE fInput = nullptr;
    String fIn, fOut, fErr;
};

// A world for kvterm: one radio, and the devices given.
const char kRadio[] = "[radio r]\nname \"First Radio\"\naddress 00:1A:7D:DA:70:01\n";

// A device of the radio with one service.
std::string Device(const std::string& Name, const std::string& Address,
                   const std::string& Service) {
    return "[device " + Address.substr(12, 2) + Address.substr(15, 2) + "]\nname \"" + Name +
           "\"\naddress " + Address + "\nradios r\nremembered yes\nservice " + Service + "\n";
}

const char kEchoBox[] = "00:1A:7D:DA:71:20";

class Kvterm : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    static void TearDownTestSuite() { WSACleanup(); }
    void TearDown() override {
        for (const String& file : fFiles)
            DeleteFileW(file.c_str());
    }

    // A world file, or another file of the test, under a name of its own.
    String File(const std::string& Text) {
        String path = TempPath(IntToStr(fFiles.size()) + L".world");
        SaveFile(path, Text);
        fFiles.push_back(path);
        return path;
    }
    // A world whose "Echo Box" has the one service given.
    String EchoBoxWorld(const std::string& Service) {
        return File(kRadio + Device("Echo Box", kEchoBox, Service));
    }
    // The world of a device whose Serial Port is the peer on loopback.
    String PeerWorld(const kvsim::TPeerServer& Peer) {
        return EchoBoxWorld("class=0x1101 channel=3 name=\"Serial Port\" peer=external port=" +
                            std::to_string(Peer.Port()));
    }

    std::vector<String> fFiles;
};

kvsim::TPeer Peer(kvsim::TPeerKind Kind) {
    kvsim::TPeer p;
    p.Kind = Kind;
    return p;
}

TEST_F(Kvterm, ListsRadiosThenDevicesOnceEachAndAScanFindsMore) {
    const String world = File(R"([world]
inquiry_scale 0.01
[radio r]
name "First Radio"
address 00:1A:7D:DA:70:01
[radio s]
name "Zweites Gerät"
address 00:15:83:0C:BF:EB
[device echo]
name "Echo Box"
address 00:1A:7D:DA:71:20
class 0x001F00
radios r s
remembered yes
connected yes
[device modem]
name "Serial Modem"
address 00:1A:7D:DA:71:13
class 0x001F00
radios r
authenticated yes
remembered yes
[device sensor]
name "Field Sensor"
address 00:1A:7D:DA:71:55
class 0x000900
radios s
inquiry_only yes
)");
    const std::string known =
        "radio\t00:1A:7D:DA:70:01\tFirst Radio\r\n"
        "radio\t00:15:83:0C:BF:EB\tZweites Ger\xC3\xA4t\r\n"
        "device\t00:1A:7D:DA:71:20\tEcho Box\t0x001F00\tremembered,connected\r\n"
        "device\t00:1A:7D:DA:71:13\tSerial Modem\t0x001F00\t"
        "authenticated,remembered\r\n";
    TKvterm list({L"list", L"--world", world});
    EXPECT_EQ(list.Wait(), 0u) << list.Err();
    EXPECT_EQ(list.Out(), known);
    EXPECT_EQ(list.Err(), "");

    TKvterm scan({L"list", L"--scan", L"2", L"--world", world});
    EXPECT_EQ(scan.Wait(), 0u) << scan.Err();
    EXPECT_EQ(scan.Out(), known + "device\t00:1A:7D:DA:71:55\tField Sensor\t0x000900\t-\r\n");
}

TEST_F(Kvterm, DeviceIsNamedByAddressExactNameOrTheOneNameThatBeginsSo) {
    const String world = File(
        kRadio + Device("Echo", "00:1A:7D:DA:71:10", "class=0x1101 channel=2 name=\"Plain\"") +
        "[device box]\nname \"Echo Box\"\naddress 00:1A:7D:DA:71:20\nradios r\nremembered yes\n"
        "service class=0x1105 channel=9 name=\"Push\"\n"
        "service class=0x1101 channel=3 name=\"Echo\"\n"
        "service class=0x1103 channel=1 name=\"Dial-up\"\n" +
        Device("Echo Base", "00:1A:7D:DA:71:30", "class=0x1101 channel=4 name=\"Base\"") +
        Device("Serial Modem", "00:1A:7D:DA:71:13", "class=0x1101 channel=1 name=\"Serial Port\""));
    const std::string box = "Dial-up\t0x1103\t1\r\nEcho\t0x1101\t3\r\nPush\t0x1105\t9\r\n";
    const struct {
        const wchar_t* Device;
        DWORD ExitCode;
        std::string Out;
        std::string Err;
    } cases[] = {
        {L"echo box", 0, box, ""},
        {L"00:1a:7d:da:71:20", 0, box, ""},
        {L"001A7DDA7120", 0, box, ""},
        {L"ECHO", 0, "Plain\t0x1101\t2\r\n", ""}, // the exact name wins over the others
        {L"serial", 0, "Serial Port\t0x1101\t1\r\n", ""},
        {L"echo b", 2, "",
         "kvterm: several devices are named 'echo b'; give more of the name, or the address:\n"
         "  Echo Box (00:1A:7D:DA:71:20)\n"
         "  Echo Base (00:1A:7D:DA:71:30)\n"},
        {L"Nobody", 1, "",
         "kvterm: no device 'Nobody' among those the radios know (kvterm list shows them)\n"},
        {L"00:1A:7D:DA:71:99", 1, "",
         "kvterm: no device '00:1A:7D:DA:71:99' among those the radios know (kvterm list "
         "shows them)\n"},
    };
    for (const auto& c : cases) {
        TKvterm services({L"services", c.Device, L"--world", world});
        EXPECT_EQ(services.Wait(), c.ExitCode) << services.Err();
        EXPECT_EQ(services.Out(), c.Out) << std::wstring(c.Device);
        std::string err = services.Err();
        err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
        EXPECT_EQ(err, c.Err) << std::wstring(c.Device);
    }
}

TEST_F(Kvterm, BinaryFilePipedThroughAnEchoComesBackByteExactAndIdleExitEndsWithZero) {
    std::string data(3 << 20, '\0');
    std::mt19937 random(19);
    for (char& c : data)
        c = static_cast<char>(random());
    TKvterm term({L"connect", L"Echo Box", L"--idle-exit", L"500", L"--world",
                  EchoBoxWorld("class=0x1101 channel=3 name=\"Echo\" peer=echo")},
                 data);
    EXPECT_EQ(term.Wait(60000), 0u) << term.Err();
    const std::string out = term.Out();
    EXPECT_EQ(out.size(), data.size());
    EXPECT_TRUE(out == data) << "the echo differs";
    EXPECT_NE(term.Err().find("kvterm: connected to Echo Box (00:1A:7D:DA:71:20), Echo (0x1101); "
                              "Ctrl+C ends"),
              std::string::npos)
        << term.Err();
    EXPECT_NE(term.Err().find("kvterm: closed"), std::string::npos) << term.Err();
}

TEST_F(Kvterm, EolCrlfTurnsEveryInputLineEndIntoCrLfOnTheWire) {
    kvsim::TPeerServer peer(Peer(kvsim::TPeerKind::Silent));
    TKvterm term({L"connect", L"00:1a:7d:da:71:20", L"--eol", L"crlf", L"--idle-exit", L"300",
                  L"--world", PeerWorld(peer)},
                 "one\ntwo\r\nthree\rfour");
    EXPECT_EQ(term.Wait(), 0u) << term.Err();
    EXPECT_EQ(peer.Received(), "one\r\ntwo\r\nthree\r\nfour");
    EXPECT_EQ(term.Out(), "");
}

TEST_F(Kvterm, HexShowsTheDumpLinesOfAKnownBlock) {
    TKvterm term({L"connect", L"Echo Box", L"--hex", L"--idle-exit", L"500", L"--world",
                  EchoBoxWorld("class=0x1101 channel=3 name=\"Echo\" peer=echo")},
                 std::string("Hello, kvterm!\x00\x01\x7F\xFF\r\n", 20));
    EXPECT_EQ(term.Wait(), 0u) << term.Err();
    EXPECT_EQ(term.Out(),
              "00000000  48 65 6C 6C 6F 2C 20 6B  76 74 65 72 6D 21 00 01  |Hello, kvterm!..|\r\n"
              "00000010  7F FF 0D 0A                                       |....|\r\n");
}

TEST_F(Kvterm, LogAppendsBothDirectionsAndTheConnectionsOwnLines) {
    const String log = File("an earlier line\r\n");
    TKvterm term({L"connect", L"Echo Box", L"--log", log, L"--idle-exit", L"300", L"--world",
                  EchoBoxWorld("class=0x1101 channel=3 name=\"Echo\" peer=echo")},
                 "ping\n");
    EXPECT_EQ(term.Wait(), 0u) << term.Err();
    EXPECT_EQ(term.Out(), "ping\n");

    std::istringstream lines(LoadFile(log));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "an earlier line\r");
    static const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)\r)");
    std::vector<std::string> texts;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
        texts.push_back(m[1]);
    }
    // These, in this order, among the others.
    const std::vector<std::string> expected = {
        "detail kvBT: Opened: Echo Box (00:1A:7D:DA:71:20) {00001101-0000-1000-8000-00805F9B34FB}",
        "detail kvterm: connected to Echo Box (00:1A:7D:DA:71:20), Echo (0x1101); Ctrl+C ends",
        "debug out 00000000  70 69 6E 67 0A                                    |ping.|",
        "debug in  00000000  70 69 6E 67 0A                                    |ping.|",
        "detail kvterm: closed",
    };
    auto at = texts.begin();
    for (const std::string& e : expected) {
        at = std::find(at, texts.end(), e);
        ASSERT_NE(at, texts.end()) << "missing or out of order: " << e;
    }
}

TEST_F(Kvterm, PeerDroppingTheLinkEndsWithThreeUnlessTheInputHadEnded) {
    kvsim::TPeerServer peer(Peer(kvsim::TPeerKind::Echo));
    TKvterm term({L"connect", L"Echo Box", L"--world", PeerWorld(peer)}, {}, true);
    ASSERT_TRUE(term.WaitForErr("connected to")) << term.Err();
    term.Type("abc");
    ASSERT_TRUE(peer.WaitReceived(3, 10000));
    ASSERT_TRUE(WaitUntil([&] { return term.Out() == "abc"; })) << term.Out();
    ASSERT_TRUE(peer.Drop());
    EXPECT_EQ(term.Wait(), 3u) << term.Err();
    EXPECT_NE(term.Err().find("kvterm: the link has ended"), std::string::npos) << term.Err();

    // The input has ended and gone out when the device drops the link: a normal end.
    TKvterm done({L"connect", L"Echo Box", L"--world",
                  EchoBoxWorld("class=0x1101 channel=3 name=\"Echo\" peer=echo drop_after=3")},
                 "bye");
    EXPECT_EQ(done.Wait(), 0u) << done.Err();
    EXPECT_NE(done.Err().find("kvterm: the device has ended the link"), std::string::npos)
        << done.Err();
}

TEST_F(Kvterm, ReconnectConnectsAgainAfterADropAndGoesOn) {
    kvsim::TPeerServer peer(Peer(kvsim::TPeerKind::Echo));
    TKvterm term({L"connect", L"Echo Box", L"--reconnect", L"--idle-exit", L"300", L"--world",
                  PeerWorld(peer)},
                 {}, true);
    ASSERT_TRUE(term.WaitForErr("connected to")) << term.Err();
    term.Type("before\n");
    ASSERT_TRUE(peer.WaitReceived(7, 10000));
    ASSERT_TRUE(peer.Drop());
    ASSERT_TRUE(peer.WaitConnections(2, 10000)) << term.Err();
    term.Type("after\n");
    ASSERT_TRUE(WaitUntil([&] { return peer.Received() == "after\n"; })) << term.Err();
    ASSERT_TRUE(WaitUntil([&] { return term.Out() == "before\nafter\n"; })) << term.Out();
    term.CloseInput();
    EXPECT_EQ(term.Wait(), 0u) << term.Err();
    std::string err = term.Err();
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    const std::string connected =
        "kvterm: connected to Echo Box (00:1A:7D:DA:71:20), Serial Port (0x1101); Ctrl+C ends\n";
    EXPECT_EQ(err, connected +
                       "kvterm: the link has ended; connecting again in 1 s\n"
                       "kvterm: connecting again, attempt 2\n" +
                       connected + "kvterm: closed\n");
}

TEST_F(Kvterm, InputThatADroppedLinkNeverSentIsReportedAlsoWhenConnectingAgain) {
    kvsim::TPeer stalling = Peer(kvsim::TPeerKind::Echo);
    stalling.StallAfter = 1; // the link's buffers fill, and kvterm's send queue behind them
    kvsim::TPeerServer peer(stalling);
    TKvterm term({L"connect", L"Echo Box", L"--reconnect", L"--world", PeerWorld(peer)},
                 std::string(32 << 20, 'x'));
    ASSERT_TRUE(peer.WaitReceived(1, 10000)) << term.Err();
    Sleep(1500);
    ASSERT_TRUE(peer.Drop());
    ASSERT_TRUE(term.WaitForErr("connecting again in 1 s")) << term.Err();
    static const std::regex lost(
        R"(kvterm: the link has ended; [1-9]\d* bytes of the input were not sent; connecting again)");
    EXPECT_TRUE(std::regex_search(term.Err(), lost)) << term.Err();
}

TEST_F(Kvterm, ReconnectTriesAFailedConnectAgainOneTwoFourSecondsApart) {
    TKvterm term({L"connect", L"Echo Box", L"--reconnect", L"--world",
                  EchoBoxWorld("class=0x1101 channel=3 name=\"Refusing\" fail=10061")});
    ASSERT_TRUE(term.WaitForErr("connecting again in 4 s")) << term.Err();
    EXPECT_EQ(term.Wait(0), STILL_ACTIVE); // until stopped
    std::string err = term.Err();
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    const std::string failed =
        "kvterm: could not connect: Connect to selected bluetooth device failed # =1=10061; "
        "connecting again in ";
    EXPECT_EQ(err, failed + "1 s\nkvterm: connecting again, attempt 2\n" + failed +
                       "2 s\nkvterm: connecting again, attempt 3\n" + failed + "4 s\n");
}

TEST_F(Kvterm, OutputThatCannotBeWrittenEndsWithThreeAndTheReason) {
    TKvterm term({L"connect", L"Echo Box", L"--idle-exit", L"5000", L"--world",
                  EchoBoxWorld("class=0x1101 channel=3 name=\"Echo\" peer=echo")},
                 "lost on the way back", false, TKvterm::toClosedPipe);
    EXPECT_EQ(term.Wait(), 3u) << term.Err();
    EXPECT_NE(term.Err().find("kvterm: cannot write to standard output: "), std::string::npos)
        << term.Err();
}

TEST_F(Kvterm, ConnectThatFailsEndsWithOneAndTheLibrarysMessage) {
    const struct {
        std::string Service;
        std::vector<String> Options;
        const char* Says;
    } cases[] = {
        {"class=0x1101 channel=3 name=\"Slow\" peer=silent delay=10000",
         {L"--timeout", L"300"},
         "kvterm: could not connect: Connect to selected bluetooth device failed # =1=10060"},
        {"class=0x1101 channel=3 name=\"Refusing\" fail=10061",
         {},
         "kvterm: could not connect: Connect to selected bluetooth device failed # =1=10061"},
        {"class=0x1101 channel=3 name=\"Echo\"",
         {L"--service", L"Telnet"},
         "kvterm: Echo Box (00:1A:7D:DA:71:20) has no service 'Telnet'; it offers Echo (0x1101)"},
    };
    for (const auto& c : cases) {
        std::vector<String> arguments = {L"connect", L"Echo Box", L"--world",
                                         EchoBoxWorld(c.Service)};
        arguments.insert(arguments.end(), c.Options.begin(), c.Options.end());
        TKvterm term(arguments);
        EXPECT_EQ(term.Wait(), 1u) << term.Err();
        EXPECT_NE(term.Err().find(c.Says), std::string::npos) << term.Err();
    }
}

TEST_F(Kvterm, BadCommandLinesAndFilesEndWithTwoAndTheReason) {
    const struct {
        std::vector<String> Arguments;
        const char* Says;
        bool Usage;
    } cases[] = {
        {{}, "kvterm: no command\r\n\r\nusage: kvterm list", true},
        {{L"connect", L"x", L"--eol", L"nl"}, "kvterm: --eol takes cr, lf or crlf, not 'nl'", true},
        {{L"list", L"--world", File("[radio r]\ncolour red\n")},
         ".world: line 2: unknown setting 'colour'",
         false},
        {{L"connect", L"Echo Box", L"--log", TempPath(L"no\\such\\folder.log"), L"--world",
          EchoBoxWorld("class=0x1101 channel=3")},
         "kvterm: Cannot open the log file",
         false},
    };
    for (const auto& c : cases) {
        TKvterm term(c.Arguments);
        EXPECT_EQ(term.Wait(), 2u) << term.Err();
        EXPECT_NE(term.Err().find(c.Says), std::string::npos) << term.Err();
        EXPECT_EQ(term.Err().find("usage:") != std::string::npos, c.Usage) << term.Err();
    }
    TKvterm help({L"--help"});
    EXPECT_EQ(help.Wait(), 0u);
    EXPECT_EQ(help.Out().rfind("usage: kvterm list", 0), 0u) << help.Out();
}

} // namespace

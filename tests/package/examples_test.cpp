// The two examples, built from the installed package (test package_build), run as a
// user runs them, on worlds that the test writes: kvlist prints the radios and the
// devices they remember; kvconnect connects to a device, named by its name, whose peer
// stands in this test, prints what the peer sends, logs to its file, and ends cleanly
// when the peer drops the link.
#include "demo/driver/program.h"
#include "sim/sim_peer_server.h"
#include "toolkit/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const String kFolder = L"" KV_EXAMPLES_FOLDER;

// A program started with its standard input and output on pipes (standard error goes
// to the output too). A thread of its own collects the output; it shares what it
// collected with the test, so that a read left hanging never holds up the test's end.
class TConsoleProgram {
public:
    TConsoleProgram(const String& Program, const std::vector<String>& Arguments) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE inputRead, outputWrite, outputRead;
        if (!CreatePipe(&inputRead, &fInput, &inherit, 0) ||
            !CreatePipe(&outputRead, &outputWrite, &inherit, 0))
            throw std::runtime_error("no pipe");
        SetHandleInformation(fInput, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
        String commandLine = kvdriver::QuoteArgument(Program);
        for (const String& a : Arguments)
            commandLine += L" " + kvdriver::QuoteArgument(a);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inputRead;
        startup.hStdOutput = outputWrite;
        startup.hStdError = outputWrite;
        PROCESS_INFORMATION process{};
        BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
        CloseHandle(inputRead);
        CloseHandle(outputWrite);
        if (!started) {
            CloseHandle(outputRead);
            throw std::runtime_error("cannot start " + StringToUtf8(commandLine));
        }
        CloseHandle(process.hThread);
        fProcess = process.hProcess;
        std::thread(
            [](HANDLE pipe, std::shared_ptr<TOutput> output) {
                char buffer[512];
                DWORD count = 0;
                while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
                    std::lock_guard<std::mutex> lock(output->Lock);
                    output->Text.append(buffer, count);
                }
                CloseHandle(pipe);
                output->Ended = true;
            },
            outputRead, fOutput)
            .detach();
    }
    ~TConsoleProgram() {
        if (WaitForSingleObject(fProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(fProcess, 255);
            WaitForSingleObject(fProcess, 10000);
        }
        CloseHandle(fProcess);
        CloseHandle(fInput);
    }
    TConsoleProgram(const TConsoleProgram&) = delete;
    TConsoleProgram& operator=(const TConsoleProgram&) = delete;

    // The output so far, its line ends as "\n".
    std::string Output() const {
        std::lock_guard<std::mutex> lock(fOutput->Lock);
        std::string text;
        for (char c : fOutput->Text)
            if (c != '\r')
                text += c;
        return text;
    }
    bool WaitForOutput(const std::string& Text, DWORD TimeoutMs = 20000) const {
        return WaitUntil([&] { return Output().find(Text) != std::string::npos; }, TimeoutMs);
    }
    // The exit code, or STILL_ACTIVE when the program has not ended in time. Once it has
    // ended, what it wrote last is waited for too.
    DWORD WaitForExit(DWORD TimeoutMs = 20000) const {
        WaitForSingleObject(fProcess, TimeoutMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(fProcess, &code);
        if (code != STILL_ACTIVE)
            WaitUntil([&] { return fOutput->Ended.load(); }, TimeoutMs);
        return code;
    }

private:
    struct TOutput {
        std::mutex Lock;
        std::string Text;
        std::atomic<bool> Ended{false}; // the program's end of the pipe has closed
    };
    template <class F> static bool WaitUntil(F Condition, DWORD TimeoutMs) {
        ULONGLONG start = GetTickCount64();
        while (!Condition()) {
            if (GetTickCount64() - start > TimeoutMs)
                return false;
            Sleep(10);
        }
        return true;
    }

    HANDLE fProcess = nullptr;
    HANDLE fInput = nullptr;
    std::shared_ptr<TOutput> fOutput = std::make_shared<TOutput>();
};

class Examples : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    static void TearDownTestSuite() { WSACleanup(); }
    void TearDown() override {
        for (const String& world : fWorlds)
            DeleteFileW(world.c_str());
    }

    // Writes a world file for the programs, under a name of its own.
    String World(const std::string& Text) {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        String path = String(folder) + L"kv_examples_" + IntToStr(fWorlds.size()) + L".world";
        std::ofstream(std::filesystem::path(path), std::ios::binary) << Text;
        fWorlds.push_back(path);
        return path;
    }

    std::vector<String> fWorlds;
};

TEST_F(Examples, ListingPrintsTheRadiosAndTheDevicesTheyKnow) {
    TConsoleProgram list(kFolder + L"kvlist.exe", {World(R"([radio first]
name "First Radio"
address 00:1A:7D:DA:70:01
[radio second]
name "Zweites Gerät"
address 00:15:83:0C:BF:EB
[device modem]
name "Serial Modem"
address 00:1A:7D:DA:71:13
class 0x001F00
radios first
authenticated yes
remembered yes
[device sensor]
name "Field Sensor"
address 00:1A:7D:DA:71:55
class 0x000900
radios second
connected yes
[device stranger]
name "Stranger"
address 00:1A:7D:DA:71:99
radios first second
)")});
    EXPECT_EQ(list.WaitForExit(), 0u) << list.Output();
    EXPECT_EQ(list.Output(), "2 radios\n"
                             "  0  00:1A:7D:DA:70:01  First Radio\n"
                             "  1  00:15:83:0C:BF:EB  Zweites Gerät\n"
                             "2 devices\n"
                             "  0  00:1A:7D:DA:71:13  Serial Modem  (radio 0, class 0x001F00, "
                             "authenticated, remembered)\n"
                             "  1  00:1A:7D:DA:71:55  Field Sensor  (radio 1, class 0x000900, "
                             "connected)\n");
}

TEST_F(Examples, ConnectPrintsWhatArrivesLogsAndEndsWhenThePeerDrops) {
    kvsim::TPeer spec;
    spec.Kind = kvsim::TPeerKind::Silent;
    kvsim::TPeerServer peer(spec);
    DeleteFileW(L"kvconnect.log");
    TConsoleProgram connect(kFolder + L"kvconnect.exe", {L"echo box", World(R"([radio r]
address 00:1A:7D:DA:70:01
[device echo]
name "Echo Box"
address 00:1A:7D:DA:71:20
radios r
remembered yes
service class=0x1101 channel=3 name="Echo" peer=external port=)" + std::to_string(peer.Port()) +
                                                                            "\n")});
    ASSERT_TRUE(connect.WaitForOutput("Connected to Echo Box (00:1A:7D:DA:71:20). Ctrl+C ends.\n"))
        << connect.Output();
    EXPECT_EQ(peer.Connections(), 1);

    ASSERT_TRUE(peer.Send("hello\n"));
    ASSERT_TRUE(connect.WaitForOutput("Ctrl+C ends.\nhello\n")) << connect.Output();
    ASSERT_TRUE(peer.Send("and more\n"));
    ASSERT_TRUE(connect.WaitForOutput("hello\nand more\n")) << connect.Output();

    ASSERT_TRUE(peer.Drop());
    EXPECT_EQ(connect.WaitForExit(), 0u) << connect.Output();
    EXPECT_EQ(connect.Output(), "Connected to Echo Box (00:1A:7D:DA:71:20). Ctrl+C ends.\n"
                                "hello\nand more\n"
                                "The link has ended.\n");
    std::ifstream log("kvconnect.log", std::ios::binary);
    std::string logged((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(logged.find(" detail kvBT: Opened: Echo Box (00:1A:7D:DA:71:20) "), std::string::npos)
        << logged;
}

TEST_F(Examples, BadInputEndsWithAReasonAndACode) {
    const struct {
        const wchar_t* Program;
        std::vector<String> Arguments;
        DWORD ExitCode;
        const char* Says;
    } cases[] = {
        {L"kvconnect.exe", {}, 2, "usage: kvconnect DEVICE [WORLD]"},
        {L"kvconnect.exe",
         {L"00:1A:7D:DA:71:21", World("[radio r]\naddress 00:1A:7D:DA:70:01\n")},
         1,
         "kvconnect: no device is named 00:1A:7D:DA:71:21 (kvlist shows them)"},
        {L"kvlist.exe",
         {World("[radio r]\naddress 00:1A:7D:DA:70:01\ncolour red\n")},
         1,
         "kvlist: line 3: unknown setting 'colour'"},
    };
    for (const auto& c : cases) {
        TConsoleProgram program(kFolder + c.Program, c.Arguments);
        EXPECT_EQ(program.WaitForExit(), c.ExitCode) << program.Output();
        EXPECT_NE(program.Output().find(c.Says), std::string::npos) << program.Output();
    }
}

} // namespace

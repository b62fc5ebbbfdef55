// The demo program end to end, each test from a fresh start, driven through its window
// as a user drives it. The simulated stack runs inside the program on a world that the
// test writes; its modem is a peer in this test process (an external peer of that
// world), so the test sees every byte the program sends and when it closes the link.
#include "demo/session/demo_window.h"
#include "sim/sim_peer_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

using namespace kvdriver;
using namespace kvdemo;

namespace {

const wchar_t kModem[] = L"BT Serial Modem";
const wchar_t kEcho[] = L"Echo Box";

String TempFolder() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

// A text in double quotes as world files write it.
std::string Quoted(const String& Text) {
    std::string quoted = "\"";
    for (char c : StringToUtf8(Text)) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// The lines of a text file, empty when there is none.
std::vector<std::string> FileLines(const String& Path) {
    std::ifstream file{std::filesystem::path(Path)};
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

class Demo : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    static void TearDownTestSuite() { WSACleanup(); }

    void SetUp() override {
        kvsim::TPeer spec;
        spec.Kind = kvsim::TPeerKind::Modem;
        modem = std::make_unique<kvsim::TPeerServer>(spec);
        journal = TempFolder() + L"kvbtdemo_journal.log";
        worldFile = TempFolder() + L"kvbtdemo_test.world";
        DeleteFileW(journal.c_str());
    }
    void TearDown() override {
        if (program && program->Running()) {
            EXPECT_FALSE(program->End().Terminated);
        }
        modem->Stop();
        DeleteFileW(worldFile.c_str());
        DeleteFileW(journal.c_str());
    }

    // Starts the simulated demo on the test's world: one radio, the modem (this test's
    // peer), an echo device, and a stranger that only a search for unknown devices finds;
    // Extra adds to it.
    void Start(const std::string& Extra = "") {
        std::ofstream(std::filesystem::path(worldFile), std::ios::binary)
            << "[world]\n"
               "select pick 00:1A:7D:DA:71:20\n"
               "journal "
            << Quoted(journal)
            << "\n"
               "[radio internal]\n"
               "name \"KV Internal Radio\"\n"
               "address 00:1A:7D:DA:70:01\n"
               "[device modem]\n"
               "name \"BT Serial Modem\"\n"
               "address 00:1A:7D:DA:71:13\n"
               "radios internal\n"
               "authenticated yes\n"
               "remembered yes\n"
               "service class=0x1101 channel=1 name=\"Serial Port\" peer=external port="
            << modem->Port()
            << "\n"
               "[device echo]\n"
               "name \"Echo Box\"\n"
               "address 00:1A:7D:DA:71:20\n"
               "radios internal\n"
               "remembered yes\n"
               "connected yes\n"
               "service class=0x1101 channel=3 name=\"Echo\" peer=echo\n"
               "[device stranger]\n"
               "name \"Stranger\"\n"
               "address 00:1A:7D:DA:71:30\n"
               "radios internal\n"
               "service class=0x1101 channel=2 peer=silent\n"
            << Extra;
        StartProgram(L"kvbtdemo-sim.exe", {worldFile});
    }

    void StartProgram(const String& Name, const std::vector<String>& Arguments = {}) {
        program =
            std::make_unique<TProgram>(ProgramFolder() + L"" KV_DEMO_FOLDER + Name, Arguments);
        demo = std::make_unique<TDemoWindow>(*program);
    }

    // Picks the modem, ticks "Connect", and waits until the modem has answered the AT.
    void ConnectToTheModem() {
        PickComboItem(demo->Devices, kModem);
        Click(demo->Connect);
        WaitForListItem(demo->Log, kConnectedLine);
        WaitForText(demo->Terminal, L"OK");
    }

    // The log list, once everything the program had to do by now has been done: a click
    // goes behind whatever the program has posted to itself, and is undone.
    std::vector<String> SettledLog() {
        Sleep(300); // room for a second disconnect, should one come
        Click(demo->Inquiry);
        Click(demo->Inquiry);
        return demo->Log.ListItems();
    }

    std::unique_ptr<kvsim::TPeerServer> modem;
    std::unique_ptr<TProgram> program;
    std::unique_ptr<TDemoWindow> demo;
    String journal, worldFile;
};

TEST_F(Demo, StartShowsTheStoredLayoutOptionsAndDevicesWithNothingSelected) {
    Start();
    EXPECT_EQ(demo->Form.Text().rfind(kDemoCaption, 0), 0u);
    RECT client;
    GetClientRect(demo->Form.Handle(), &client);
    EXPECT_EQ(client.right, 471);
    EXPECT_EQ(client.bottom, 373);
    EXPECT_EQ(demo->Form.Style() & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);

    // Positions and sizes in the client area of each control's parent.
    TWindow group = demo->Form.FindChild(L"Button", L" Params ");
    const struct {
        TWindow Control;
        TWindow Parent;
        RECT Expected; // left, top, width, height
    } layout[] = {
        {demo->Form.FindChild(L"Static", L"Terminal"), demo->Form, {16, 72, 40, 13}},
        {demo->Form.FindChild(L"Static", L"Log"), demo->Form, {232, 280, 18, 13}},
        {demo->Connect, demo->Form, {16, 16, 97, 17}},
        {demo->Properties, demo->Form, {232, 40, 41, 22}},
        {group, demo->Form, {232, 83, 233, 190}},
        {demo->Authenticated, group, {16, 24, 97, 17}},
        {demo->Inquiry, group, {16, 120, 97, 17}},
        {demo->Update, group, {16, 150, 75, 25}},
        {demo->Select, group, {128, 150, 75, 25}},
        {demo->SkipServices, group, {128, 72, 89, 17}},
        {demo->Terminal, demo->Form, {16, 88, 201, 273}},
        {demo->Log, demo->Form, {232, 296, 233, 65}},
    };
    for (const auto& c : layout) {
        RECT r = c.Control.ScreenRect();
        MapWindowPoints(nullptr, c.Parent.Handle(), reinterpret_cast<POINT*>(&r), 2);
        RECT got{r.left, r.top, r.right - r.left, r.bottom - r.top};
        EXPECT_TRUE(EqualRect(&got, &c.Expected))
            << StringToUtf8(c.Control.Describe()) << " at " << got.left << "," << got.top << " "
            << got.right << "x" << got.bottom;
    }
    EXPECT_EQ(demo->Devices.ScreenRect().left - demo->Form.ScreenRect().left,
              demo->Connect.ScreenRect().left - demo->Form.ScreenRect().left);

    const std::pair<TWindow, bool> ticks[] = {
        {demo->Connect, false},   {demo->Authenticated, false}, {demo->Remembered, true},
        {demo->Unknown, false},   {demo->Connected, true},      {demo->Inquiry, false},
        {demo->ForceAuth, false}, {demo->AddWizard, false},     {demo->SkipServices, false},
    };
    for (const auto& [box, ticked] : ticks)
        EXPECT_EQ(box.Checked(), ticked) << StringToUtf8(box.Describe());
    EXPECT_EQ(demo->Devices.ComboItems(), (std::vector<String>{kModem, kEcho}));
    EXPECT_EQ(demo->Devices.ComboIndex(), -1);
    EXPECT_FALSE(demo->Terminal.Enabled());
    EXPECT_EQ(demo->Terminal.Text(), L"Memo1");
    EXPECT_TRUE(demo->Log.ListItems().empty());
    SaveScreenshot(demo->Form, L"demo_start.png");
}

TEST_F(Demo, ConnectWithoutASelectedDeviceShowsTheErrorAndUnticks) {
    Start();
    Click(demo->Connect);
    TMessageBox box = program->WaitForMessageBox();
    EXPECT_EQ(box.Text(), L"There are no selected bluetooth devices.");
    EXPECT_EQ(demo->Log.ListItems(),
              std::vector<String>{L"BT Error There are no selected bluetooth devices."});
    box.PressOk();
    EXPECT_FALSE(demo->Connect.Checked());
    EXPECT_EQ(modem->Connections(), 0);
}

TEST_F(Demo, ModemSessionSendsATShowsTheAnswerAndSendsTypedKeysWithoutEcho) {
    Start();
    ConnectToTheModem();
    EXPECT_EQ(modem->Received(), "AT\r");
    EXPECT_TRUE(demo->Terminal.Enabled());
    EXPECT_TRUE(demo->Terminal.Focused());
    SaveScreenshot(demo->Form, L"demo_connected.png");

    TypeText(demo->Terminal, L"ATZ\r");
    EXPECT_TRUE(modem->WaitReceived(7, 10000));
    EXPECT_EQ(modem->Received(), "AT\rATZ\r");
    WaitUntil(
        [&] {
            String text = demo->Terminal.Text();
            return text.find(L"OK") != text.rfind(L"OK");
        },
        L"the modem's second OK");
    EXPECT_EQ(demo->Terminal.Text().find(L"ATZ"), String::npos) << "echo is off";

    Click(demo->Connect);
    WaitForListItem(demo->Log, kDisconnectedLine);
    EXPECT_TRUE(modem->WaitClientClosed(10000));
    EXPECT_FALSE(demo->Terminal.Enabled());
    EXPECT_EQ(SettledLog(), (std::vector<String>{kConnectedLine, kDisconnectedLine}));
}

TEST_F(Demo, PeerDroppingTheLinkDisconnectsOnceAndUnticks) {
    Start();
    ConnectToTheModem();
    ASSERT_TRUE(modem->Drop());
    WaitForListItem(demo->Log, kDisconnectedLine);
    WaitUntil([&] { return !demo->Connect.Checked(); }, L"\"Connect\" to be unticked");
    EXPECT_FALSE(demo->Terminal.Enabled());
    EXPECT_EQ(SettledLog(), (std::vector<String>{kConnectedLine, kDisconnectedLine}));

    // And it connects again at once.
    Click(demo->Connect);
    WaitUntil([&] { return demo->Log.ListItems().size() == 3; }, L"the second connection");
    EXPECT_EQ(demo->Log.ListItems().back(), kConnectedLine);
    EXPECT_TRUE(modem->WaitConnections(2, 10000));
}

TEST_F(Demo, UpdateAsksForTheTickedKindsOnly) {
    Start();
    Click(demo->Remembered);
    Click(demo->Connected);
    Click(demo->Update);
    WaitUntil([&] { return demo->Devices.ComboItems().empty(); }, L"an empty device list");

    Click(demo->Unknown);
    Click(demo->Update);
    WaitUntil([&] { return demo->Devices.ComboItems() == std::vector<String>{L"Stranger"}; },
              L"the unknown device alone");
}

TEST_F(Demo, SelectDialogGetsTheTickedOptionsAndItsPickIsSelected) {
    Start();
    Click(demo->SkipServices);
    Click(demo->Select);
    WaitUntil([&] { return demo->Devices.ComboIndex() == 1; },
              L"the picked echo device to be selected");
    EXPECT_EQ(demo->Devices.ComboItems(), (std::vector<String>{kModem, kEcho}));

    Click(demo->Properties);
    WaitUntil([&] { return FileLines(journal).size() == 2; }, L"the property dialog's call");
    EXPECT_EQ(FileLines(journal),
              (std::vector<std::string>{
                  "select info=\"Additional information\" force_auth=0 show_authenticated=0 "
                  "show_remembered=-1 show_unknown=0 add_wizard=0 skip_services=-1",
                  "properties address=00:1A:7D:DA:71:20",
              }));
}

TEST_F(Demo, ClosingTheWindowWhileConnectedClosesTheLinkBeforeTheProgramEnds) {
    Start();
    ConnectToTheModem();
    // Notes whether the program still ran when the peer saw the link close.
    bool closedWhileRunning = false;
    std::thread watcher([&] {
        if (modem->WaitClientClosed(30000))
            closedWhileRunning = WaitForSingleObject(program->ProcessHandle(), 0) == WAIT_TIMEOUT;
    });
    TProgram::TEnding ending = program->End();
    watcher.join();
    EXPECT_FALSE(ending.Terminated);
    EXPECT_EQ(ending.ExitCode, 0u);
    EXPECT_TRUE(modem->ClientClosed());
    EXPECT_TRUE(closedWhileRunning);
}

TEST_F(Demo, ClosingTheWindowWhileItConnectsEndsTheProgramCleanly) {
    Start("[device slow]\n"
          "name \"Slow Box\"\n"
          "address 00:1A:7D:DA:71:40\n"
          "radios internal\n"
          "remembered yes\n"
          "lookup_delay 100\n"
          "service class=0x1101 channel=1 name=\"Serial Port\" peer=echo delay=5000\n");
    PickComboItem(demo->Devices, L"Slow Box");
    Click(demo->Connect);
    EXPECT_TRUE(demo->Connect.Checked()); // the window answers while it connects
    TProgram::TEnding ending = program->End();
    EXPECT_FALSE(ending.Terminated);
    EXPECT_EQ(ending.ExitCode, 0u);
}

TEST_F(Demo, WithoutTheSimulatorTheSystemStackHasNoAdapters) {
    StartProgram(L"kvbtdemo.exe");
    EXPECT_TRUE(demo->Devices.ComboItems().empty());
    Click(demo->Connect);
    TMessageBox box = program->WaitForMessageBox();
    EXPECT_EQ(box.Text(), L"There are no bluetooth adapters");
    EXPECT_EQ(demo->Log.ListItems(),
              std::vector<String>{L"BT Error There are no bluetooth adapters"});
    box.PressOk();
    EXPECT_FALSE(demo->Connect.Checked());
}

} // namespace

// The driver, tried on a target program of its own: every action is checked by its
// effect as seen from outside, in the target's log list box and controls.
#include "demo/driver/driver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>

using namespace kvdriver;

namespace {

String TargetPath() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    String path(self, n);
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + L"" KV_TARGET_APP;
}

// Runs Action and expects an EDriverError whose message contains every one of Parts.
void ExpectDriverError(const std::function<void()>& Action,
                       std::initializer_list<const wchar_t*> Parts) {
    try {
        Action();
        ADD_FAILURE() << "no EDriverError";
    } catch (const EDriverError& e) {
        for (const wchar_t* part : Parts)
            EXPECT_NE(e.Message().find(part), String::npos)
                << "'" << StringToUtf8(part) << "' not in: " << e.what();
    }
}

class Driver : public testing::Test {
protected:
    void Start(const std::vector<String>& Arguments = {}, const String& Folder = {}) {
        program = std::make_unique<TProgram>(TargetPath(), Arguments, Folder);
        form = program->WaitForWindow(L"Driver target");
        connect = form.FindChild(L"Button", L"Connect");
        update = form.FindChild(L"Button", L"Update");
        message = form.FindChild(L"Button", L"Message");
        devices = form.FindChildAt(L"ComboBox", 0);
        terminal = form.FindChildAt(L"Edit", 0);
        log = form.FindChildAt(L"ListBox", 0);
        startLines = log.ListItems().size();
    }
    void TearDown() override {
        if (program && program->Running()) {
            EXPECT_FALSE(program->End().Terminated);
        }
    }

    // The log lines written since the start.
    std::vector<String> Events() const {
        auto lines = log.ListItems();
        return {lines.begin() + static_cast<std::ptrdiff_t>(startLines), lines.end()};
    }
    // Waits for as many events as expected, then compares them all.
    void ExpectEvents(const std::vector<String>& Expected) const {
        WaitUntil([&] { return Events().size() >= Expected.size(); },
                  L"the log to get " + IntToStr(static_cast<long long>(Expected.size())) +
                      L" events");
        EXPECT_EQ(Events(), Expected);
    }

    std::unique_ptr<TProgram> program;
    TWindow form, connect, update, message, devices, terminal, log;
    size_t startLines = 0;
};

TEST_F(Driver, FindsTheWindowAndReadsItsControls) {
    Start();
    EXPECT_EQ(form.Text(), L"Driver target: one control of each kind");
    EXPECT_EQ(form.ProcessId(), program->ProcessId());
    EXPECT_EQ(program->TopLevelWindows(), std::vector<TWindow>{form});

    // Check boxes are buttons too; position order is top to bottom, then left to right.
    const wchar_t* byPosition[] = {L"Connect", L"Update", L"Message", L"Disabled"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(form.FindChildAt(L"Button", i).Text(), byPosition[i]) << i;

    EXPECT_FALSE(connect.Checked());
    EXPECT_TRUE(connect.Enabled());
    EXPECT_FALSE(form.FindChild(L"Button", L"Disabled").Enabled());
    std::vector<String> items = devices.ComboItems();
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items.front(), L"Alpha");
    EXPECT_EQ(items.back(), L"Juliet");
    EXPECT_EQ(devices.ComboIndex(), -1);
    EXPECT_FALSE(devices.ComboDropped());
    EXPECT_EQ(terminal.Text(), L"Memo1");
    ASSERT_EQ(log.ListItems().size(), 1u);
    EXPECT_EQ(log.ListItems()[0].rfind(L"started in ", 0), 0u);
    String tree = form.Tree();
    EXPECT_NE(tree.find(L"Button 'Disabled'"), String::npos) << StringToUtf8(tree);
    EXPECT_NE(tree.find(L"disabled"), String::npos);
    EXPECT_NE(tree.find(L"ComboBox"), String::npos);
}

TEST_F(Driver, ReadingOrFindingWhatIsNotThereIsAClearError) {
    Start();
    struct TCase {
        std::function<void()> Action;
        std::initializer_list<const wchar_t*> Parts;
    };
    const TCase cases[] = {
        {[&] { form.FindChild(L"Button", L"Nope"); }, {L"no Button 'Nope'", L"Button 'Connect'"}},
        {[&] { form.FindChildAt(L"ComboBox", 1); }, {L"no ComboBox number 1", L"(it has 1)"}},
        {[&] { update.Checked(); }, {L"check state", L"'Update'", L"push button"}},
        {[&] { update.ListItems(); }, {L"'Update'", L"not a ListBox"}},
        {[&] { connect.ComboIndex(); }, {L"'Connect'", L"not a ComboBox"}},
        {[&] { WaitUntil([] { return false; }, L"nothing at all", 50); },
         {L"timed out after 50 ms", L"nothing at all"}},
        {[&] { program->WaitForWindow(L"No such caption", 300); },
         {L"timed out after 300 ms", L"a window 'No such caption...'", L"its windows:\n  ",
          L" 'Driver target: one control"}},
        {[&] { WaitForText(terminal, L"never typed", 50); },
         {L"'never typed' in Edit", L"its text is 'Memo1'"}},
        {[&] { WaitForListItem(log, L"never logged", 50); },
         {L"the line 'never logged'", L"its lines:\n  started in "}},
        {[&] { TProgram(TargetPath() + L".missing"); }, {L"cannot start", L".missing"}},
    };
    for (const TCase& c : cases)
        ExpectDriverError(c.Action, c.Parts);
}

TEST_F(Driver, ProgramGetsItsArgumentsAndFolder) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    String folder = temp;
    if (folder.size() > 3 && folder.back() == L'\\')
        folder.pop_back();
    const std::vector<String> args = {L"plain", L"two words", L"say \"hi\"", L"ends in \\", L""};
    Start(args, folder);
    std::vector<String> lines = log.ListItems();
    ASSERT_EQ(lines.size(), 1 + args.size());
    EXPECT_TRUE(SameText(lines[0], L"started in " + folder)) << StringToUtf8(lines[0]);
    for (size_t i = 0; i < args.size(); ++i)
        EXPECT_EQ(lines[1 + i], L"arg " + args[i]);
}

TEST_F(Driver, ComboPickArrivesAsOneUserChange) {
    Start();
    // Juliet lies below the part of the list that drops down at first.
    const std::pair<const wchar_t*, int> picks[] = {{L"Charlie", 2}, {L"Juliet", 9}, {L"Alpha", 0}};
    std::vector<String> expected;
    for (const auto& [item, index] : picks) {
        PickComboItem(devices, item);
        EXPECT_EQ(devices.ComboIndex(), index);
        EXPECT_FALSE(devices.ComboDropped());
        // A later event proves that no second change came in between.
        Click(update);
        expected.push_back(L"changed " + IntToStr(index));
        expected.push_back(L"clicked Update");
        ExpectEvents(expected);
    }
    ExpectDriverError([&] { PickComboItem(devices, L"Zulu"); },
                      {L"cannot pick 'Zulu'", L"'Alpha', 'Bravo'", L"'Juliet'"});
    ExpectDriverError([&] { PickComboItem(update, L"Alpha"); }, {L"not a ComboBox"});
}

TEST_F(Driver, ClicksTickTheCheckBoxAndPressButtons) {
    Start();
    Click(connect);
    EXPECT_TRUE(connect.Checked());
    EXPECT_TRUE(connect.Focused());
    Click(connect);
    EXPECT_FALSE(connect.Checked());
    Click(update);
    EXPECT_TRUE(update.Focused());
    EXPECT_FALSE(connect.Focused());
    ExpectEvents({L"clicked Connect on", L"clicked Connect off", L"clicked Update"});
    ExpectDriverError([&] { Click(form.FindChild(L"Button", L"Disabled")); },
                      {L"cannot click", L"'Disabled'", L"is disabled"});
}

TEST_F(Driver, TypedKeysReachTheFocusedMemo) {
    Start();
    ExpectDriverError([&] { TypeText(terminal, L"x"); },
                      {L"cannot type into", L"the keyboard focus is on"});
    Click(terminal);
    EXPECT_TRUE(terminal.Focused());
    // Letters, shifted keys, Enter, and a character that no key of the layout gives.
    TypeText(terminal, L"at+X? 42!\r\u00e9nd");
    WaitForText(terminal, L"\u00e9nd");
    EXPECT_EQ(terminal.Text(), L"Memo1at+X? 42!\r\n\u00e9nd");
}

TEST_F(Driver, MessageBoxIsReadAndAnswered) {
    Start();
    Click(message);
    TMessageBox box = program->WaitForMessageBox();
    EXPECT_EQ(box.Caption(), L"Target message");
    EXPECT_EQ(box.Text(), L"Hello from the target");
    ExpectDriverError([&] { Click(update); }, {L"cannot click", L"is disabled (a modal dialog"});
    box.PressOk();
    EXPECT_FALSE(box.Window().Exists());
    ExpectEvents({L"message answered 1"});
}

TEST_F(Driver, ScreenshotShowsTheWindowAsOnTheScreen) {
    Start();
    const String path = L"e2e_driver_target.png";
    DeleteFileW(path.c_str());
    TImage image = SaveScreenshot(form, path);
    RECT outer = form.ScreenRect();
    ASSERT_EQ(image.Width, outer.right - outer.left);
    ASSERT_EQ(image.Height, outer.bottom - outer.top);

    // Points inside the form, the memo and the log's empty lower part show their colours.
    auto at = [&](int clientX, int clientY) {
        POINT p{clientX, clientY};
        ClientToScreen(form.Handle(), &p);
        return image.At(p.x - outer.left, p.y - outer.top);
    };
    EXPECT_EQ(at(470, 10), PixelOf(GetSysColor(COLOR_BTNFACE)));
    EXPECT_EQ(at(150, 290), PixelOf(GetSysColor(COLOR_WINDOW)));
    EXPECT_EQ(at(400, 290), PixelOf(GetSysColor(COLOR_INFOBK)));

    std::ifstream file(path.c_str(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](size_t at) {
        return (static_cast<unsigned char>(bytes[at]) << 24) |
               (static_cast<unsigned char>(bytes[at + 1]) << 16) |
               (static_cast<unsigned char>(bytes[at + 2]) << 8) |
               static_cast<unsigned char>(bytes[at + 3]);
    };
    EXPECT_EQ(be32(16), static_cast<unsigned>(image.Width));
    EXPECT_EQ(be32(20), static_cast<unsigned>(image.Height));
}

TEST_F(Driver, ClosingTheWindowEndsTheProgram) {
    Start();
    TProgram::TEnding ending = program->End();
    EXPECT_FALSE(ending.Terminated);
    EXPECT_EQ(ending.ExitCode, 0u);
    EXPECT_FALSE(program->Running());
    EXPECT_FALSE(form.Exists());
    ExpectDriverError([&] { program->WaitForWindow(L"Driver target"); },
                      {L"exited with code 0", L"a window 'Driver target...'"});
    ExpectDriverError([&] { form.Text(); }, {L"does not exist"});
}

TEST_F(Driver, ProgramThatRefusesToCloseIsTerminated) {
    Start({L"--refuse-close"});
    TProgram::TEnding ending = program->End(1000);
    EXPECT_TRUE(ending.Terminated);
    EXPECT_EQ(ending.ExitCode, 1u);
    EXPECT_FALSE(program->Running());
}

} // namespace

// TkvLogFile: the lines it appends, their levels, and writers on several threads and
// several logs sharing one file.
#include "components/kvlogfile.h"
#include "toolkit/exceptions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class LogFile : public testing::Test {
protected:
    void SetUp() override {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        fPath = std::wstring(folder) + L"kv_logfile_test.log";
        DeleteFileW(fPath.c_str());
    }
    void TearDown() override { DeleteFileW(fPath.c_str()); }

    std::string Content() const {
        std::ifstream in(std::filesystem::path(fPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The lines of Text (the file's when empty) without their time stamps; each must end
    // in CR LF and begin with a stamp to the millisecond.
    std::vector<std::string> Lines(const std::string& Text = {}) const {
        static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
        std::vector<std::string> lines;
        std::istringstream in(Text.empty() ? Content() : Text);
        for (std::string line; std::getline(in, line);) {
            EXPECT_TRUE(!line.empty() && line.back() == '\r') << line;
            line.pop_back();
            std::smatch m;
            if (!std::regex_search(line, m, stamp, std::regex_constants::match_continuous)) {
                ADD_FAILURE() << "no time stamp: " << line;
                continue;
            }
            lines.push_back(line.substr(m.length()));
        }
        return lines;
    }

    std::wstring fPath;
};

TEST_F(LogFile, AppendsOneUtf8LinePerCallWithItsLevelAndLeavesOutLevelsAboveItsOwn) {
    std::ofstream(std::filesystem::path(fPath), std::ios::binary) << "kept\r\n";
    TkvLogFile log(nullptr);
    log.SetFileName(fPath);
    EXPECT_EQ(log.GetFileName(), fPath);
    log.AddLog(dlDetail, L"kvBT: Opened: Zweites Gerät");
    log.AddLogFmt(dlSimple, L"Fatal Error: %u, %u, %s", {13u, 10060u, String(L"failed")});
    log.AddLog(dlDebug, L"two\r\nlines");
    log.Add(L"plain");
    log.AddFmt(L"%d bytes", {-5});
    log.SetLevel(dlDetail);
    log.AddLog(dlDebug, L"left out");
    log.AddLog(dlDetail, L"still in");
    log.AddSysInfo();
    log.Save();

    std::string content = Content();
    ASSERT_EQ(content.substr(0, 6), "kept\r\n"); // what the file held stays
    std::vector<std::string> lines = Lines(content.substr(6));
    ASSERT_EQ(lines.size(), 7u) << content;
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.end() - 1),
        (std::vector<std::string>{"detail kvBT: Opened: Zweites Ger\xC3\xA4t",
                                  "simple Fatal Error: 13, 10060, failed", "debug two\\r\\nlines",
                                  "simple plain", "simple -5 bytes", "detail still in"}));
    EXPECT_EQ(lines.back().rfind("simple System: ", 0), 0u) << lines.back();
}

TEST_F(LogFile, LinesOfManyThreadsAndTwoLogsOnOneFileStayWhole) {
    TkvLogFile first(nullptr), second(nullptr);
    first.SetFileName(fPath);
    second.SetFileName(fPath);
    const int perThread = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            TkvLogFile& log = t % 2 ? second : first;
            for (int i = 0; i < perThread; ++i)
                log.AddLog(dlDebug, L"thread " + IntToStr(t) + L" line " + IntToStr(i) + L" " +
                                        String(static_cast<size_t>(i % 97), L'x'));
        });
    for (auto& w : writers)
        w.join();

    std::vector<int> next(4, 0); // each thread's lines arrive in its order
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u * perThread);
    static const std::regex whole(R"(debug thread (\d) line (\d+) (x*))");
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(i, next[t]++) << line;
        EXPECT_EQ(m[3].length(), i % 97) << line;
    }
}

TEST_F(LogFile, FileThatCannotBeOpenedIsNamedInTheErrorAndClearEmptiesTheFile) {
    TkvLogFile log(nullptr);
    const std::wstring missing = fPath + L".folder\\no.log";
    try {
        log.SetFileName(missing);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find(L"Cannot open the log file " + missing + L": "), String::npos)
            << e.what();
    }
    EXPECT_EQ(log.GetFileName(), L"");
    log.AddLog(dlSimple, L"nowhere"); // a log without a file writes nothing

    log.SetFileName(fPath);
    log.Add(L"first");
    log.Clear();
    EXPECT_EQ(Content(), "");
    log.Add(L"after");
    EXPECT_EQ(Lines(), std::vector<std::string>{"simple after"});
    log.SetFileName(L"");
    log.Add(L"closed");
    EXPECT_EQ(Lines(), std::vector<std::string>{"simple after"});
}

TEST_F(LogFile, ClearEmptiesTheOpenFileWhereverItsNameLeadsNow) {
    // A relative name, then another current folder that holds a file of that name.
    const std::filesystem::path folder = std::filesystem::path(fPath).parent_path();
    const std::filesystem::path own = folder / L"kv_logfile_own",
                                other = folder / L"kv_logfile_other";
    std::filesystem::create_directories(own);
    std::filesystem::create_directories(other);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(own);
    {
        TkvLogFile log(nullptr);
        log.SetFileName(L"clear.log");
        log.Add(L"mine");
        std::filesystem::current_path(other);
        std::ofstream(other / L"clear.log", std::ios::binary) << "not the log's\r\n";
        log.Clear();
    }
    std::filesystem::current_path(before);
    auto content = [](const std::filesystem::path& Path) {
        std::ifstream in(Path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(content(own / L"clear.log"), "");
    EXPECT_EQ(content(other / L"clear.log"), "not the log's\r\n");
    std::filesystem::remove_all(own);
    std::filesystem::remove_all(other);
}

} // namespace

// Copies of the Bluetooth libraries planted beside the program and in its current folder
// are never loaded, also not through the forwarded exports of the older library, even
// with native libraries preferred. Each planted copy writes a marker file beside itself
// when it is loaded; the control run loads the copies by their bare names to show that
// the markers work.
//
// Under Wine the test runs with native libraries preferred for both names (its ctest
// entry sets WINEDLLOVERRIDES, which the programs it starts inherit), so that a copy of
// that name is loaded wherever the search finds one first.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wchar_t* const kLibraries[] = {L"bthprops.cpl", L"irprops.cpl"};

fs::path ProgramFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(std::wstring(path, length)).parent_path();
}

class PlantedLibrary : public testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("kv_planted_" + std::to_string(GetCurrentProcessId()));
        app = root / "app";
        work = root / "work";
        fs::remove_all(root);
        fs::create_directories(app);
        fs::create_directories(work);
        fs::copy_file(ProgramFolder() / KV_PROBE, app / KV_PROBE);
        for (const fs::path& folder : {app, work})
            for (const wchar_t* name : kLibraries)
                fs::copy_file(ProgramFolder() / KV_PLANTED, folder / name);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Runs the probe from the app folder with the work folder as its current folder;
    // its exit code, or -1 when it did not end within a minute.
    int Probe(const std::wstring& Arguments) {
        std::wstring command = L"\"" + (app / KV_PROBE).wstring() + L"\" " + Arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            work.c_str(), &startup, &process))
            return -1;
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        else
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return int(code);
    }

    // The planted copies that were loaded, as "folder\name".
    std::vector<std::wstring> Loaded() {
        std::vector<std::wstring> loaded;
        for (const fs::path& folder : {app, work})
            for (const wchar_t* name : kLibraries)
                if (fs::exists(folder / (std::wstring(name) + L".loaded")))
                    loaded.push_back(folder.filename().wstring() + L"\\" + name);
        return loaded;
    }

    fs::path root, app, work;
};

TEST_F(PlantedLibrary, BindingLoadsTheSystemLibraryAndNoPlantedCopy) {
    for (const wchar_t* name : kLibraries) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_EQ(Probe(L"bare " + std::wstring(name)), 0);
        EXPECT_EQ(Loaded(), std::vector<std::wstring>{L"app\\" + std::wstring(name)})
            << "the copy beside the program is loaded by its bare name";
        fs::remove(app / (std::wstring(name) + L".loaded"));
    }
    EXPECT_EQ(Probe(L"binding"), 0);
    EXPECT_EQ(Loaded(), std::vector<std::wstring>{});
}

} // namespace

#include "demo/session/demo_window.h"

namespace kvdemo {

using kvdriver::TWindow;

TDemoWindow::TDemoWindow(const kvdriver::TProgram& Program)
    : Form(Program.WaitForWindow(kDemoCaption)) {
    auto button = [&](const wchar_t* Caption) { return Form.FindChild(L"Button", Caption); };
    Connect = button(L"Connect");
    Devices = Form.FindChildAt(L"ComboBox", 0);
    Terminal = Form.FindChildAt(L"Edit", 0);
    Log = Form.FindChildAt(L"ListBox", 0);
    Properties = button(L"..");
    Update = button(L"Update");
    Select = button(L"Select (win)");
    Authenticated = button(L"Authenticated");
    Remembered = button(L"Remembered");
    Unknown = button(L"Unknown");
    Connected = button(L"Connected");
    Inquiry = button(L"Inquiry");
    ForceAuth = button(L"Force Auth.");
    AddWizard = button(L"Add Wizard");
    SkipServices = button(L"Skip Services");
}

std::vector<TWindow> TDemoWindow::EnumerationBoxes() const {
    return {Authenticated, Remembered, Unknown, Connected, Inquiry};
}

String ProgramFolder() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    String path(self, n);
    path.resize(path.find_last_of(L"\\/") + 1);
    return path;
}

} // namespace kvdemo

#pragma once
// The demo's main window as its user meets it: the form and each of its controls, found
// from outside by kind and caption, for the scripted session and the end-to-end tests.

#include "demo/driver/driver.h"

#include <vector>

namespace kvdemo {

// What the demo's main window caption begins with.
inline constexpr wchar_t kDemoCaption[] = L"Bluetooth demo";

// The log list's lines for a connection made and ended.
inline constexpr wchar_t kConnectedLine[] = L"BT device is connected !!!";
inline constexpr wchar_t kDisconnectedLine[] = L"BT device is DISconnected !!!";

struct TDemoWindow {
    // Waits for the main window of Program and finds its controls; EDriverError when
    // one is missing.
    explicit TDemoWindow(const kvdriver::TProgram& Program);

    // The five enumeration boxes, in the order of the form.
    std::vector<kvdriver::TWindow> EnumerationBoxes() const;

    kvdriver::TWindow Form;
    kvdriver::TWindow Connect, Devices, Terminal, Log;
    kvdriver::TWindow Properties, Update, Select;
    kvdriver::TWindow Authenticated, Remembered, Unknown, Connected, Inquiry;
    kvdriver::TWindow ForceAuth, AddWizard, SkipServices;
};

// The folder of the running program, with a closing backslash.
String ProgramFolder();

} // namespace kvdemo

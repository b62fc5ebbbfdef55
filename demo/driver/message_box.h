#pragma once
// TMessageBox: a message box that the driven program shows (a "#32770" dialog window),
// read and answered as a user would.

#include "demo/driver/wait.h"
#include "demo/driver/window.h"

namespace kvdriver {

class TMessageBox {
public:
    explicit TMessageBox(TWindow Box) : fBox(Box) {}

    TWindow Window() const { return fBox; }
    String Caption() const { return fBox.Text(); }
    // The message: the text of the box's static control that is not its icon.
    String Text() const;
    // Clicks the OK button and waits until the box has closed.
    void PressOk(DWORD TimeoutMs = kDefaultTimeoutMs) const;

private:
    TWindow fBox;
};

} // namespace kvdriver

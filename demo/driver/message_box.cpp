#include "demo/driver/message_box.h"

#include "demo/driver/conditions.h"
#include "demo/driver/driver_error.h"
#include "demo/driver/input.h"

namespace kvdriver {

String TMessageBox::Text() const {
    for (const TWindow& child : fBox.Children())
        if (child.IsClass(L"Static") && (child.Style() & SS_TYPEMASK) != SS_ICON) {
            String text = child.Text();
            if (!text.empty())
                return text;
        }
    throw EDriverError(L"no message text in " + fBox.Describe() + L"; its windows:\n" +
                       fBox.Tree());
}

void TMessageBox::PressOk(DWORD TimeoutMs) const {
    for (const TWindow& child : fBox.Children())
        if (child.IsClass(L"Button") && child.ControlId() == IDOK) {
            Click(child, TimeoutMs);
            WaitForClosed(fBox, TimeoutMs);
            return;
        }
    throw EDriverError(L"no OK button in " + fBox.Describe() + L"; its windows:\n" + fBox.Tree());
}

} // namespace kvdriver

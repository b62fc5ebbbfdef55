#include "demo/driver/conditions.h"

#include "demo/driver/driver_error.h"

#include <algorithm>

namespace kvdriver {

void WaitForText(const TWindow& Window, const String& Part, DWORD TimeoutMs) {
    String last;
    try {
        WaitUntil(
            [&] {
                last = Window.Text();
                return last.find(Part) != String::npos;
            },
            L"'" + Part + L"' in " + Window.Describe(), TimeoutMs);
    } catch (const EDriverError& e) {
        throw EDriverError(e.Message() + L"; its text is '" + last + L"'");
    }
}

void WaitForListItem(const TWindow& List, const String& Item, DWORD TimeoutMs) {
    std::vector<String> last;
    try {
        WaitUntil(
            [&] {
                last = List.ListItems();
                return std::find(last.begin(), last.end(), Item) != last.end();
            },
            L"the line '" + Item + L"' in " + List.Describe(), TimeoutMs);
    } catch (const EDriverError& e) {
        String lines;
        for (const String& line : last)
            lines += L"\n  " + line;
        throw EDriverError(e.Message() + L"; its lines:" +
                           (lines.empty() ? String(L" none") : lines));
    }
}

void WaitForClosed(const TWindow& Window, DWORD TimeoutMs) {
    WaitUntil([&] { return !Window.Exists() || !Window.Visible(); },
              Window.Describe() + L" to close", TimeoutMs);
}

} // namespace kvdriver

#include "toolkit/subclass.h"

#include <utility>

TWindowSubclass::TWindowSubclass(HWND Window, SUBCLASSPROC Proc, UINT_PTR Id, DWORD_PTR Data)
    : fWindow(Window), fProc(Proc), fId(Id) {
    if (!SetWindowSubclass(Window, Proc, Id, Data))
        fWindow = nullptr;
}

TWindowSubclass::TWindowSubclass(TWindowSubclass&& Other) noexcept
    : fWindow(std::exchange(Other.fWindow, nullptr)), fProc(Other.fProc), fId(Other.fId) {}

TWindowSubclass& TWindowSubclass::operator=(TWindowSubclass&& Other) noexcept {
    if (this != &Other) {
        Reset();
        fWindow = std::exchange(Other.fWindow, nullptr);
        fProc = Other.fProc;
        fId = Other.fId;
    }
    return *this;
}

void TWindowSubclass::Reset() {
    if (fWindow)
        RemoveWindowSubclass(fWindow, fProc, fId);
    fWindow = nullptr;
}

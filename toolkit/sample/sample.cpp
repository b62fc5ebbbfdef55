// A small program on the toolkit's core: a worker thread hands work to the main thread
// while the main thread shows a message box, and the box closes itself.
#include "toolkit/application.h"
#include "toolkit/format.h"
#include "toolkit/thread.h"

#include <cstdio>

namespace {

class TCloser : public TThread {
public:
    TCloser() : TThread(false) {}

protected:
    void Execute() override { Synchronize(TThreadMethod::Bind<&TCloser::CloseBox>(this)); }

private:
    void CloseBox() {
        if (HWND box = FindWindowW(L"#32770", L"Toolkit sample"))
            PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
};

} // namespace

int main() {
    TApplication app;
    String text = Format(L"Main thread %u; this box is closed by a synchronized call.", {MainThreadID()});
    TCloser closer;
    app.ShowMessageBox(text, L"Toolkit sample", MB_OK | MB_ICONINFORMATION);
    closer.WaitFor();
    std::printf("%s\n", StringToUtf8(text).c_str());
    return 0;
}

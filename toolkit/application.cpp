#include "toolkit/application.h"

#include "toolkit/exceptions.h"
#include "toolkit/thread.h"

TApplication* Application = nullptr;

namespace {

int SystemMessageBox(HWND Owner, const String& Text, const String& Caption, UINT Flags) {
    return MessageBoxW(Owner, Text.c_str(), Caption.c_str(), Flags);
}

String ProgramTitle() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    String name = path;
    size_t slash = name.find_last_of(L"\\/");
    if (slash != String::npos)
        name.erase(0, slash + 1);
    size_t dot = name.rfind(L'.');
    if (dot != String::npos)
        name.erase(dot);
    return name;
}

} // namespace

TApplication::TApplication()
    : TComponent(nullptr), fTitle(ProgramTitle()), fMessageBox(SystemMessageBox) {
    InitSynchronize();
    Application = this;
}

TApplication::~TApplication() {
    if (Application == this)
        Application = nullptr;
}

bool TApplication::IsDialogKey(MSG& Msg) {
    if (Msg.message < WM_KEYFIRST || Msg.message > WM_KEYLAST || !Msg.hwnd)
        return false;
    HWND top = GetAncestor(Msg.hwnd, GA_ROOT);
    if (!top || !(GetWindowLongPtrW(top, GWL_EXSTYLE) & WS_EX_CONTROLPARENT))
        return false;
    return IsDialogMessageW(top, &Msg) != FALSE;
}

void TApplication::Dispatch(MSG& Msg) {
    if (IsDialogKey(Msg))
        return;
    TranslateMessage(&Msg);
    DispatchMessageW(&Msg);
}

void TApplication::Run() {
    MSG msg;
    while (!fTerminated) {
        BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0 || r == -1) {
            fTerminated = true;
            break;
        }
        Dispatch(msg);
    }
}

void TApplication::Terminate() {
    fTerminated = true;
    if (IsMainThread())
        PostQuitMessage(0);
    else
        PostThreadMessageW(MainThreadID(), WM_QUIT, 0, 0);
}

void TApplication::ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            fTerminated = true;
            break;
        }
        Dispatch(msg);
    }
    CheckSynchronize();
}

bool WaitServingMessages(HANDLE Handle, DWORD Timeout) {
    if (!IsMainThread() || !Application)
        return MainThreadWait(Handle, Timeout);
    DWORD woken = MsgWaitForMultipleObjects(1, &Handle, FALSE, Timeout, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0)
        return true;
    if (woken == WAIT_OBJECT_0 + 1)
        Application->ProcessMessages();
    return false;
}

void TApplication::HandleException(const std::exception& E) {
    ShowMessageBox(ExceptionMessage(E), fTitle, MB_OK | MB_ICONERROR);
}

void TApplication::HandleCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(Exception(L"Unknown exception"));
    }
}

int TApplication::ShowMessageBox(const String& Text, const String& Caption, UINT Flags) {
    return fMessageBox(GetForegroundWindow(), Text, Caption, Flags);
}

TApplication::TMessageBoxFunc TApplication::SetMessageBoxFunc(TMessageBoxFunc Func) {
    TMessageBoxFunc previous = fMessageBox;
    fMessageBox = Func ? Func : SystemMessageBox;
    return previous;
}

#pragma once
// Controls: TControl holds what every control shows (position, text, colour, font,
// state); TWinControl puts it into a Win32 window, created on first demand (asking for
// Handle creates it, its parents first, and the windows of its child controls with it)
// and destroyed with the control.
//
// Every message to a control's window passes through its WindowProc, a replaceable
// callback that takes a TMessage. Its default is the control's virtual WndProc, which
// ends in the Win32 class procedure. A component may save WindowProc, install its own
// and forward to the saved one; putting the saved one back restores the control exactly.
// The notifications that Win32 sends to a parent (WM_COMMAND, WM_NOTIFY, WM_CTLCOLOR*)
// are handed to the child they concern as CN_ messages (CN_BASE + the message), so that
// each control raises its own events and paints its own colours. An exception that
// escapes a message handler goes to Application->HandleException.
//
// Controls belong to the main thread: only Win32's own cross-thread delivery of sent
// messages may reach them from elsewhere.

#include "toolkit/components.h"
#include "toolkit/events.h"
#include "toolkit/graphics.h"
#include "toolkit/subclass.h"

#include <vector>

#include <windows.h>

struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

using TWndMethod = TEvent<void(TMessage& Message)>;

// Notifications reflected to the child control they concern.
constexpr UINT CN_BASE = 0xBC00;
constexpr UINT CN_COMMAND = CN_BASE + WM_COMMAND;
constexpr UINT CN_NOTIFY = CN_BASE + WM_NOTIFY;
constexpr UINT CN_CTLCOLORFIRST = CN_BASE + WM_CTLCOLORMSGBOX;
constexpr UINT CN_CTLCOLORLAST = CN_BASE + WM_CTLCOLORSTATIC;

class TWinControl;

class TControl : public TComponent {
public:
    ~TControl() override;

    TWinControl* GetParent() const { return fParent; }
    virtual void SetParent(TWinControl* Value);
    void SetParentComponent(TComponent* Value) override;

    int GetLeft() const { return fLeft; }
    int GetTop() const { return fTop; }
    virtual int GetWidth() const { return fWidth; }
    virtual int GetHeight() const { return fHeight; }
    void SetLeft(int Value) { SetBounds(Value, fTop, GetWidth(), GetHeight()); }
    void SetTop(int Value) { SetBounds(fLeft, Value, GetWidth(), GetHeight()); }
    void SetWidth(int Value) { SetBounds(fLeft, fTop, Value, GetHeight()); }
    void SetHeight(int Value) { SetBounds(fLeft, fTop, GetWidth(), Value); }
    virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);

    // Caption and Text are one property, as the window has one text.
    virtual String GetText() const { return fText; }
    void SetText(const String& Value);

    bool GetEnabled() const { return fEnabled; }
    void SetEnabled(bool Value);
    bool GetVisible() const { return fVisible; }
    void SetVisible(bool Value);

    TColor GetColor() const { return fColor; }
    void SetColor(TColor Value);
    bool GetParentColor() const { return fParentColor; }
    void SetParentColor(bool Value);

    TFont* GetFont() { return &fFont; }
    bool GetParentFont() const { return fParentFont; }
    void SetParentFont(bool Value);

    TNotifyEvent GetOnClick() const { return fOnClick; }
    void SetOnClick(TNotifyEvent Value) { fOnClick = Value; }

protected:
    explicit TControl(TComponent* AOwner);

    // Raises OnClick.
    virtual void Click();

    // Hooks through which TWinControl carries each change into its window.
    virtual void BoundsChanged() {}
    virtual void TextChanged() {}
    virtual void EnabledChanged() {}
    virtual void VisibleChanged() {}
    virtual void ColorChanged();
    virtual void FontChanged();

    int fLeft = 0, fTop = 0, fWidth = 0, fHeight = 0;
    String fText;
    bool fVisible = true;

private:
    void FontChange(TObject* Sender);
    void TakeParentColor();
    void TakeParentFont();

    TWinControl* fParent = nullptr;
    bool fEnabled = true;
    TColor fColor = clBtnFace;
    bool fParentColor = true;
    TFont fFont;
    bool fParentFont = true;
    bool fTakingParentFont = false;
    TNotifyEvent fOnClick;

    friend class TWinControl;
};

class TWinControl : public TControl {
public:
    ~TWinControl() override;

    void SetParent(TWinControl* Value) override;

    // The window, created now if it does not exist yet.
    HWND GetHandle();
    bool HandleAllocated() const { return fHandle != nullptr; }
    // The window if it exists, else null; never creates it.
    HWND WindowHandle() const { return fHandle; }

    TWndMethod GetWindowProc() const { return fWindowProc; }
    void SetWindowProc(TWndMethod Value) { fWindowProc = Value ? Value : DefaultWindowProc(); }

    // Passes a message through WindowProc, as the window would.
    LRESULT Perform(UINT Msg, WPARAM WParam, LPARAM LParam);

    int GetTabOrder() const { return fTabOrder; }
    void SetTabOrder(int Value);
    bool GetTabStop() const { return fTabStop; }
    void SetTabStop(bool Value);

    String GetText() const override;

    void SetFocus();
    bool Focused() const;

    int ControlCount() const { return static_cast<int>(fControls.size()); }
    TControl* GetControl(int Index) const { return fControls.at(static_cast<size_t>(Index)); }

    // The control of a window that the toolkit made, or none.
    static TWinControl* FromHandle(HWND Window);

protected:
    explicit TWinControl(TComponent* AOwner);

    struct TCreateParams {
        const wchar_t* ClassName = L"STATIC";
        DWORD Style = 0;
        DWORD ExStyle = 0;
        int X = 0, Y = 0, Width = 0, Height = 0;
        HWND Parent = nullptr;
    };
    // The window's class, styles and place; descendants add their own.
    virtual void CreateParams(TCreateParams& Params);
    // Runs once the window exists: descendants put their content into it.
    virtual void CreateWnd() {}
    // The message handler at the end of WindowProc's chain.
    virtual void WndProc(TMessage& Message);
    // Hands the message to the Win32 class procedure.
    void DefaultHandler(TMessage& Message);

    // The brush of the control's colour, for painting its background.
    HBRUSH Brush();

    void BoundsChanged() override;
    void TextChanged() override;
    void EnabledChanged() override;
    void VisibleChanged() override;
    void ColorChanged() override;
    void FontChanged() override;

    bool fTabStop = false;

private:
    static LRESULT CALLBACK SubclassProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam,
                                         UINT_PTR Id, DWORD_PTR Data);
    TWndMethod DefaultWindowProc() { return TWndMethod::Bind<&TWinControl::WndProc>(this); }
    void CreateHandle();
    void InsertControl(TControl* Control);
    void RemoveControl(TControl* Control);
    // Orders the child windows by tab order: the dialog manager tabs in window order.
    void ArrangeTabOrder();
    bool Reflect(TMessage& Message);

    HWND fHandle = nullptr;
    TWindowSubclass fSubclass;
    TWndMethod fWindowProc;
    int fTabOrder = -1;
    std::vector<TControl*> fControls;
    TGdiObject<HBRUSH> fBrush;

    friend class TControl;
};

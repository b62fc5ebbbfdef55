#pragma once
// TForm: a top-level window that parents controls, is read from a form file and shows
// itself with Show. Closing the application's main form ends Application.Run.
// Dialog keys (Tab, Space) work in the application's message loop.

#include "toolkit/controls.h"
#include "toolkit/formreader.h"

#include <string>

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

using TCloseEvent = TEvent<void(TObject* Sender, TCloseAction& Action)>;

class TForm : public TWinControl {
public:
    // The first form made while no main form is set becomes the application's main form.
    explicit TForm(TComponent* AOwner);
    // Destroys the owned components first, while the window and the controls still exist.
    ~TForm() override;

    // Creates the window and its controls, raises OnShow and shows it.
    void Show();
    void Hide();
    // Raises OnClose; unless the handler answers caNone the form hides, and the main form
    // ends the application's message loop.
    void Close();

    TFormBorderStyle GetBorderStyle() const { return fBorderStyle; }
    void SetBorderStyle(TFormBorderStyle Value) { fBorderStyle = Value; }
    int GetClientWidth() const { return fClientWidth; }
    void SetClientWidth(int Value);
    int GetClientHeight() const { return fClientHeight; }
    void SetClientHeight(int Value);
    int GetWidth() const override;
    int GetHeight() const override;
    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;

    TNotifyEvent GetOnShow() const { return fOnShow; }
    void SetOnShow(TNotifyEvent Value) { fOnShow = Value; }
    TCloseEvent GetOnClose() const { return fOnClose; }
    void SetOnClose(TCloseEvent Value) { fOnClose = Value; }

    // Stored by form files for the designer; the form keeps them and uses nothing of them.
    int GetPixelsPerInch() const { return fPixelsPerInch; }
    void SetPixelsPerInch(int Value) { fPixelsPerInch = Value; }
    int GetTextHeight() const { return fTextHeight; }
    void SetTextHeight(int Value) { fTextHeight = Value; }

protected:
    void CreateParams(TCreateParams& Params) override;
    void WndProc(TMessage& Message) override;
    void BoundsChanged() override;

private:
    DWORD Style() const;
    DWORD ExStyle() const;
    SIZE FrameSize() const;

    TFormBorderStyle fBorderStyle = bsSizeable;
    int fClientWidth = 300;
    int fClientHeight = 200;
    int fPixelsPerInch = 96;
    int fTextHeight = 13;
    TNotifyEvent fOnShow;
    TCloseEvent fOnClose;
};

// The text of an RCDATA resource of the program (a form file), or Exception.
std::string LoadFormResource(const wchar_t* Name);

// Registers the toolkit's controls and the form with the form-file reader (idempotent).
void RegisterControlClasses();

#pragma once
// The standard controls: label, push button, check box, group box, memo, list box and
// combo box, each over its Win32 control.

#include "toolkit/controls.h"
#include "toolkit/lists.h"

#include <vector>

// Static text; no tab stop.
class TLabel : public TWinControl {
public:
    explicit TLabel(TComponent* AOwner);

protected:
    void CreateParams(TCreateParams& Params) override;
};

// A push button; OnClick when it is clicked (by the mouse, Space or BM_CLICK).
class TButton : public TWinControl {
public:
    explicit TButton(TComponent* AOwner);

protected:
    void CreateParams(TCreateParams& Params) override;
    void WndProc(TMessage& Message) override;
};

// A check box; a click toggles Checked and raises OnClick. Writing Checked from code
// raises nothing.
class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* AOwner);

    bool GetChecked() const;
    void SetChecked(bool Value);

protected:
    void CreateParams(TCreateParams& Params) override;
    void CreateWnd() override;
    void WndProc(TMessage& Message) override;

private:
    bool fChecked = false;
};

// A caption frame that parents controls; Tab moves into and within it.
class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TComponent* AOwner);

protected:
    void CreateParams(TCreateParams& Params) override;
    void WndProc(TMessage& Message) override;
};

// The pairs of a list or combo box, kept in memory and mirrored into its window.
class TControlItems : public TStringList {
public:
    struct TMessages {
        UINT Insert, Delete, Reset;
    };
    TControlItems(TWinControl& Control, TMessages Messages)
        : fControl(Control), fMessages(Messages) {}

    void Put(int index, const String& s) override;
    void InsertObject(int index, const String& s, TObject* obj) override;
    void Delete(int index) override;
    void Clear() override;
    // When sorted, AddObject inserts in case-insensitive order.
    bool Sorted = false;
    int AddObject(const String& s, TObject* obj) override;

    // Puts every pair into the newly made window.
    void Fill();

private:
    TWinControl& fControl;
    TMessages fMessages;
};

// A multi-line edit. Lines holds its text, one line per entry. The edit control's
// default text limit is lifted, so it keeps taking text.
class TMemo : public TWinControl {
public:
    explicit TMemo(TComponent* AOwner);
    ~TMemo() override;

    TStrings* GetLines() { return fLines; }
    bool GetReadOnly() const { return fReadOnly; }
    void SetReadOnly(bool Value);
    bool GetWordWrap() const { return fWordWrap; }
    void SetWordWrap(bool Value) { fWordWrap = Value; }
    enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
    TScrollStyle GetScrollBars() const { return fScrollBars; }
    void SetScrollBars(TScrollStyle Value) { fScrollBars = Value; }

protected:
    void CreateParams(TCreateParams& Params) override;
    void CreateWnd() override;

private:
    TStrings* fLines;
    bool fReadOnly = false;
    bool fWordWrap = true;
    TScrollStyle fScrollBars = ssVertical;
};

class TListBox : public TWinControl {
public:
    explicit TListBox(TComponent* AOwner);

    TStrings* GetItems() { return &fItems; }
    int GetItemHeight() const { return fItemHeight; }
    void SetItemHeight(int Value);
    int GetItemIndex() const;
    void SetItemIndex(int Value);

protected:
    void CreateParams(TCreateParams& Params) override;
    void CreateWnd() override;

private:
    TControlItems fItems;
    int fItemHeight = 13;
    int fItemIndex = -1;
};

// A combo box in the drop-down-list style: the user only picks one of the items.
// ItemIndex is -1 for none; writing it from code selects without running the change
// step. When the user picks an item the virtual change step Change runs; its base raises
// OnChange.
class TComboBox : public TWinControl {
public:
    explicit TComboBox(TComponent* AOwner);

    TStrings* GetItems() { return &fItems; }
    int GetItemIndex() const;
    void SetItemIndex(int Value);
    int GetItemHeight() const { return fItemHeight; }
    void SetItemHeight(int Value);
    int GetDropDownCount() const { return fDropDownCount; }
    void SetDropDownCount(int Value);
    bool GetSorted() const { return fItems.Sorted; }
    void SetSorted(bool Value) { fItems.Sorted = Value; }
    enum TComboBoxStyle { csDropDown, csDropDownList };
    TComboBoxStyle GetStyle() const { return fStyle; }
    void SetStyle(TComboBoxStyle Value) { fStyle = Value; }

    TNotifyEvent GetOnChange() const { return fOnChange; }
    void SetOnChange(TNotifyEvent Value) { fOnChange = Value; }

protected:
    void CreateParams(TCreateParams& Params) override;
    void CreateWnd() override;
    void WndProc(TMessage& Message) override;
    // The change step, run when the user picks an item.
    virtual void Change();

private:
    TControlItems fItems;
    int fItemIndex = -1;
    int fItemHeight = 13;
    int fDropDownCount = 8;
    TComboBoxStyle fStyle = csDropDownList;
    TNotifyEvent fOnChange;
};

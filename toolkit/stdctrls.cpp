#include "toolkit/stdctrls.h"

#include "toolkit/exceptions.h"

// ---- TLabel

TLabel::TLabel(TComponent* AOwner) : TWinControl(AOwner) {}

void TLabel::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"STATIC";
    Params.Style |= SS_LEFT | SS_NOPREFIX;
}

// ---- TButton

TButton::TButton(TComponent* AOwner) : TWinControl(AOwner) {
    fTabStop = true;
}

void TButton::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"BUTTON";
    Params.Style |= BS_PUSHBUTTON;
}

void TButton::WndProc(TMessage& Message) {
    if (Message.Msg == CN_COMMAND && HIWORD(Message.WParam) == BN_CLICKED) {
        Click();
        return;
    }
    TWinControl::WndProc(Message);
}

// ---- TCheckBox

TCheckBox::TCheckBox(TComponent* AOwner) : TWinControl(AOwner) {
    fTabStop = true;
}

void TCheckBox::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"BUTTON";
    Params.Style |= BS_AUTOCHECKBOX;
}

void TCheckBox::CreateWnd() {
    SendMessageW(GetHandle(), BM_SETCHECK, fChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TCheckBox::GetChecked() const {
    if (HandleAllocated())
        return SendMessageW(WindowHandle(), BM_GETCHECK, 0, 0) == BST_CHECKED;
    return fChecked;
}

void TCheckBox::SetChecked(bool Value) {
    fChecked = Value;
    if (HandleAllocated())
        SendMessageW(GetHandle(), BM_SETCHECK, Value ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TCheckBox::WndProc(TMessage& Message) {
    if (Message.Msg == CN_COMMAND && HIWORD(Message.WParam) == BN_CLICKED) {
        fChecked = GetChecked();
        Click();
        return;
    }
    TWinControl::WndProc(Message);
}

// ---- TGroupBox

TGroupBox::TGroupBox(TComponent* AOwner) : TWinControl(AOwner) {}

void TGroupBox::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"BUTTON";
    Params.Style |= BS_GROUPBOX | WS_CLIPCHILDREN;
    Params.ExStyle |= WS_EX_CONTROLPARENT;
}

void TGroupBox::WndProc(TMessage& Message) {
    if (Message.Msg == WM_ERASEBKGND) {
        RECT r;
        GetClientRect(GetHandle(), &r);
        FillRect(reinterpret_cast<HDC>(Message.WParam), &r, Brush());
        Message.Result = 1;
        return;
    }
    TWinControl::WndProc(Message);
}

// ---- TControlItems

void TControlItems::Put(int index, const String& s) {
    TObject* obj = Objects(index);
    Delete(index);
    InsertObject(index, s, obj);
}

void TControlItems::InsertObject(int index, const String& s, TObject* obj) {
    TStringList::InsertObject(index, s, obj);
    if (fControl.HandleAllocated())
        SendMessageW(fControl.GetHandle(), fMessages.Insert, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(s.c_str()));
}

int TControlItems::AddObject(const String& s, TObject* obj) {
    int index = Count();
    if (Sorted)
        for (index = 0; index < Count(); ++index)
            if (CompareStringOrdinal(s.c_str(), -1, Get(index).c_str(), -1, TRUE) == CSTR_LESS_THAN)
                break;
    InsertObject(index, s, obj);
    return index;
}

void TControlItems::Delete(int index) {
    TStringList::Delete(index);
    if (fControl.HandleAllocated())
        SendMessageW(fControl.GetHandle(), fMessages.Delete, static_cast<WPARAM>(index), 0);
}

void TControlItems::Clear() {
    TStringList::Clear();
    if (fControl.HandleAllocated())
        SendMessageW(fControl.GetHandle(), fMessages.Reset, 0, 0);
}

void TControlItems::Fill() {
    HWND w = fControl.GetHandle();
    SendMessageW(w, fMessages.Reset, 0, 0);
    for (int i = 0; i < Count(); ++i)
        SendMessageW(w, fMessages.Insert, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(Get(i).c_str()));
}

// ---- TMemo

namespace {

// The lines of a memo, read from and written to its text.
class TMemoLines : public TStrings {
public:
    explicit TMemoLines(TMemo& memo) : fMemo(memo) {}

    int Count() const override { return static_cast<int>(Lines().size()); }
    String Get(int index) const override {
        auto lines = Lines();
        Check(index, lines.size());
        return lines[static_cast<size_t>(index)];
    }
    TObject* Objects(int index) const override {
        Check(index, Lines().size());
        return nullptr;
    }
    void Put(int index, const String& s) override {
        auto lines = Lines();
        Check(index, lines.size());
        lines[static_cast<size_t>(index)] = s;
        Store(lines);
    }
    void PutObject(int index, TObject*) override { Check(index, Lines().size()); }
    void InsertObject(int index, const String& s, TObject*) override {
        auto lines = Lines();
        if (index < 0 || static_cast<size_t>(index) > lines.size())
            ThrowListIndexError(index);
        lines.insert(lines.begin() + index, s);
        Store(lines);
    }
    void Delete(int index) override {
        auto lines = Lines();
        Check(index, lines.size());
        lines.erase(lines.begin() + index);
        Store(lines);
    }
    void Clear() override { fMemo.SetText(L""); }

private:
    static void Check(int index, size_t count) {
        if (index < 0 || static_cast<size_t>(index) >= count)
            ThrowListIndexError(index);
    }
    std::vector<String> Lines() const {
        std::vector<String> lines;
        String text = fMemo.GetText();
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(L"\r\n", start);
            if (end == String::npos) {
                lines.push_back(text.substr(start));
                break;
            }
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
    void Store(const std::vector<String>& lines) {
        String text;
        for (size_t i = 0; i < lines.size(); ++i)
            text += (i ? L"\r\n" : L"") + lines[i];
        fMemo.SetText(text);
    }
    TMemo& fMemo;
};

} // namespace

TMemo::TMemo(TComponent* AOwner) : TWinControl(AOwner), fLines(new TMemoLines(*this)) {
    fTabStop = true;
    SetColor(clWindow);
}

TMemo::~TMemo() {
    delete fLines;
}

void TMemo::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"EDIT";
    Params.Style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL | WS_BORDER;
    if (fReadOnly)
        Params.Style |= ES_READONLY;
    if (!fWordWrap)
        Params.Style |= ES_AUTOHSCROLL;
    if (fScrollBars == ssVertical || fScrollBars == ssBoth)
        Params.Style |= WS_VSCROLL;
    if (fScrollBars == ssHorizontal || fScrollBars == ssBoth)
        Params.Style |= WS_HSCROLL;
}

void TMemo::CreateWnd() {
    // 0 lifts the default limit of about 32,000 characters.
    SendMessageW(GetHandle(), EM_SETLIMITTEXT, 0, 0);
}

void TMemo::SetReadOnly(bool Value) {
    fReadOnly = Value;
    if (HandleAllocated())
        SendMessageW(GetHandle(), EM_SETREADONLY, Value, 0);
}

// ---- TListBox

TListBox::TListBox(TComponent* AOwner)
    : TWinControl(AOwner), fItems(*this, {LB_INSERTSTRING, LB_DELETESTRING, LB_RESETCONTENT}) {
    fTabStop = true;
    SetColor(clWindow);
}

void TListBox::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"LISTBOX";
    Params.Style |= LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER;
}

void TListBox::CreateWnd() {
    fItems.Fill();
    SendMessageW(GetHandle(), LB_SETITEMHEIGHT, 0, fItemHeight);
    SendMessageW(GetHandle(), LB_SETCURSEL, static_cast<WPARAM>(fItemIndex), 0);
}

void TListBox::SetItemHeight(int Value) {
    fItemHeight = Value;
    if (HandleAllocated())
        SendMessageW(GetHandle(), LB_SETITEMHEIGHT, 0, Value);
}

int TListBox::GetItemIndex() const {
    if (HandleAllocated())
        return static_cast<int>(SendMessageW(WindowHandle(), LB_GETCURSEL, 0, 0));
    return fItemIndex;
}

void TListBox::SetItemIndex(int Value) {
    fItemIndex = Value;
    if (HandleAllocated())
        SendMessageW(GetHandle(), LB_SETCURSEL, static_cast<WPARAM>(Value), 0);
}

// ---- TComboBox

TComboBox::TComboBox(TComponent* AOwner)
    : TWinControl(AOwner), fItems(*this, {CB_INSERTSTRING, CB_DELETESTRING, CB_RESETCONTENT}) {
    fTabStop = true;
    SetColor(clWindow);
    fHeight = 21;
}

void TComboBox::CreateParams(TCreateParams& Params) {
    TWinControl::CreateParams(Params);
    Params.ClassName = L"COMBOBOX";
    Params.Style |= WS_VSCROLL | (fStyle == csDropDownList ? CBS_DROPDOWNLIST : CBS_DROPDOWN);
    // The window's height includes the list that drops down.
    Params.Height = fHeight + fDropDownCount * fItemHeight + 2;
}

void TComboBox::CreateWnd() {
    HWND w = GetHandle();
    SendMessageW(w, CB_SETITEMHEIGHT, 0, fItemHeight);
    // The closed box gets the stored height: the selection field takes what the frame
    // leaves. Class procedures differ in how they apply the field height, so measure.
    for (int attempt = 0; attempt < 3; ++attempt) {
        RECT r;
        GetWindowRect(w, &r);
        int error = fHeight - (r.bottom - r.top);
        if (error == 0)
            break;
        LRESULT field = SendMessageW(w, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
        if (field + error <= 0)
            break;
        SendMessageW(w, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field + error);
    }
    fItems.Fill();
    SendMessageW(w, CB_SETCURSEL, static_cast<WPARAM>(fItemIndex), 0);
}

int TComboBox::GetItemIndex() const {
    if (HandleAllocated())
        return static_cast<int>(SendMessageW(WindowHandle(), CB_GETCURSEL, 0, 0));
    return fItemIndex;
}

void TComboBox::SetItemIndex(int Value) {
    if (Value < -1 || Value >= fItems.Count())
        Value = -1;
    fItemIndex = Value;
    if (HandleAllocated())
        SendMessageW(GetHandle(), CB_SETCURSEL, static_cast<WPARAM>(Value), 0);
}

void TComboBox::SetItemHeight(int Value) {
    fItemHeight = Value;
    if (HandleAllocated())
        SendMessageW(GetHandle(), CB_SETITEMHEIGHT, 0, Value);
}

void TComboBox::SetDropDownCount(int Value) {
    fDropDownCount = Value;
}

void TComboBox::WndProc(TMessage& Message) {
    if (Message.Msg == CN_COMMAND && HIWORD(Message.WParam) == CBN_SELCHANGE) {
        fItemIndex = GetItemIndex();
        Change();
        return;
    }
    TWinControl::WndProc(Message);
}

void TComboBox::Change() {
    if (fOnChange)
        fOnChange(this);
}

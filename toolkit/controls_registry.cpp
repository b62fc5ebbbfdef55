// The toolkit's controls and the form as the form-file reader knows them.
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"

namespace {

using TNames = std::vector<std::pair<String, long long>>;

const TNames& ColorNames() {
    static const TNames names = {
        {L"clBtnFace", clBtnFace},     {L"clWindow", clWindow},     {L"clWindowText", clWindowText},
        {L"clInfoBk", clInfoBk},       {L"clInfoText", clInfoText}, {L"clBtnText", clBtnText},
        {L"clHighlight", clHighlight}, {L"clGrayText", clGrayText}, {L"clBlack", clBlack},
        {L"clWhite", clWhite},         {L"clRed", clRed},           {L"clGreen", clGreen},
        {L"clBlue", clBlue},           {L"clYellow", clYellow},
    };
    return names;
}

const TNames kCharsets = {
    {L"ANSI_CHARSET", ANSI_CHARSET},       {L"DEFAULT_CHARSET", DEFAULT_CHARSET},
    {L"SYMBOL_CHARSET", SYMBOL_CHARSET},   {L"OEM_CHARSET", OEM_CHARSET},
    {L"RUSSIAN_CHARSET", RUSSIAN_CHARSET}, {L"EASTEUROPE_CHARSET", EASTEUROPE_CHARSET}};

void RegisterFont() {
    RegisterPersistentClass<TFont>(L"TFont")
        .Text("Name", &TFont::SetName, &TFont::GetName)
        .Integer("Height", &TFont::SetHeight, &TFont::GetHeight)
        .Set("Style", &TFont::SetStyle, &TFont::GetStyle,
             {{L"fsBold", 0}, {L"fsItalic", 1}, {L"fsUnderline", 2}, {L"fsStrikeOut", 3}})
        .Integer("Color", &TFont::SetColor, &TFont::GetColor, ColorNames())
        .Integer("Charset", &TFont::SetCharset, &TFont::GetCharset, kCharsets);
}

void RegisterControls() {
    RegisterComponentClass<TControl>(L"TControl", nullptr)
        .Integer("Left", &TControl::SetLeft, &TControl::GetLeft)
        .Integer("Top", &TControl::SetTop, &TControl::GetTop)
        .Integer("Width", &TControl::SetWidth, &TControl::GetWidth)
        .Integer("Height", &TControl::SetHeight, &TControl::GetHeight)
        .Text("Caption", &TControl::SetText, &TControl::GetText)
        .Text("Text", &TControl::SetText, &TControl::GetText)
        .Boolean("Enabled", &TControl::SetEnabled, &TControl::GetEnabled)
        .Boolean("Visible", &TControl::SetVisible, &TControl::GetVisible)
        .Integer("Color", &TControl::SetColor, &TControl::GetColor, ColorNames())
        .Boolean("ParentColor", &TControl::SetParentColor, &TControl::GetParentColor)
        .Persistent("Font", &TControl::GetFont, "TFont")
        .Boolean("ParentFont", &TControl::SetParentFont, &TControl::GetParentFont)
        .Event("OnClick", &TControl::SetOnClick, &TControl::GetOnClick);
    RegisterComponentClass<TWinControl>(L"TWinControl", L"TControl")
        .Integer("TabOrder", &TWinControl::SetTabOrder, &TWinControl::GetTabOrder)
        .Boolean("TabStop", &TWinControl::SetTabStop, &TWinControl::GetTabStop);
    RegisterComponentClass<TForm>(L"TForm", L"TWinControl")
        .Enum("BorderStyle", &TForm::SetBorderStyle, &TForm::GetBorderStyle,
              {{L"bsNone", bsNone},
               {L"bsSingle", bsSingle},
               {L"bsSizeable", bsSizeable},
               {L"bsDialog", bsDialog},
               {L"bsToolWindow", bsToolWindow},
               {L"bsSizeToolWin", bsSizeToolWin}})
        .Integer("ClientWidth", &TForm::SetClientWidth, &TForm::GetClientWidth)
        .Integer("ClientHeight", &TForm::SetClientHeight, &TForm::GetClientHeight)
        .Integer("PixelsPerInch", &TForm::SetPixelsPerInch, &TForm::GetPixelsPerInch)
        .Integer("TextHeight", &TForm::SetTextHeight, &TForm::GetTextHeight)
        .Event("OnShow", &TForm::SetOnShow, &TForm::GetOnShow)
        .Event("OnClose", &TForm::SetOnClose, &TForm::GetOnClose);
    RegisterComponentClass<TLabel>(L"TLabel", L"TWinControl");
    RegisterComponentClass<TButton>(L"TButton", L"TWinControl");
    RegisterComponentClass<TCheckBox>(L"TCheckBox", L"TWinControl")
        .Boolean("Checked", &TCheckBox::SetChecked, &TCheckBox::GetChecked);
    RegisterComponentClass<TGroupBox>(L"TGroupBox", L"TWinControl");
    RegisterComponentClass<TMemo>(L"TMemo", L"TWinControl")
        .Strings("Lines", &TMemo::GetLines)
        .Boolean("ReadOnly", &TMemo::SetReadOnly, &TMemo::GetReadOnly)
        .Boolean("WordWrap", &TMemo::SetWordWrap, &TMemo::GetWordWrap)
        .Enum("ScrollBars", &TMemo::SetScrollBars, &TMemo::GetScrollBars,
              {{L"ssNone", TMemo::ssNone},
               {L"ssHorizontal", TMemo::ssHorizontal},
               {L"ssVertical", TMemo::ssVertical},
               {L"ssBoth", TMemo::ssBoth}});
    RegisterComponentClass<TListBox>(L"TListBox", L"TWinControl")
        .Strings("Items", &TListBox::GetItems)
        .Integer("ItemHeight", &TListBox::SetItemHeight, &TListBox::GetItemHeight);
    RegisterComponentClass<TComboBox>(L"TComboBox", L"TWinControl")
        .Strings("Items", &TComboBox::GetItems)
        .Enum("Style", &TComboBox::SetStyle, &TComboBox::GetStyle,
              {{L"csDropDown", TComboBox::csDropDown},
               {L"csDropDownList", TComboBox::csDropDownList}})
        .Integer("ItemHeight", &TComboBox::SetItemHeight, &TComboBox::GetItemHeight)
        .Integer("DropDownCount", &TComboBox::SetDropDownCount, &TComboBox::GetDropDownCount)
        .Boolean("Sorted", &TComboBox::SetSorted, &TComboBox::GetSorted)
        .Event("OnChange", &TComboBox::SetOnChange, &TComboBox::GetOnChange);
}

} // namespace

void RegisterControlClasses() {
    static bool done = false;
    if (done)
        return;
    done = true;
    RegisterFont();
    RegisterControls();
}

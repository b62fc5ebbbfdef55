#include "toolkit/graphics.h"

COLORREF ColorToRGB(TColor Color) {
    if (Color < 0)
        return GetSysColor(Color & 0xFF);
    return static_cast<COLORREF>(Color);
}

TFont::TFont()
    : fName(L"MS Sans Serif"), fHeight(-11), fColor(clWindowText), fCharset(DEFAULT_CHARSET) {}

void TFont::Assign(const TPersistent& Source) {
    auto* f = dynamic_cast<const TFont*>(&Source);
    if (!f) {
        TPersistent::Assign(Source);
        return;
    }
    fName = f->fName;
    fHeight = f->fHeight;
    fStyle = f->fStyle;
    fColor = f->fColor;
    fCharset = f->fCharset;
    Changed();
}

void TFont::SetName(const String& Value) {
    if (Value != fName) {
        fName = Value;
        Changed();
    }
}

void TFont::SetHeight(int Value) {
    if (Value != fHeight) {
        fHeight = Value;
        Changed();
    }
}

void TFont::SetStyle(TFontStyles Value) {
    if (Value != fStyle) {
        fStyle = Value;
        Changed();
    }
}

void TFont::SetColor(TColor Value) {
    if (Value != fColor) {
        fColor = Value;
        Changed();
    }
}

void TFont::SetCharset(int Value) {
    if (Value != fCharset) {
        fCharset = Value;
        Changed();
    }
}

HFONT TFont::Handle() {
    if (!fHandle.Get()) {
        fHandle.Reset(CreateFontW(
            fHeight, 0, 0, 0, fStyle.Contains(TFontStyle::fsBold) ? FW_BOLD : FW_NORMAL,
            fStyle.Contains(TFontStyle::fsItalic), fStyle.Contains(TFontStyle::fsUnderline),
            fStyle.Contains(TFontStyle::fsStrikeOut), static_cast<BYTE>(fCharset),
            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
            fName.c_str()));
    }
    return fHandle.Get();
}

void TFont::Changed() {
    fHandle.Reset();
    if (OnChange)
        OnChange(this);
}

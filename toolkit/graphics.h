#pragma once
// Colours and fonts of the controls.
//
// A TColor is an RGB value (0x00BBGGRR) or a system colour (0x80000000 | COLOR_xxx),
// which is looked up when painting. A TFont describes a font by name, height in pixels
// (negative: the character height, as form files store it), style, colour and character
// set; it creates its GDI font on demand and releases it when it changes or dies.

#include "toolkit/components.h"
#include "toolkit/events.h"
#include "toolkit/sets.h"

#include <cstdint>
#include <utility>

#include <windows.h>

using TColor = std::int32_t;

constexpr TColor SystemColor(int index) {
    return static_cast<TColor>(0x80000000u | static_cast<unsigned>(index));
}

constexpr TColor clBtnFace = SystemColor(COLOR_BTNFACE);
constexpr TColor clWindow = SystemColor(COLOR_WINDOW);
constexpr TColor clWindowText = SystemColor(COLOR_WINDOWTEXT);
constexpr TColor clInfoBk = SystemColor(COLOR_INFOBK);
constexpr TColor clInfoText = SystemColor(COLOR_INFOTEXT);
constexpr TColor clBtnText = SystemColor(COLOR_BTNTEXT);
constexpr TColor clHighlight = SystemColor(COLOR_HIGHLIGHT);
constexpr TColor clGrayText = SystemColor(COLOR_GRAYTEXT);
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clGreen = 0x008000;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clYellow = 0x00FFFF;

// The RGB value of a colour, system colours looked up now.
COLORREF ColorToRGB(TColor Color);

// Owns one GDI object.
template <class H> class TGdiObject {
public:
    TGdiObject() = default;
    explicit TGdiObject(H h) : fHandle(h) {}
    TGdiObject(const TGdiObject&) = delete;
    TGdiObject& operator=(const TGdiObject&) = delete;
    TGdiObject(TGdiObject&& o) noexcept : fHandle(std::exchange(o.fHandle, nullptr)) {}
    TGdiObject& operator=(TGdiObject&& o) noexcept {
        Reset(std::exchange(o.fHandle, nullptr));
        return *this;
    }
    ~TGdiObject() { Reset(); }
    H Get() const { return fHandle; }
    void Reset(H h = nullptr) {
        if (fHandle)
            DeleteObject(fHandle);
        fHandle = h;
    }

private:
    H fHandle = nullptr;
};

enum class TFontStyle { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = TSet<TFontStyle>;

class TFont : public TPersistent {
public:
    TFont();

    void Assign(const TPersistent& Source) override;

    const String& GetName() const { return fName; }
    void SetName(const String& Value);
    int GetHeight() const { return fHeight; }
    void SetHeight(int Value);
    TFontStyles GetStyle() const { return fStyle; }
    void SetStyle(TFontStyles Value);
    TColor GetColor() const { return fColor; }
    void SetColor(TColor Value);
    int GetCharset() const { return fCharset; }
    void SetCharset(int Value);

    // The GDI font, created on first demand.
    HFONT Handle();

    // Raised after every change.
    TNotifyEvent OnChange;

private:
    void Changed();

    String fName;
    int fHeight;
    TFontStyles fStyle;
    TColor fColor;
    int fCharset;
    TGdiObject<HFONT> fHandle;
};

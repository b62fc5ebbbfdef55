#pragma once
// The form-file parser: text in, a tree of objects with typed property values out.
// Plain standard C++; line numbers are kept for every object, property and value.
//
//   object Form1: TForm1
//     Left = 308
//     Caption = 'Bluetooth demo'#13#10'second line'
//     Font.Name = 'MS Sans Serif'
//     BorderIcons = [biSystemMenu, biHelp]
//     Lines.Strings = (
//       'Memo1')
//     object Button1: TButton
//       OnClick = Button1Click
//     end
//   end
//
// Values: integers (decimal with an optional sign, or $hex), strings in single quotes
// ('' for a quote, #n for the character n, pieces joined by '+' or side by side),
// identifiers, sets of identifiers in [ ], and lists of strings in ( ). Text is UTF-8.
// Objects nest at most 100 deep.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct TFormValue {
    enum class TKind { fvInteger, fvString, fvIdent, fvSet, fvList };
    TKind Kind = TKind::fvInteger;
    long long Integer = 0;
    std::string Text;               // the string or the identifier
    std::vector<std::string> Items; // the set's members or the list's strings
    int Line = 0;
};

struct TFormProperty {
    std::string Path; // "Left", "Font.Name", "Lines.Strings"
    TFormValue Value;
    int Line = 0;
};

struct TFormObject {
    std::string Name;
    std::string ClassName;
    int Line = 0;
    std::vector<TFormProperty> Properties;
    std::vector<TFormObject> Children;
};

class EFormParseError : public std::runtime_error {
public:
    EFormParseError(int line, const std::string& message);
    int Line() const { return fLine; }
    const std::string& Detail() const { return fDetail; }

private:
    int fLine;
    std::string fDetail;
};

TFormObject ParseFormFile(std::string_view text);

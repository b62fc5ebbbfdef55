#include "toolkit/formparser.h"

#include <cctype>

EFormParseError::EFormParseError(int line, const std::string& message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), fLine(line),
      fDetail(message) {}

namespace {

struct TToken {
    enum class TKind { tkEnd, tkIdent, tkInteger, tkString, tkSymbol };
    TKind Kind = TKind::tkEnd;
    std::string Text;
    long long Integer = 0;
    int Line = 1;
};

void AppendUtf8(std::string& s, unsigned long c) {
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

class TLexer {
public:
    explicit TLexer(std::string_view text) : fText(text) {}

    TToken Next() {
        SkipBlanks();
        TToken t;
        t.Line = fLine;
        if (fPos >= fText.size())
            return t;
        char c = fText[fPos];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            t.Kind = TToken::TKind::tkIdent;
            while (fPos < fText.size() && (std::isalnum(static_cast<unsigned char>(fText[fPos])) ||
                                           fText[fPos] == '_' || fText[fPos] == '.'))
                t.Text += fText[fPos++];
            if (t.Text.back() == '.')
                throw EFormParseError(t.Line, "a name must not end with '.'");
            return t;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '$') {
            t.Kind = TToken::TKind::tkInteger;
            t.Integer = ReadInteger(t.Line);
            return t;
        }
        if (c == '\'' || c == '#') {
            t.Kind = TToken::TKind::tkString;
            t.Text = ReadString(t.Line);
            return t;
        }
        if (std::string_view("=:[](),").find(c) != std::string_view::npos) {
            t.Kind = TToken::TKind::tkSymbol;
            t.Text = std::string(1, c);
            ++fPos;
            return t;
        }
        throw EFormParseError(fLine, std::string("unexpected character '") + c + "'");
    }

private:
    void SkipBlanks() {
        while (fPos < fText.size()) {
            char c = fText[fPos];
            if (c == '\n') {
                ++fLine;
                ++fPos;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++fPos;
            } else {
                break;
            }
        }
    }

    long long ReadInteger(int line) {
        bool negative = false;
        if (fText[fPos] == '-') {
            negative = true;
            ++fPos;
        }
        int base = 10;
        if (fPos < fText.size() && fText[fPos] == '$') {
            base = 16;
            ++fPos;
        }
        unsigned long long v = 0;
        size_t start = fPos;
        while (fPos < fText.size()) {
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(fText[fPos])));
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else
                break;
            if (v >
                (0xFFFFFFFFFFFFFFFFull - static_cast<unsigned>(d)) / static_cast<unsigned>(base))
                throw EFormParseError(line, "number too large");
            v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
            ++fPos;
        }
        if (fPos == start)
            throw EFormParseError(line, "a number without digits");
        if (fPos < fText.size() &&
            (std::isalpha(static_cast<unsigned char>(fText[fPos])) || fText[fPos] == '_'))
            throw EFormParseError(line, "a number followed by letters");
        if (base == 10 && v > (negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull))
            throw EFormParseError(line, "number too large");
        long long r = static_cast<long long>(v);
        return negative ? -r : r;
    }

    std::string ReadString(int line) {
        std::string s;
        for (;;) {
            if (fPos < fText.size() && fText[fPos] == '\'') {
                ++fPos;
                for (;;) {
                    if (fPos >= fText.size() || fText[fPos] == '\n')
                        throw EFormParseError(line, "unterminated string");
                    char c = fText[fPos++];
                    if (c == '\'') {
                        if (fPos < fText.size() && fText[fPos] == '\'') {
                            s += '\'';
                            ++fPos;
                            continue;
                        }
                        break;
                    }
                    s += c;
                }
            } else if (fPos < fText.size() && fText[fPos] == '#') {
                ++fPos;
                unsigned long code = 0;
                size_t start = fPos;
                while (fPos < fText.size() &&
                       std::isdigit(static_cast<unsigned char>(fText[fPos]))) {
                    code = code * 10 + static_cast<unsigned long>(fText[fPos++] - '0');
                    if (code > 0x10FFFF)
                        throw EFormParseError(line, "character code too large");
                }
                if (fPos == start)
                    throw EFormParseError(line, "'#' without a character code");
                AppendUtf8(s, code);
            } else {
                break;
            }
            // A '+' joins the next piece, also on the next line.
            size_t save = fPos;
            int saveLine = fLine;
            SkipBlanks();
            if (fPos < fText.size() && fText[fPos] == '+') {
                ++fPos;
                SkipBlanks();
                if (fPos >= fText.size() || (fText[fPos] != '\'' && fText[fPos] != '#'))
                    throw EFormParseError(fLine, "'+' must be followed by a string");
            } else {
                fPos = save;
                fLine = saveLine;
            }
        }
        return s;
    }

    std::string_view fText;
    size_t fPos = 0;
    int fLine = 1;
};

class TParser {
public:
    explicit TParser(std::string_view text) : fLexer(text) { Advance(); }

    TFormObject ParseFile() {
        TFormObject root = ParseObject();
        if (fToken.Kind != TToken::TKind::tkEnd)
            throw EFormParseError(fToken.Line, "text after the final 'end'");
        return root;
    }

private:
    void Advance() { fToken = fLexer.Next(); }

    bool IsKeyword(const char* word) const {
        if (fToken.Kind != TToken::TKind::tkIdent ||
            fToken.Text.size() != std::char_traits<char>::length(word))
            return false;
        for (size_t i = 0; i < fToken.Text.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(fToken.Text[i])) != word[i])
                return false;
        return true;
    }

    bool IsSymbol(char c) const {
        return fToken.Kind == TToken::TKind::tkSymbol && fToken.Text[0] == c;
    }

    void Expect(char c) {
        if (!IsSymbol(c))
            throw EFormParseError(fToken.Line, std::string("expected '") + c + "'" + Found());
        Advance();
    }

    std::string ExpectName(const char* what) {
        if (fToken.Kind != TToken::TKind::tkIdent || fToken.Text.find('.') != std::string::npos)
            throw EFormParseError(fToken.Line, std::string("expected ") + what + Found());
        std::string s = fToken.Text;
        Advance();
        return s;
    }

    std::string Found() const {
        switch (fToken.Kind) {
        case TToken::TKind::tkEnd:
            return ", found the end of the file";
        case TToken::TKind::tkString:
            return ", found a string";
        case TToken::TKind::tkInteger:
            return ", found a number";
        default:
            return ", found '" + fToken.Text + "'";
        }
    }

    TFormObject ParseObject() {
        if (!IsKeyword("object"))
            throw EFormParseError(fToken.Line, "expected 'object'" + Found());
        // Every nested object takes a frame of the stack: a bound far beyond any real
        // form keeps a deeply nested text from overflowing it.
        if (fDepth == kMaxDepth)
            throw EFormParseError(fToken.Line, "objects nested more than " +
                                                   std::to_string(kMaxDepth) + " deep");
        ++fDepth;
        TFormObject obj;
        obj.Line = fToken.Line;
        Advance();
        obj.Name = ExpectName("an object name");
        Expect(':');
        obj.ClassName = ExpectName("a class name");
        for (;;) {
            if (IsKeyword("end")) {
                Advance();
                --fDepth;
                return obj;
            }
            if (IsKeyword("object")) {
                obj.Children.push_back(ParseObject());
                continue;
            }
            if (fToken.Kind != TToken::TKind::tkIdent)
                throw EFormParseError(fToken.Line,
                                      "expected a property, 'object' or 'end'" + Found());
            TFormProperty prop;
            prop.Line = fToken.Line;
            prop.Path = fToken.Text;
            Advance();
            Expect('=');
            prop.Value = ParseValue();
            obj.Properties.push_back(std::move(prop));
        }
    }

    TFormValue ParseValue() {
        TFormValue v;
        v.Line = fToken.Line;
        switch (fToken.Kind) {
        case TToken::TKind::tkInteger:
            v.Kind = TFormValue::TKind::fvInteger;
            v.Integer = fToken.Integer;
            Advance();
            return v;
        case TToken::TKind::tkString:
            v.Kind = TFormValue::TKind::fvString;
            v.Text = fToken.Text;
            Advance();
            return v;
        case TToken::TKind::tkIdent:
            if (IsKeyword("end") || IsKeyword("object"))
                break;
            v.Kind = TFormValue::TKind::fvIdent;
            v.Text = fToken.Text;
            Advance();
            return v;
        case TToken::TKind::tkSymbol:
            if (IsSymbol('[')) {
                v.Kind = TFormValue::TKind::fvSet;
                Advance();
                if (!IsSymbol(']')) {
                    for (;;) {
                        v.Items.push_back(ExpectName("a set member"));
                        if (IsSymbol(']'))
                            break;
                        Expect(',');
                    }
                }
                Advance();
                return v;
            }
            if (IsSymbol('(')) {
                v.Kind = TFormValue::TKind::fvList;
                Advance();
                while (fToken.Kind == TToken::TKind::tkString) {
                    v.Items.push_back(fToken.Text);
                    Advance();
                }
                Expect(')');
                return v;
            }
            break;
        default:
            break;
        }
        throw EFormParseError(fToken.Line, "expected a value" + Found());
    }

    static constexpr int kMaxDepth = 100;

    TLexer fLexer;
    TToken fToken;
    int fDepth = 0;
};

} // namespace

TFormObject ParseFormFile(std::string_view text) {
    return TParser(text).ParseFile();
}

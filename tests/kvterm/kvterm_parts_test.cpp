// kvterm's parts as functions: the command line, the console's keys, line ends, hex
// lines and service classes. (The program itself: kvterm_test.cpp.)
#include "kvterm/bytes.h"
#include "kvterm/devices.h"
#include "kvterm/keys.h"
#include "kvterm/options.h"
#include "kvterm/output.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

KEY_EVENT_RECORD Key(WORD VirtualKey, wchar_t Char, DWORD State = 0, WORD Repeat = 1,
                     bool Down = true) {
    KEY_EVENT_RECORD k{};
    k.bKeyDown = Down;
    k.wRepeatCount = Repeat;
    k.wVirtualKeyCode = VirtualKey;
    k.uChar.UnicodeChar = Char;
    k.dwControlKeyState = State;
    return k;
}

TEST(KvtermKeys, KeysBecomeTheBytesOfAVtTerminalAndTheEscapeKeySendsNothing) {
    const struct {
        KEY_EVENT_RECORD Key;
        std::string Bytes;
    } cases[] = {
        {Key('A', L'a'), "a"},
        {Key('A', L'a', 0, 3), "aaa"},               // held down
        {Key('A', L'a', 0, 1, false), ""},           // released
        {Key('C', 0x03, LEFT_CTRL_PRESSED), "\x03"}, // Ctrl+C goes to the device
        {Key(VK_RETURN, L'\r'), "\r"},               // Enter: the line end given
        {Key(VK_BACK, 0x08), "\x7F"},                // Backspace: DEL
        {Key(VK_BACK, 0x7F, LEFT_CTRL_PRESSED), "\x08"},
        {Key(VK_TAB, L'\t'), "\t"},
        {Key(VK_TAB, L'\t', SHIFT_PRESSED), "\x1B[Z"},
        {Key(VK_ESCAPE, 0x1B), "\x1B"},
        {Key(VK_UP, 0), "\x1B[A"},
        {Key(VK_DOWN, 0), "\x1B[B"},
        {Key(VK_RIGHT, 0), "\x1B[C"},
        {Key(VK_LEFT, 0, LEFT_CTRL_PRESSED), "\x1B[1;5D"},
        {Key(VK_HOME, 0), "\x1B[H"},
        {Key(VK_END, 0, SHIFT_PRESSED), "\x1B[1;2F"},
        {Key(VK_INSERT, 0), "\x1B[2~"},
        {Key(VK_DELETE, 0), "\x1B[3~"},
        {Key(VK_PRIOR, 0), "\x1B[5~"},
        {Key(VK_NEXT, 0, RIGHT_ALT_PRESSED), "\x1B[6;3~"},
        {Key(VK_F1, 0), "\x1BOP"},
        {Key(VK_F4, 0), "\x1BOS"},
        {Key(VK_F2, 0, LEFT_CTRL_PRESSED | SHIFT_PRESSED), "\x1B[1;6Q"},
        {Key(VK_F5, 0), "\x1B[15~"},
        {Key(VK_F10, 0), "\x1B[21~"},
        {Key(VK_F12, 0), "\x1B[24~"},
        {Key('X', L'x', LEFT_ALT_PRESSED), "\x1Bx"},                  // Alt: ESC first
        {Key('Q', L'@', LEFT_CTRL_PRESSED | RIGHT_ALT_PRESSED), "@"}, // AltGr types
        {Key(0, 0xE9), "\xC3\xA9"},                                   // UTF-8
        {Key(0, 0x20AC), "\xE2\x82\xAC"},
        {Key(VK_SHIFT, 0, SHIFT_PRESSED), ""},            // a modifier alone
        {Key(VK_MENU, L'\xE9', 0, 1, false), "\xC3\xA9"}, // Alt and the keypad
        {Key(0, 0x1D, LEFT_CTRL_PRESSED), ""},            // the escape key
    };
    for (const auto& c : cases) {
        TKeyTranslator keys("\r", 0x1D);
        std::string out;
        const bool escape = keys.Translate(c.Key, out);
        EXPECT_EQ(out, c.Bytes) << "key " << c.Key.wVirtualKeyCode << " char "
                                << int(c.Key.uChar.UnicodeChar);
        EXPECT_EQ(escape, c.Key.uChar.UnicodeChar == 0x1D);
    }

    // Enter as --eol says; a character beyond the BMP comes in two events.
    TKeyTranslator keys("\r\n", 0x11);
    std::string out;
    EXPECT_FALSE(keys.Translate(Key(VK_RETURN, L'\r'), out));
    EXPECT_FALSE(keys.Translate(Key(0, 0xD83D), out));
    EXPECT_FALSE(keys.Translate(Key(0, 0xDE00), out));
    EXPECT_FALSE(keys.Translate(Key(0, 0xDE00), out)); // half a character alone: nothing
    EXPECT_FALSE(keys.Translate(Key(0, 0x1D, LEFT_CTRL_PRESSED), out)); // not the escape now
    EXPECT_TRUE(keys.Translate(Key('Q', 0x11, LEFT_CTRL_PRESSED), out));
    EXPECT_EQ(out, "\r\n\xF0\x9F\x98\x80\x1D");
}

TEST(KvtermBytes, LineEndsBecomeTheOneAskedForAcrossPieces) {
    TEolTranslator crlf("\r\n");
    EXPECT_EQ(crlf.Translate("one\ntwo\r\nthree\rfour\n\n"), "one\r\ntwo\r\nthree\r\nfour\r\n\r\n");
    EXPECT_EQ(crlf.Translate("five\r"), "five\r\n");
    EXPECT_EQ(crlf.Translate("\nsix"), "six"); // the LF of a CR LF cut in two
    TEolTranslator lf("\n");
    EXPECT_EQ(lf.Translate("a\r\nb\rc\n"), "a\nb\nc\n");
}

TEST(KvtermBytes, HexDumpLinesCarryOffsetBytesAndText) {
    EXPECT_EQ(HexLine(0, "Hello, kvterm!\x00\x01"sv),
              "00000000  48 65 6C 6C 6F 2C 20 6B  76 74 65 72 6D 21 00 01  |Hello, kvterm!..|");
    EXPECT_EQ(HexLine(0x10, "\x7F\xFF\r\n"),
              "00000010  7F FF 0D 0A                                       |....|");
    // Past 4 GiB the offset grows a digit, and the text column moves with it.
    const std::string wide = HexLine(0x123456789, "ab");
    EXPECT_EQ(wide.substr(0, 17), "123456789  61 62 ");
    EXPECT_EQ(wide.size(), HexLine(0, "ab").size() + 1);
    EXPECT_EQ(wide.substr(wide.size() - 5), " |ab|");

    THexDump dump("< ");
    std::vector<std::string> lines;
    dump.Add(std::string(10, 'a'), lines);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(dump.Pending());
    dump.Add(std::string(30, 'b'), lines); // completes two lines, leaves 8 bytes
    dump.Flush(lines);
    dump.Add("c", lines);
    dump.Flush(lines);
    EXPECT_FALSE(dump.Pending());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 12), "< 00000000  ");
    EXPECT_EQ(lines[1].substr(0, 12), "< 00000010  ");
    EXPECT_EQ(lines[2], "< " + HexLine(0x20, std::string(8, 'b')));
    EXPECT_EQ(lines[3], "< " + HexLine(0x28, "c")); // the stream goes on after a flush
}

// What a pipe holds now.
std::string Drain(HANDLE Pipe) {
    std::string bytes;
    DWORD available = 0;
    while (PeekNamedPipe(Pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        ReadFile(Pipe, chunk.data(), available, &read, nullptr);
        bytes.append(chunk, 0, read);
    }
    return bytes;
}

TEST(KvtermOutput, HexLinesWaitForMoreEchoedLinesFollowWhatCameBeforeAndAFailedWriteTells) {
    HANDLE read, write;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 16));
    {
        TOutput out(write, true, true);
        out.Received("0123456789ABCDEFGHIJ");
        EXPECT_EQ(Drain(read), "< " + HexLine(0, "0123456789ABCDEF") + "\r\n");
        EXPECT_TRUE(out.Waiting());
        out.Sent("xy"); // the received line waiting goes first
        EXPECT_EQ(Drain(read), "< " + HexLine(16, "GHIJ") + "\r\n> " + HexLine(0, "xy") + "\r\n");
        out.Received("K");
        out.Flush(); // the end of the link
        EXPECT_EQ(Drain(read), "< " + HexLine(20, "K") + "\r\n");
        EXPECT_FALSE(out.Waiting());
    }
    {
        TOutput out(write, false, true);
        out.Received("ab");
        out.Sent("cd");
        TOutput quiet(write, false, false);
        quiet.Sent("not shown");
        EXPECT_EQ(Drain(read), "abcd");
        EXPECT_EQ(out.Failure(), 0u);
        CloseHandle(read); // the reader of the pipe has gone
        out.Received("lost");
        EXPECT_NE(out.Failure(), 0u);
    }
    CloseHandle(write);
}

TEST(KvtermOptions, CommandLinesAreReadAndBadOnesRefusedWithTheReason) {
    TOptions o =
        ParseCommandLine({L"connect", L"--world", L"w.world", L"Echo Box", L"--service", L"0x1101",
                          L"--eol", L"CRLF", L"--echo", L"--hex", L"--log", L"c.log", L"--timeout",
                          L"1500", L"--reconnect", L"--idle-exit", L"0", L"--escape", L"^q"});
    EXPECT_EQ(o.Command, TCommand::Connect);
    EXPECT_EQ(o.World, L"w.world");
    EXPECT_EQ(o.Device, L"Echo Box");
    EXPECT_EQ(o.Service, L"0x1101");
    EXPECT_EQ(o.Eol, "\r\n");
    EXPECT_TRUE(o.Echo && o.Hex && o.Reconnect && o.IdleExit);
    EXPECT_EQ(o.LogFile, L"c.log");
    EXPECT_EQ(o.TimeoutMs, 1500u);
    EXPECT_EQ(o.IdleExitMs, 0u);
    EXPECT_EQ(o.EscapeChar, 0x11);
    EXPECT_EQ(o.EscapeName, "Ctrl+Q");
    o = ParseCommandLine({L"list", L"--scan", L"57"});
    EXPECT_EQ(o.ScanSeconds, 57);
    EXPECT_EQ(ParseCommandLine({L"--help"}).Command, TCommand::Help);

    const struct {
        std::vector<String> Arguments;
        const char* Says;
    } bad[] = {
        {{}, "no command"},
        {{L"lst"}, "unknown command 'lst'"},
        {{L"connect"}, "connect needs a DEVICE"},
        {{L"services", L"a", L"b"}, "one argument too many: 'b'"},
        {{L"connect", L"a", L"--baud", L"9600"}, "unknown option '--baud'"},
        {{L"connect", L"a", L"--log"}, "--log needs a value"},
        {{L"connect", L"a", L"--eol", L"nl"}, "--eol takes cr, lf or crlf, not 'nl'"},
        {{L"connect", L"a", L"--timeout", L"-1"}, "--timeout takes a number from 0 to"},
        {{L"connect", L"a", L"--idle-exit", L"99999999999"}, "--idle-exit takes a number"},
        {{L"connect", L"a", L"--escape", L"Ctrl+@"}, "--escape takes Ctrl+"},
        {{L"connect", L"a", L"--escape", L"F12"}, "--escape takes Ctrl+"},
        {{L"list", L"--scan", L"1"}, "--scan takes 2 to 57 seconds"},
        {{L"list", L"--scan", L"58"}, "--scan takes a number from 0 to 57"},
        {{L"list", L"Echo"}, "one argument too many"},
        {{L"services", L"a", L"--hex"}, "--hex belongs to the connect command"},
        {{L"connect", L"a", L"--scan", L"5"}, "--scan belongs to the list command"},
    };
    for (const auto& c : bad) {
        try {
            ParseCommandLine(c.Arguments);
            ADD_FAILURE() << "accepted: " << c.Says;
        } catch (const EExit& e) {
            EXPECT_EQ(e.Code, ecUsage);
            EXPECT_TRUE(e.ShowUsage);
            EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos) << e.what();
        }
    }
}

TEST(KvtermOptions, EscapeKeysAreControlCharacters) {
    const struct {
        const wchar_t* Text;
        wchar_t Char; // 0: refused
    } cases[] = {{L"Ctrl+]", 0x1D}, {L"ctrl-a", 0x01}, {L"^Z", 0x1A},   {L"^[", 0x1B},
                 {L"CTRL+_", 0x1F}, {L"Ctrl+", 0},     {L"Ctrl+ab", 0}, {L"Ctrl+1", 0},
                 {L"]", 0},         {L"Alt+x", 0}};
    for (const auto& c : cases) {
        wchar_t ch = 0;
        EXPECT_EQ(ParseEscapeKey(c.Text, ch), c.Char != 0) << std::wstring(c.Text);
        if (c.Char) {
            EXPECT_EQ(ch, c.Char) << std::wstring(c.Text);
        }
    }
}

TEST(KvtermServices, ClassesReadAndWriteAsShortUuidsOrGuids) {
    const struct {
        const wchar_t* Text;
        bool Read;
        const char* Written;
    } cases[] = {
        {L"0x1101", true, "0x1101"},
        {L"0X110b", true, "0x110B"},
        {L"0x12345678", true, "0x12345678"},
        {L"{00001105-0000-1000-8000-00805F9B34FB}", true, "0x1105"},
        {L"00001105-0000-1000-8000-00805f9b34fb", true, "0x1105"},
        {L"{12345678-9ABC-DEF0-1234-56789ABCDEF0}", true, "{12345678-9ABC-DEF0-1234-56789ABCDEF0}"},
        {L"0x", false, ""},
        {L"0x123456789", false, ""},
        {L"0x11g1", false, ""},
        {L"Serial Port", false, ""},
        {L"{12345678-9ABC-DEF0-1234-56789ABCDEF}", false, ""},
    };
    for (const auto& c : cases) {
        GUID g{};
        EXPECT_EQ(TextToServiceClass(c.Text, g), c.Read) << std::wstring(c.Text);
        if (c.Read) {
            EXPECT_EQ(ServiceClassText(g), c.Written) << std::wstring(c.Text);
        }
    }
}

} // namespace

#pragma once
// The AT command interpreter of a modem peer. A command ends at a carriage return;
// line feeds are ignored, so "AT\r" and "AT\r\n" are one command each.

#include <string>
#include <string_view>

namespace kvsim {

class TModem {
public:
    // Takes received bytes and returns the answers to the commands they complete:
    // "\r\nOK\r\n" for AT and the usual set-up commands, "\r\nERROR\r\n" for the rest.
    std::string Feed(std::string_view Bytes);

private:
    std::string fLine;
    bool fOverlong = false; // the command outgrew any known one; it answers ERROR
};

} // namespace kvsim

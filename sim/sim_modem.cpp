#include "sim/sim_modem.h"

#include <algorithm>
#include <cctype>

namespace kvsim {

namespace {

constexpr size_t kMaxCommand = 256;

bool Known(const std::string& command) {
    static const char* const kCommands[] = {"AT",  "ATZ",  "AT&F", "ATE0", "ATE1",
                                            "ATH", "ATH0", "ATI",  "ATV1", "ATQ0"};
    return std::any_of(std::begin(kCommands), std::end(kCommands),
                       [&](const char* known) { return command == known; });
}

} // namespace

std::string TModem::Feed(std::string_view Bytes) {
    std::string answers;
    for (char c : Bytes) {
        if (c == '\n')
            continue;
        if (c != '\r') {
            if (fLine.size() < kMaxCommand)
                fLine += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            else
                fOverlong = true;
            continue;
        }
        size_t first = fLine.find_first_not_of(' ');
        size_t last = fLine.find_last_not_of(' ');
        std::string command =
            first == std::string::npos ? "" : fLine.substr(first, last - first + 1);
        if (!command.empty() || fOverlong)
            answers += !fOverlong && Known(command) ? "\r\nOK\r\n" : "\r\nERROR\r\n";
        fLine.clear();
        fOverlong = false;
    }
    return answers;
}

} // namespace kvsim

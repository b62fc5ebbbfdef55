#pragma once
// The driver's one error: whatever it cannot do, and every deadline it misses, ends in
// EDriverError with a message that says what it tried and on which window.

#include "toolkit/exceptions.h"

#include <windows.h>

namespace kvdriver {

class EDriverError : public Exception {
public:
    using Exception::Exception;
};

// Throws EDriverError: What, then the system's text for the error code.
[[noreturn]] void ThrowSystemError(const String& What, DWORD Error);

} // namespace kvdriver

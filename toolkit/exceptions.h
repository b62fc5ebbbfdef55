#pragma once
// The toolkit's exceptions. Every one carries a UTF-16 message; what() gives it as UTF-8.

#include "toolkit/text.h"

#include <exception>

// The general error.
class Exception : public std::exception {
public:
    explicit Exception(String message);
    const String& Message() const noexcept { return fMessage; }
    const char* what() const noexcept override { return fWhat.c_str(); }

private:
    String fMessage;
    std::string fWhat;
};

// A position outside a list.
class EListError : public Exception {
public:
    using Exception::Exception;
};

// A call of an operation that the class does not implement.
class EAbstractError : public Exception {
public:
    using Exception::Exception;
};

// A value that cannot be converted, such as an impossible date.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Throws EListError for a position outside a list.
[[noreturn]] void ThrowListIndexError(long long index);

// Throws EAbstractError naming the operation.
[[noreturn]] void ThrowAbstractError(const wchar_t* operation);

// The message of any exception: Exception's own text, else what() as UTF-8.
String ExceptionMessage(const std::exception& e);

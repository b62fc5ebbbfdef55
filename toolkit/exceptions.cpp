#include "toolkit/exceptions.h"

Exception::Exception(String message)
    : fMessage(std::move(message)), fWhat(StringToUtf8(fMessage)) {}

void ThrowListIndexError(long long index) {
    throw EListError(L"List index out of bounds (" + IntToStr(index) + L")");
}

void ThrowAbstractError(const wchar_t* operation) {
    throw EAbstractError(String(L"Abstract error: ") + operation + L" is not implemented");
}

String ExceptionMessage(const std::exception& e) {
    if (auto* own = dynamic_cast<const Exception*>(&e))
        return own->Message();
    return Utf8ToString(e.what());
}

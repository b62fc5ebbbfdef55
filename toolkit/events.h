#pragma once
// Events: a callback with context, the pair of an object and a function.
//
// An event is made from a member function: TEvent<void(TObject*)>::Bind<&TForm1::Click>(this).
// Each method has one thunk, so two bindings of the same method on the same object compare
// equal, and two objects with the same method compare unequal. An event is assigned when
// its function part is set. No std::function: events are values that can be compared.

#include <typeinfo>
#include <utility>

class TObject;

// The raw parts of any event, as the form-file reader handles them.
struct TMethod {
    void* Data = nullptr;
    void (*Code)() = nullptr;
    friend bool operator==(const TMethod&, const TMethod&) = default;
};

namespace tk_detail {
template <typename M> struct MethodClass;
template <typename C, typename R, typename... P> struct MethodClass<R (C::*)(P...)> {
    using Type = C;
};
template <typename C, typename R, typename... P> struct MethodClass<R (C::*)(P...) const> {
    using Type = C;
};
} // namespace tk_detail

template <typename Signature> class TEvent;

template <typename R, typename... A> class TEvent<R(A...)> {
public:
    using TThunk = R (*)(void*, A...);

    constexpr TEvent() = default;
    constexpr TEvent(std::nullptr_t) {}

    // Binds Method (a member function taking A...) to obj.
    template <auto Method>
    static TEvent Bind(typename tk_detail::MethodClass<decltype(Method)>::Type* obj) {
        TEvent e;
        e.fData = static_cast<void*>(obj);
        e.fCode = &Thunk<Method>;
        return e;
    }

    bool Assigned() const { return fCode != nullptr; }
    explicit operator bool() const { return Assigned(); }

    R operator()(A... a) const { return fCode(fData, std::forward<A>(a)...); }

    void* Data() const { return fData; }
    TThunk Code() const { return fCode; }

    TMethod AsMethod() const { return {fData, reinterpret_cast<void (*)()>(fCode)}; }
    static TEvent FromMethod(const TMethod& m) {
        TEvent e;
        e.fData = m.Data;
        e.fCode = reinterpret_cast<TThunk>(m.Code);
        return e;
    }

    friend bool operator==(const TEvent&, const TEvent&) = default;

private:
    template <auto Method> static R Thunk(void* obj, A... a) {
        using C = typename tk_detail::MethodClass<decltype(Method)>::Type;
        return (static_cast<C*>(obj)->*Method)(std::forward<A>(a)...);
    }

    void* fData = nullptr;
    TThunk fCode = nullptr;
};

// The plain event with the sender only.
using TNotifyEvent = TEvent<void(TObject* Sender)>;

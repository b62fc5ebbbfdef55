#pragma once
// The form-file reader and its registries.
//
// Classes register by name, with their parent class and (for components) a factory, and
// publish properties with typed writers and readers. ReadForm fills a root component
// (the form) from a form file: every nested object is created by its class name with
// the root as owner and put into its loading phase, its stored values go through the
// writers, component references and events are resolved by name once all objects
// exist, and then every component, the root first and the others in creation order,
// runs Loaded (which ends its loading phase). A malformed file, an unknown class,
// property, value or name, or a handler of another event type raises Exception naming
// the line and the item; the components created so far are destroyed again.

#include "toolkit/components.h"
#include "toolkit/events.h"
#include "toolkit/exceptions.h"
#include "toolkit/lists.h"

#include <functional>
#include <limits>
#include <map>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <variant>
#include <vector>

enum class TPropKind {
    pkInteger,
    pkBoolean,
    pkEnum,
    pkSet,
    pkText,
    pkStrings,
    pkPersistent,
    pkComponent,
    pkEvent
};

// A property value in its typed form: integers, enumerations and sets (as bits) are
// long long; a nested persistent object or a string list is reached through its pointer.
using TPropValue = std::variant<std::monostate, long long, bool, String, TComponent*, TMethod,
                                TPersistent*, TStrings*>;

struct TPropInfo {
    String Name;
    TPropKind Kind = TPropKind::pkInteger;
    // Value names: enumeration values, set members (bit numbers), named integer constants.
    std::vector<std::pair<String, long long>> Names;
    String NestedClass;                        // pkPersistent: the object's registered class
    const std::type_info* EventType = nullptr; // pkEvent: the event type its handler must have
    std::function<void(TObject*, const TPropValue&)> Write;
    std::function<TPropValue(TObject*)> Read;
};

struct TClassInfo {
    String Name;
    String Parent;
    const std::type_info* Type = nullptr;
    TComponent* (*Create)(TComponent* Owner) = nullptr; // none for abstract and persistent classes
    std::vector<TPropInfo> Properties;
};

const TClassInfo* FindClassInfo(const String& Name);
const TClassInfo* FindClassInfo(const std::type_info& Type);
// The property of that class or of one of its parents, or none.
const TPropInfo* FindPropInfo(const String& ClassName, const String& Property);

namespace tk_detail {
TClassInfo& AddClassInfo(const String& Name, const String& Parent, const std::type_info& Type,
                         TComponent* (*Create)(TComponent*));
template <typename M> struct SetterArg;
template <typename C, typename R, typename A> struct SetterArg<R (C::*)(A)> {
    using Type = std::remove_cvref_t<A>;
};
template <typename T> T* AsPointer(T* p) {
    return p;
}
template <typename T> T* AsPointer(T& r) {
    return &r;
}
} // namespace tk_detail

// The fluent interface through which a class publishes its properties.
template <class C> class TClassRegistration {
public:
    explicit TClassRegistration(TClassInfo& Info) : fInfo(Info) {}

    template <class S, class G>
    TClassRegistration& Integer(const char* Name, S Set, G Get,
                                std::vector<std::pair<String, long long>> Constants = {}) {
        using A = typename tk_detail::SetterArg<S>::Type;
        auto& p = Add(Name, TPropKind::pkInteger);
        p.Names = std::move(Constants);
        p.Write = [Set, n = p.Name](TObject* o, const TPropValue& v) {
            long long x = std::get<long long>(v);
            if (x < static_cast<long long>(std::numeric_limits<A>::min()) ||
                (x > 0 && static_cast<unsigned long long>(x) >
                              static_cast<unsigned long long>(std::numeric_limits<A>::max())))
                throw Exception(L"value " + IntToStr(x) + L" out of range for " + n);
            (Cast(o)->*Set)(static_cast<A>(x));
        };
        p.Read = [Get](TObject* o) {
            return TPropValue(static_cast<long long>((Cast(o)->*Get)()));
        };
        return *this;
    }

    template <class S, class G> TClassRegistration& Boolean(const char* Name, S Set, G Get) {
        auto& p = Add(Name, TPropKind::pkBoolean);
        p.Write = [Set](TObject* o, const TPropValue& v) { (Cast(o)->*Set)(std::get<bool>(v)); };
        p.Read = [Get](TObject* o) { return TPropValue(static_cast<bool>((Cast(o)->*Get)())); };
        return *this;
    }

    template <class S, class G>
    TClassRegistration& Enum(const char* Name, S Set, G Get,
                             std::vector<std::pair<String, long long>> Values) {
        using A = typename tk_detail::SetterArg<S>::Type;
        auto& p = Add(Name, TPropKind::pkEnum);
        p.Names = std::move(Values);
        p.Write = [Set](TObject* o, const TPropValue& v) {
            (Cast(o)->*Set)(static_cast<A>(std::get<long long>(v)));
        };
        p.Read = [Get](TObject* o) {
            return TPropValue(static_cast<long long>((Cast(o)->*Get)()));
        };
        return *this;
    }

    // A TSet property; Members name the bit numbers.
    template <class S, class G>
    TClassRegistration& Set(const char* Name, S Set, G Get,
                            std::vector<std::pair<String, long long>> Members) {
        using A = typename tk_detail::SetterArg<S>::Type;
        auto& p = Add(Name, TPropKind::pkSet);
        p.Names = std::move(Members);
        p.Write = [Set](TObject* o, const TPropValue& v) {
            (Cast(o)->*Set)(
                A::FromBits(static_cast<decltype(A().ToBits())>(std::get<long long>(v))));
        };
        p.Read = [Get](TObject* o) {
            return TPropValue(static_cast<long long>((Cast(o)->*Get)().ToBits()));
        };
        return *this;
    }

    template <class S, class G> TClassRegistration& Text(const char* Name, S Set, G Get) {
        auto& p = Add(Name, TPropKind::pkText);
        p.Write = [Set](TObject* o, const TPropValue& v) { (Cast(o)->*Set)(std::get<String>(v)); };
        p.Read = [Get](TObject* o) { return TPropValue(String((Cast(o)->*Get)())); };
        return *this;
    }

    // A string list, stored as Name.Strings = ( ... ).
    template <class G> TClassRegistration& Strings(const char* Name, G Get) {
        auto& p = Add(Name, TPropKind::pkStrings);
        p.Read = [Get](TObject* o) {
            return TPropValue(static_cast<TStrings*>(tk_detail::AsPointer((Cast(o)->*Get)())));
        };
        return *this;
    }

    // A nested persistent object whose own properties (Name.Property) are registered
    // under the class name NestedClass.
    template <class G>
    TClassRegistration& Persistent(const char* Name, G Get, const char* NestedClass) {
        auto& p = Add(Name, TPropKind::pkPersistent);
        p.NestedClass = Utf8ToString(NestedClass);
        p.Read = [Get](TObject* o) {
            return TPropValue(static_cast<TPersistent*>(tk_detail::AsPointer((Cast(o)->*Get)())));
        };
        return *this;
    }

    // A reference to another component of the form, stored by its name.
    template <class S, class G> TClassRegistration& Component(const char* Name, S Set, G Get) {
        using A = typename tk_detail::SetterArg<S>::Type; // T*
        auto& p = Add(Name, TPropKind::pkComponent);
        p.Write = [Set, n = p.Name](TObject* o, const TPropValue& v) {
            TComponent* c = std::get<TComponent*>(v);
            A typed = dynamic_cast<A>(c);
            if (c && !typed)
                throw Exception(c->GetName() + L" is not of the type that " + n + L" takes");
            (Cast(o)->*Set)(typed);
        };
        p.Read = [Get](TObject* o) {
            return TPropValue(static_cast<TComponent*>((Cast(o)->*Get)()));
        };
        return *this;
    }

    template <class S, class G> TClassRegistration& Event(const char* Name, S Set, G Get) {
        using E = typename tk_detail::SetterArg<S>::Type;
        auto& p = Add(Name, TPropKind::pkEvent);
        p.EventType = &typeid(E);
        p.Write = [Set](TObject* o, const TPropValue& v) {
            (Cast(o)->*Set)(E::FromMethod(std::get<TMethod>(v)));
        };
        p.Read = [Get](TObject* o) { return TPropValue((Cast(o)->*Get)().AsMethod()); };
        return *this;
    }

private:
    static C* Cast(TObject* o) {
        C* c = dynamic_cast<C*>(o);
        if (!c)
            throw Exception(L"object is not a " + Utf8ToString(typeid(C).name()));
        return c;
    }

    TPropInfo& Add(const char* Name, TPropKind Kind) {
        TPropInfo p;
        p.Name = Utf8ToString(Name);
        p.Kind = Kind;
        fInfo.Properties.push_back(std::move(p));
        return fInfo.Properties.back();
    }

    TClassInfo& fInfo;
};

// Registers a component class; a concrete one gets a factory calling C(Owner).
template <class C>
TClassRegistration<C> RegisterComponentClass(const wchar_t* Name, const wchar_t* Parent) {
    TComponent* (*create)(TComponent*) = nullptr;
    if constexpr (!std::is_abstract_v<C> && std::is_constructible_v<C, TComponent*>)
        create = [](TComponent* owner) -> TComponent* { return new C(owner); };
    return TClassRegistration<C>(
        tk_detail::AddClassInfo(Name, Parent ? Parent : L"", typeid(C), create));
}

// Registers a persistent class whose properties are written through its owner's path.
template <class C> TClassRegistration<C> RegisterPersistentClass(const wchar_t* Name) {
    return TClassRegistration<C>(tk_detail::AddClassInfo(Name, L"", typeid(C), nullptr));
}

// The root's handler methods, by name.
class TFormHandlers {
public:
    template <class E> void Add(const String& Name, E Event) {
        fHandlers[Name] = {Event.AsMethod(), &typeid(E)};
    }
    struct THandler {
        TMethod Method;
        const std::type_info* Type = nullptr;
    };
    const THandler* Find(const String& Name) const;

private:
    std::map<String, THandler> fHandlers;
};

// Reads a form file (UTF-8 text) into Root, an instance of the registered class that
// the file's outer object names.
void ReadForm(TComponent* Root, std::string_view Text, const TFormHandlers& Handlers);

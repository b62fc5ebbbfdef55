#include "toolkit/formreader.h"

#include "toolkit/formparser.h"

#include <memory>
#include <algorithm>

namespace {

struct TRegistry {
    std::map<String, TClassInfo> ByName;
    // Searched by type_info equality: the ordering of type_index is not reliable for
    // types of anonymous namespaces on every compiler.
    std::vector<TClassInfo*> ByType;
};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

String Lower(String s) {
    for (auto& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

[[noreturn]] void Fail(int line, const String& message) {
    throw Exception(L"Form file line " + IntToStr(line) + L": " + message);
}

const TPropInfo* FindOwnProp(const TClassInfo& info, const String& name) {
    for (const auto& p : info.Properties)
        if (SameText(p.Name, name))
            return &p;
    return nullptr;
}

long long NamedValue(const TPropInfo& prop, const String& name, int line) {
    for (const auto& [n, v] : prop.Names)
        if (SameText(n, name))
            return v;
    Fail(line, L"'" + name + L"' is not a value of " + prop.Name);
}

// A reference or an event, resolved once every object exists.
struct TFixup {
    TObject* Target;
    const TPropInfo* Prop;
    String Value;
    int Line;
};

class TReader {
public:
    TReader(TComponent* root, const TFormHandlers& handlers) : fRoot(root), fHandlers(handlers) {}

    void Read(const TFormObject& tree) {
        const TClassInfo* info = FindClassInfo(typeid(*fRoot));
        if (!info)
            Fail(tree.Line, L"the root's class is not registered");
        if (!SameText(info->Name, Utf8ToString(tree.ClassName)))
            Fail(tree.Line, L"the file describes a " + Utf8ToString(tree.ClassName) + L", not a " +
                                info->Name);
        try {
            fRoot->SetLoading(true);
            fRoot->SetName(Utf8ToString(tree.Name));
            ReadBody(fRoot, *info, tree);
            for (const TFixup& f : fFixups)
                Resolve(f);
        } catch (...) {
            for (auto it = fCreated.rbegin(); it != fCreated.rend(); ++it)
                delete *it;
            fRoot->SetLoading(false);
            throw;
        }
        fRoot->Loaded();
        for (TComponent* c : fCreated)
            c->Loaded();
    }

private:
    // Runs f, turning its Exception into one that names the line.
    template <class F> auto Guarded(int line, F f) {
        try {
            return f();
        } catch (const Exception& e) {
            Fail(line, e.Message());
        }
    }

    void ReadBody(TComponent* self, const TClassInfo& info, const TFormObject& obj) {
        for (const TFormProperty& p : obj.Properties)
            Apply(self, info.Name, p);
        for (const TFormObject& child : obj.Children)
            Create(self, child);
    }

    void Create(TComponent* parent, const TFormObject& obj) {
        String className = Utf8ToString(obj.ClassName);
        const TClassInfo* info = FindClassInfo(className);
        if (!info)
            Fail(obj.Line, L"unknown class " + className);
        if (!info->Create)
            Fail(obj.Line, L"class " + className + L" cannot be created");
        String name = Utf8ToString(obj.Name);
        if (fRoot->FindComponent(name) || SameText(name, fRoot->GetName()))
            Fail(obj.Line, L"a component named " + name + L" exists already");
        TComponent* c = info->Create(fRoot);
        fCreated.push_back(c);
        c->SetLoading(true);
        try {
            c->SetName(name);
            c->SetParentComponent(parent);
        } catch (const Exception& e) {
            Fail(obj.Line, name + L": " + e.Message());
        }
        ReadBody(c, *info, obj);
    }

    void Apply(TObject* self, const String& className, const TFormProperty& fp) {
        String path = Utf8ToString(fp.Path);
        String cls = className;
        TObject* target = self;
        // Walks the nested persistent objects of a path such as Font.Name.
        for (;;) {
            size_t dot = path.find(L'.');
            String head = path.substr(0, dot);
            const TPropInfo* prop = FindPropInfo(cls, head);
            if (!prop)
                Fail(fp.Line, L"unknown property " + head + L" of " + cls);
            if (dot == String::npos) {
                Write(target, *prop, fp.Value);
                return;
            }
            String rest = path.substr(dot + 1);
            if (prop->Kind == TPropKind::pkStrings && SameText(rest, L"Strings")) {
                WriteStrings(target, *prop, fp.Value);
                return;
            }
            if (prop->Kind != TPropKind::pkPersistent)
                Fail(fp.Line, head + L" of " + cls + L" has no properties of its own");
            target = Guarded(fp.Line, [&] { return std::get<TPersistent*>(prop->Read(target)); });
            cls = prop->NestedClass;
            path = rest;
        }
    }

    void WriteStrings(TObject* target, const TPropInfo& prop, const TFormValue& v) {
        if (v.Kind != TFormValue::TKind::fvList)
            Fail(v.Line, prop.Name + L".Strings takes a list of strings in ( )");
        Guarded(v.Line, [&] {
            TStrings* list = std::get<TStrings*>(prop.Read(target));
            list->Clear();
            for (const auto& item : v.Items)
                list->Add(Utf8ToString(item));
            return 0;
        });
    }

    void Write(TObject* target, const TPropInfo& prop, const TFormValue& v) {
        using K = TFormValue::TKind;
        auto expect = [&](K kind, const wchar_t* what) {
            if (v.Kind != kind)
                Fail(v.Line, prop.Name + L" takes " + what);
        };
        TPropValue value;
        switch (prop.Kind) {
        case TPropKind::pkInteger:
            if (v.Kind == K::fvIdent)
                value = NamedValue(prop, Utf8ToString(v.Text), v.Line);
            else {
                expect(K::fvInteger, L"a number");
                value = v.Integer;
            }
            break;
        case TPropKind::pkBoolean: {
            expect(K::fvIdent, L"True or False");
            String t = Utf8ToString(v.Text);
            if (SameText(t, L"True"))
                value = true;
            else if (SameText(t, L"False"))
                value = false;
            else
                Fail(v.Line, prop.Name + L" takes True or False, not " + t);
            break;
        }
        case TPropKind::pkEnum:
            expect(K::fvIdent, L"one of its value names");
            value = NamedValue(prop, Utf8ToString(v.Text), v.Line);
            break;
        case TPropKind::pkSet: {
            expect(K::fvSet, L"a set in [ ]");
            long long bits = 0;
            for (const auto& m : v.Items)
                bits |= 1LL << NamedValue(prop, Utf8ToString(m), v.Line);
            value = bits;
            break;
        }
        case TPropKind::pkText:
            expect(K::fvString, L"a string");
            value = Utf8ToString(v.Text);
            break;
        case TPropKind::pkComponent:
        case TPropKind::pkEvent:
            expect(K::fvIdent,
                   prop.Kind == TPropKind::pkEvent ? L"a handler name" : L"a component name");
            fFixups.push_back({target, &prop, Utf8ToString(v.Text), v.Line});
            return;
        case TPropKind::pkStrings:
            Fail(v.Line, prop.Name + L" is written as " + prop.Name + L".Strings");
        case TPropKind::pkPersistent:
            Fail(v.Line, prop.Name + L" is written through its own properties");
        }
        Guarded(v.Line, [&] {
            prop.Write(target, value);
            return 0;
        });
    }

    void Resolve(const TFixup& f) {
        TPropValue value;
        if (f.Prop->Kind == TPropKind::pkComponent) {
            TComponent* c =
                SameText(f.Value, fRoot->GetName()) ? fRoot : fRoot->FindComponent(f.Value);
            if (!c)
                Fail(f.Line, L"unknown component " + f.Value + L" for " + f.Prop->Name);
            value = c;
        } else {
            const TFormHandlers::THandler* h = fHandlers.Find(f.Value);
            if (!h)
                Fail(f.Line, L"unknown handler " + f.Value + L" for " + f.Prop->Name);
            if (*h->Type != *f.Prop->EventType)
                Fail(f.Line, L"handler " + f.Value + L" does not fit the event " + f.Prop->Name);
            value = h->Method;
        }
        Guarded(f.Line, [&] {
            f.Prop->Write(f.Target, value);
            return 0;
        });
    }

    TComponent* fRoot;
    const TFormHandlers& fHandlers;
    std::vector<TComponent*> fCreated;
    std::vector<TFixup> fFixups;
};

} // namespace

namespace tk_detail {
TClassInfo& AddClassInfo(const String& Name, const String& Parent, const std::type_info& Type,
                         TComponent* (*Create)(TComponent*)) {
    TRegistry& r = Registry();
    TClassInfo& info = r.ByName[Lower(Name)];
    info.Name = Name;
    info.Parent = Parent;
    info.Type = &Type;
    info.Create = Create;
    info.Properties.clear();
    if (std::find(r.ByType.begin(), r.ByType.end(), &info) == r.ByType.end())
        r.ByType.push_back(&info);
    return info;
}
} // namespace tk_detail

const TClassInfo* FindClassInfo(const String& Name) {
    auto& m = Registry().ByName;
    auto it = m.find(Lower(Name));
    return it == m.end() ? nullptr : &it->second;
}

const TClassInfo* FindClassInfo(const std::type_info& Type) {
    for (const TClassInfo* info : Registry().ByType)
        if (*info->Type == Type)
            return info;
    return nullptr;
}

const TPropInfo* FindPropInfo(const String& ClassName, const String& Property) {
    for (const TClassInfo* info = FindClassInfo(ClassName); info;
         info = info->Parent.empty() ? nullptr : FindClassInfo(info->Parent)) {
        if (const TPropInfo* p = FindOwnProp(*info, Property))
            return p;
    }
    return nullptr;
}

const TFormHandlers::THandler* TFormHandlers::Find(const String& Name) const {
    for (const auto& [n, h] : fHandlers)
        if (SameText(n, Name))
            return &h;
    return nullptr;
}

void ReadForm(TComponent* Root, std::string_view Text, const TFormHandlers& Handlers) {
    TFormObject tree;
    try {
        tree = ParseFormFile(Text);
    } catch (const EFormParseError& e) {
        Fail(e.Line(), Utf8ToString(e.Detail()));
    }
    TReader(Root, Handlers).Read(tree);
}

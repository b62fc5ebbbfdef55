#include "toolkit/components.h"

#include "toolkit/exceptions.h"
#include "toolkit/thread.h"

#include <algorithm>
#include <typeinfo>

#if defined(__GNUC__) || defined(__clang__)
#include <cxxabi.h>
#include <cstdlib>
#endif

String TObject::ClassName() const {
    const char* raw = typeid(*this).name();
#if defined(__GNUC__) || defined(__clang__)
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : raw;
    std::free(demangled);
#else
    std::string name = raw;
    for (const char* prefix : {"class ", "struct "})
        if (name.rfind(prefix, 0) == 0)
            name.erase(0, std::char_traits<char>::length(prefix));
#endif
    // Only the class's own name: no namespaces, no template arguments.
    size_t end = name.find('<');
    if (end != std::string::npos)
        name.erase(end);
    size_t colon = name.rfind("::");
    if (colon != std::string::npos)
        name.erase(0, colon + 2);
    return Utf8ToString(name);
}

void TPersistent::Assign(const TPersistent& Source) {
    throw Exception(L"Cannot assign a " + Source.ClassName() + L" to a " + ClassName());
}

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    fComponentState.Include(TComponentStateFlag::csDestroying);
    // The component tree belongs to the main thread: a component destroyed on another
    // thread hands its unlinking to it and waits.
    if (!IsMainThread() && (fOwner || !fComponents.empty() || !fFreeNotifies.empty()))
        RunOnMainThread([this] { Unlink(); });
    else
        Unlink();
}

void TComponent::Unlink() {
    DestroyComponents();
    if (fOwner)
        fOwner->RemoveComponent(this);
    // Each receiver is unlinked before it hears, so it may unlink others meanwhile.
    while (!fFreeNotifies.empty()) {
        TComponent* other = fFreeNotifies.back();
        fFreeNotifies.pop_back();
        other->RemoveNotifyLink(this);
        other->Notification(this, TOperation::opRemove);
    }
}

void TComponent::SetName(const String& Value) {
    if (Value == fName)
        return;
    if (fOwner && !Value.empty()) {
        TComponent* same = fOwner->FindComponent(Value);
        if (same && same != this)
            throw Exception(L"A component named " + Value + L" already exists");
    }
    fName = Value;
}

TComponent* TComponent::GetComponent(int Index) const {
    if (Index < 0 || Index >= ComponentCount())
        ThrowListIndexError(Index);
    return fComponents[static_cast<size_t>(Index)];
}

TComponent* TComponent::FindComponent(const String& AName) const {
    if (AName.empty())
        return nullptr;
    for (TComponent* c : fComponents)
        if (SameText(c->fName, AName))
            return c;
    return nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (!AComponent || AComponent == this)
        return;
    if (std::find(fFreeNotifies.begin(), fFreeNotifies.end(), AComponent) == fFreeNotifies.end())
        fFreeNotifies.push_back(AComponent);
    auto& back = AComponent->fFreeNotifies;
    if (std::find(back.begin(), back.end(), this) == back.end())
        back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (!AComponent)
        return;
    RemoveNotifyLink(AComponent);
    AComponent->RemoveNotifyLink(this);
}

void TComponent::RemoveNotifyLink(TComponent* AComponent) {
    std::erase(fFreeNotifies, AComponent);
}

void TComponent::SetDesigning(bool Value) {
    if (Value)
        fComponentState.Include(TComponentStateFlag::csDesigning);
    else
        fComponentState.Exclude(TComponentStateFlag::csDesigning);
    for (TComponent* c : fComponents)
        c->SetDesigning(Value);
}

void TComponent::SetLoading(bool Value) {
    if (Value)
        fComponentState.Include(TComponentStateFlag::csLoading);
    else
        fComponentState.Exclude(TComponentStateFlag::csLoading);
}

void TComponent::Loaded() {
    SetLoading(false);
}

void TComponent::SetParentComponent(TComponent*) {}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::DestroyComponents() {
    while (!fComponents.empty())
        delete fComponents.back();
}

void TComponent::InsertComponent(TComponent* AComponent) {
    fComponents.push_back(AComponent);
    AComponent->fOwner = this;
    if (IsDesigning())
        AComponent->SetDesigning(true);
    Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    std::erase(fComponents, AComponent);
    AComponent->fOwner = nullptr;
    Notification(AComponent, TOperation::opRemove);
}

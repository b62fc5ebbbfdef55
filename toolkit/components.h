#pragma once
// The component model: TObject, TPersistent and TComponent.
//
// A component is created with an owner, which destroys it: the owner destroys its
// components last created first. A component may ask another for free-notification
// (either side's FreeNotification links both ways); it is then told through
// Notification(other, opRemove) when the other is removed. Removal notices go out from
// ~TComponent, after the departing component's own destructor bodies have run, while it is
// in its destroying state: a receiver may compare the pointer and read ComponentState,
// and must call nothing else on it. The owner is told of every insertion and removal;
// as C++ destroys an object's classes one by one, an owner that must hear the removal of
// its components while it is destroyed calls DestroyComponents from its own destructor.

#include "toolkit/sets.h"
#include "toolkit/text.h"

#include <vector>

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    // The class name of the object's most derived type, such as "TButton".
    String ClassName() const;
};

// An object whose content can be copied from another by Assign.
class TPersistent : public TObject {
public:
    // The base raises Exception: the classes do not know each other.
    virtual void Assign(const TPersistent& Source);
};

enum class TOperation { opInsert, opRemove };

enum class TComponentStateFlag { csLoading, csDesigning, csDestroying };
using TComponentState = TSet<TComponentStateFlag>;

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner);
    // Destroyed on another thread than the main one, it hands its unlinking from the
    // owner and the free-notified components to the main thread and waits for it.
    ~TComponent() override;

    TComponent* GetOwner() const { return fOwner; }
    const String& GetName() const { return fName; }
    // Raises Exception when a sibling of the same owner has that name already.
    void SetName(const String& Value);

    int ComponentCount() const { return static_cast<int>(fComponents.size()); }
    TComponent* GetComponent(int Index) const;
    TComponent* FindComponent(const String& AName) const;

    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    TComponentState ComponentState() const { return fComponentState; }
    bool IsLoading() const { return fComponentState.Contains(TComponentStateFlag::csLoading); }
    bool IsDesigning() const { return fComponentState.Contains(TComponentStateFlag::csDesigning); }
    bool IsDestroying() const {
        return fComponentState.Contains(TComponentStateFlag::csDestroying);
    }

    // Puts the component and the components it owns into, or out of, the design state.
    void SetDesigning(bool Value);
    // Puts the component into, or out of, its loading phase; Loaded ends it as well.
    void SetLoading(bool Value);
    // The final step after the component was read from a form file; ends the loading phase.
    virtual void Loaded();

    // A form file nests components: the enclosing one becomes the parent (controls use it).
    virtual void SetParentComponent(TComponent* Value);

protected:
    virtual void Notification(TComponent* AComponent, TOperation Operation);
    // Destroys the owned components, last created first.
    void DestroyComponents();

private:
    // Destroys the owned components, leaves the owner and tells the free-notified ones.
    void Unlink();
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);
    void RemoveNotifyLink(TComponent* AComponent);

    TComponent* fOwner = nullptr;
    String fName;
    TComponentState fComponentState;
    std::vector<TComponent*> fComponents;
    std::vector<TComponent*> fFreeNotifies;
};

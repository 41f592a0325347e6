#pragma once
// Owned components: an owner destroys what it owns, and every component of an
// owner hears when a sibling is inserted or removed, so references between
// siblings can be cleared before they dangle. Components that do not share an
// owner ask for the same notice with FreeNotification.

#include "framework/Persistent.h"

#include <string>
#include <vector>

enum class TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    const char* ClassName() const override { return "TComponent"; }

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const;

    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }

    // Loading stands for reading a stored window definition: properties are
    // set while Loading() is true, and Loaded() runs once they all are.
    bool Loading() const { return FLoading; }
    bool Destroying() const { return FDestroying; }
    void BeginLoading() { FLoading = true; }
    virtual void Loaded();

    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);
    // Destroys every owned component, the last inserted first.
    void DestroyComponents();

    // Asks AComponent to tell this one of its removal (and the other way round).
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

protected:
    // The insertion notice sent by the constructor sees only a TComponent, since
    // the derived part does not exist yet; a component whose kind matters to its
    // siblings calls this at the end of its own constructor.
    void AnnounceInsertion();

    // Hears of insertions and removals among the owner's components; the base
    // forwards the notice to every component this one owns.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void SendRemoval();

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    std::string FName;
    bool FLoading = false;
    bool FDestroying = false;
};

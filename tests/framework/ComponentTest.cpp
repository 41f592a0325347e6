#include "framework/Component.h"
#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Records the notices it hears and holds a sibling reference it must drop.
class Watcher : public TComponent {
public:
    using TComponent::TComponent;
    TComponent* Ref = nullptr;
    std::vector<std::pair<TComponent*, TOperation>> Heard;

protected:
    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        Heard.emplace_back(c, op);
        if (op == TOperation::opRemove && c == Ref)
            Ref = nullptr;
    }
};

class Counted : public TComponent {
public:
    Counted(TComponent* owner, int& alive) : TComponent(owner), Alive(alive) { ++Alive; }
    ~Counted() override { --Alive; }
    int& Alive;
};

TEST(Component, OwnerDestroysWhatItOwnsAndSiblingsHearRemoval) {
    int alive = 0;
    auto* owner = new TComponent(nullptr);
    auto* watcher = new Watcher(owner);
    auto* a = new Counted(owner, alive);
    new Counted(owner, alive);
    watcher->Ref = a;
    EXPECT_EQ(owner->ComponentCount(), 3);
    delete a;
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(watcher->Ref, nullptr);
    EXPECT_EQ(owner->ComponentCount(), 2);
    delete owner;
    EXPECT_EQ(alive, 0);
}

TEST(Component, InsertionNoticeReachesSiblings) {
    TComponent owner(nullptr);
    auto* watcher = new Watcher(&owner);
    auto* added = new TComponent(&owner);
    ASSERT_FALSE(watcher->Heard.empty());
    EXPECT_EQ(watcher->Heard.back().first, added);
    EXPECT_EQ(watcher->Heard.back().second, TOperation::opInsert);
}

TEST(Component, FreeNotificationClearsReferenceAcrossOwners) {
    auto* target = new TComponent(nullptr);
    Watcher watcher(nullptr);
    watcher.Ref = target;
    watcher.FreeNotification(target);
    delete target;
    EXPECT_EQ(watcher.Ref, nullptr);
}

TEST(Component, FreeNotificationIsDroppedWhenTheWatcherGoesFirst) {
    TComponent target(nullptr);
    {
        Watcher watcher(nullptr);
        watcher.FreeNotification(&target);
    }
    // target's destruction must not reach the destroyed watcher (checked by ASan).
}

TEST(Component, LoadingStateEndsWithLoaded) {
    TComponent c(nullptr);
    EXPECT_FALSE(c.Loading());
    c.BeginLoading();
    EXPECT_TRUE(c.Loading());
    c.Loaded();
    EXPECT_FALSE(c.Loading());
}

TEST(Component, IndexOutsideTheListRaisesListError) {
    TComponent owner(nullptr);
    try {
        owner.Components(0);
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (0)");
    }
}

} // namespace

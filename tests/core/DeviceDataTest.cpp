#include "core/DeviceData.h"
#include "framework/Exceptions.h"

#include <gtest/gtest.h>

namespace {

// Counts the change signals its records send.
class CountingDevices : public TDeviceDataCollection {
public:
    using TDeviceDataCollection::TDeviceDataCollection;
    int Changes = 0;

protected:
    void Update(TCollectionItem* item) override {
        if (item != nullptr)
            ++Changes;
    }
};

TEST(DeviceData, NewRecordDefaults) {
    TDeviceDataCollection devices(nullptr);
    TDeviceData* d = devices.Add();
    EXPECT_EQ(d->Host(), "New Device");
    EXPECT_EQ(d->DisplayName(), "New Device");
    EXPECT_EQ(d->Description(), "");
    EXPECT_EQ(d->DeviceType(), dtComputer);
    EXPECT_TRUE(d->Monitored());
    EXPECT_EQ(d->Collection(), &devices);
    EXPECT_EQ(d->Index(), 0);
}

TEST(DeviceData, OnlyRealChangesSignalAndCaseCounts) {
    CountingDevices devices(nullptr);
    TDeviceData* d = devices.Add();
    devices.Changes = 0;
    d->SetDisplayName("New Device");
    d->SetMonitored(true);
    d->SetDeviceType(dtComputer);
    d->SetDescription("");
    EXPECT_EQ(devices.Changes, 0);
    d->SetDisplayName("new device");
    EXPECT_EQ(devices.Changes, 1);
    d->SetDescription("x");
    d->SetDeviceType(dtRouter);
    d->SetMonitored(false);
    EXPECT_EQ(devices.Changes, 4);
}

TEST(DeviceData, AssignCopiesHostAndDescriptionOnly) {
    TDeviceDataCollection devices(nullptr);
    TDeviceData* source = devices.Add();
    source->SetHost("printer1");
    source->SetDescription("2nd floor");
    source->SetDeviceType(dtPrinter);
    source->SetMonitored(false);
    TDeviceData* target = devices.Add();
    target->Assign(source);
    EXPECT_EQ(target->Host(), "printer1");
    EXPECT_EQ(target->Description(), "2nd floor");
    EXPECT_EQ(target->DeviceType(), dtComputer);
    EXPECT_TRUE(target->Monitored());
    TDeviceDataCollection other(nullptr);
    EXPECT_THROW(target->Assign(&other), EConvertError);
}

TEST(DeviceData, DestroyingARecordRemovesItAndClearDestroysAll) {
    TDeviceDataCollection devices(nullptr);
    TDeviceData* a = devices.Add();
    TDeviceData* b = devices.Add();
    TDeviceData* c = devices.Add();
    a->SetHost("a");
    b->SetHost("b");
    c->SetHost("c");
    delete b;
    ASSERT_EQ(devices.Count(), 2);
    EXPECT_EQ(devices.Items(0)->Host(), "a");
    EXPECT_EQ(devices.Items(1)->Host(), "c");
    EXPECT_EQ(c->Index(), 1);
    EXPECT_THROW(devices.Items(2), EListError);
    devices.Clear();
    EXPECT_EQ(devices.Count(), 0);
}

} // namespace

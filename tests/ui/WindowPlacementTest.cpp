// Restored window geometry against the screens now attached, without a display.

#include "ui/WindowPlacement.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// A primary screen with a task bar at the bottom, and a second one to its right.
const QRect Primary(0, 0, 1920, 1040);
const QRect Second(1920, 0, 1280, 984);

TEST(WindowPlacement, GeometryOnSomeScreenStaysAsSaved) {
    EXPECT_EQ(PlaceOnScreens(100, 120, 333, 222, {Primary, Second}), QRect(100, 120, 333, 222));
    // Partly off the right screen's edge is the user's choice.
    EXPECT_EQ(PlaceOnScreens(3100, 900, 400, 300, {Primary, Second}), QRect(3100, 900, 400, 300));
    // Nothing to place it on, or nothing to place.
    EXPECT_EQ(PlaceOnScreens(5000, 5000, 300, 200, {}), QRect(5000, 5000, 300, 200));
    EXPECT_EQ(PlaceOnScreens(5000, 5000, -3, 200, {Primary}), QRect(5000, 5000, -3, 200));
}

TEST(WindowPlacement, GeometryOffEveryScreenMovesFullyOntoTheNearest) {
    // Saved on the second screen, since removed: onto the primary's right edge.
    EXPECT_EQ(PlaceOnScreens(2500, 300, 312, 259, {Primary}), QRect(1608, 300, 312, 259));
    // Above and left of everything: the primary's top-left corner.
    EXPECT_EQ(PlaceOnScreens(-900, -700, 312, 259, {Primary, Second}), QRect(0, 0, 312, 259));
    // Below the second screen: onto it, not onto the primary.
    EXPECT_EQ(PlaceOnScreens(2600, 1500, 312, 259, {Primary, Second}), QRect(2600, 725, 312, 259));
    // Under the task bar only: lifted above it.
    EXPECT_EQ(PlaceOnScreens(10, 1045, 312, 259, {Primary}), QRect(10, 781, 312, 259));
    // Saved at a larger scale: shrunk to the work area where it does not fit.
    EXPECT_EQ(PlaceOnScreens(4000, 200, 2500, 900, {Primary}), QRect(0, 140, 1920, 900));
    // Stored values at the ends of their range.
    EXPECT_EQ(PlaceOnScreens(INT_MAX, INT_MIN, INT_MAX, INT_MAX, {Primary}),
              QRect(0, 0, 1920, 1040));
}

} // namespace

#pragma once
// The program's images, drawn once in code at 16 by 16 pixels and cached:
// the ten images of the device lists (four status lamps, six device types),
// a neutral image for an unknown device type, the six action images with
// their disabled forms, and the program icon.

#include <QIcon>
#include <QPixmap>

namespace images {

// Indexes of the device lists' small images.
enum SmallImage : int {
    LampOff = 0,    // no reply since scanning started, or not monitored
    LampGreen = 1,  // Connected
    LampRed = 2,    // the host did not answer
    LampYellow = 3, // answered, but the data was wrong
    TypeComputer = 4,
    TypeServer = 5,
    TypePrinter = 6,
    TypeRouter = 7,
    TypeBridge = 8,
    TypeInterface = 9,
    TypeUnknown = 10, // a device type outside the known six
    SmallImageCount = 11,
};

enum ActionImage : int {
    ActionPause = 0,   // stop scanning
    ActionPlay = 1,    // start scanning
    ActionOptions = 2, // a page with a check mark
    ActionViewLog = 3, // a page with a magnifier
    ActionHelp = 4,    // a question mark
    ActionImport = 5,  // a page with an arrow coming in
    ActionImageCount = 6,
};

// The image of a device type: its ordinal plus 4, or TypeUnknown.
int DeviceTypeImage(int DeviceType);

QPixmap Small(int Index);
QPixmap Action(int Index);
QPixmap DisabledAction(int Index);
// An icon with the normal and the disabled form of an action image.
QIcon ActionIcon(int Index);
// The program's icon, at 16, 22, 32 and 48 pixels.
QIcon ProgramIcon();
// The program's icon drawn afresh at one size, for images built on top of it.
QPixmap ProgramPixmap(int Size, qreal Ratio = 1.0);

} // namespace images

#pragma once
// The notification area's icon, showing the worst state of the monitored
// devices: the program's icon while they are all up; a red badge counting
// the devices down; greyed with a pause mark while scanning is stopped. Each
// state differs in shape as well as colour, so it reads on light and dark
// panels and without colour.

#include <QIcon>

enum class TTrayState { Stopped, Up, Down };

// The icon at 16, 22, 24, 32 and 48 pixels, and 44, 64 and 96 for screens
// at twice the density. DownCount counts for Down only; the badge shows it
// when it fits (one digit at 16 pixels, two from 22, "99+" from 32) and "!"
// otherwise or when it is below 1. Drawn once per state and count shown,
// then cached; GUI thread only.
QIcon TrayStatusIcon(TTrayState State, int DownCount);

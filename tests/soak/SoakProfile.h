#pragma once
// The settings the soak runs on: many loopback devices probed every second.

#include <string>

// The host of device Index: 127.1.x.y, y from 1 to 250.
std::string SoakHost(int Index);

// Writes ConfigHome/Kestrava/Sentrel/settings.reg with Devices loopback
// devices; raises std::runtime_error when it cannot.
void WriteSoakProfile(const std::string& ConfigHome, int Devices);

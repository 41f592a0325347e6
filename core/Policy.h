#pragma once
// The administrator's policy: a system-wide file in the settings' own format
// (root HKEY_LOCAL_MACHINE, the user's keys and value names) whose values
// take the place of the user's and lock them, and whose devices every user's
// list holds. Only a file that nobody but the administrator can change is
// believed; one that is not, or that does not read, is ignored as a whole
// and said so. Reading never changes, moves or writes the file.

#include "core/DeviceData.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Where the policy is looked for in each system configuration folder.
inline constexpr const char* PolicyFileName = "Kestrava/Sentrel/policy.reg";

// A value a policy may set: its key (as SettingsKey), its name and how it is
// stored (Text: a string; otherwise a dword).
struct TLockableValue {
    enum TKind : uint8_t { Number, Flag, Text };
    const char* Key;
    const char* Name;
    TKind Kind;
};

struct TPolicyValue {
    size_t Index; // into the lockable values the policy was read with
    int32_t Number = 0;
    std::string Text;
};

struct TPolicyDevice {
    std::string Host;
    std::string Description;
    TDeviceType DeviceType = dtComputer;
    bool Monitored = true;
};

struct TPolicy {
    std::string File; // the file read; empty when there is none
    std::vector<TPolicyValue> Values;
    std::vector<TPolicyDevice> Devices;
    // Sentences naming the file, for the user: why it was ignored, or which
    // of its values were.
    std::vector<std::string> Problems;
};

// Finds the policy in the system configuration folders and reads it; a
// missing file is an empty policy without problems. Never throws for
// anything the file holds or lacks.
TPolicy ReadPolicy(std::span<const TLockableValue> Lockable);

// The values and devices of a policy file's Bytes, File naming it in the
// problems. A file that does not parse, or that holds a value of the wrong
// type or a device without a host, gives nothing but its problem.
TPolicy ParsePolicy(std::string_view Bytes, const std::string& File,
                    std::span<const TLockableValue> Lockable);

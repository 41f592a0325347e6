#pragma once
// One running copy per settings file. A second window copy brings the first
// one's window forward and ends; any other pairing ends the second copy with
// one line naming the first. An import from the command line is a copy too:
// it writes the settings, so it never runs beside another.

#include "platform/InstanceLock.h"

#include <memory>
#include <optional>

class TMain;

enum class TCopyKind { Window, Admin, Console, Import };

// Claims the settings file for this copy. Empty when this copy runs (Lock
// then holds the claim until the program ends); otherwise the exit status
// (2 for a refused import, which then has done nothing).
std::optional<int> ClaimSettings(TCopyKind Kind, std::unique_ptr<platform::TInstanceLock>& Lock);

// The window copy answers later window copies by bringing Main forward.
void AnswerLaterCopies(TMain& Main, const platform::TInstanceLock& Lock);

#pragma once
// The last resort behind a stop signal: a program whose main thread is
// blocked (in its display connection, say) never gets to act on the signal,
// so the process ends by itself once a grace period has passed. Settings are
// saved to a new file renamed into place, so ending part-way keeps the last
// saved ones.

#include <chrono>

namespace stopgrace {

// Long enough for a stop and a save on a slow disk, short enough that
// whoever sent the signal is not left waiting.
inline constexpr std::chrono::seconds GracePeriod{5};

// Installs what ends the process when the grace period runs out; once, at
// start, before any stop is asked for.
void Install();

// For each stop asked for (async-signal-safe): the first starts the grace
// period, a second ends the process at once. Either end says so on stderr
// and ends the process as SIGTERM does.
void StopAsked();

} // namespace stopgrace

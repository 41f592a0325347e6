#pragma once
// The desktop's event sounds for a device going down or coming back up.
// Sounds are few and short: at most one a second, of either kind, so a burst
// of state changes does not turn into a burst of noise.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

class TEventSound {
public:
    enum class TSound { Down, Up };
    using TClock = std::function<std::chrono::steady_clock::time_point()>;

    // Clock: the time the limit is counted in; tests pass their own. The
    // sound worker reads it too.
    explicit TEventSound(TClock Clock = std::chrono::steady_clock::now);
    ~TEventSound();
    TEventSound(const TEventSound&) = delete;
    TEventSound& operator=(const TEventSound&) = delete;

    // Hands the sound to the sound worker and returns true; false when a
    // sound was accepted less than a second ago, and this one is dropped.
    // Never blocks: opening the sound system may wait on a sound server, so
    // that happens on the worker, started on the first sound. A missing
    // server or device costs the sound and one line on stderr at most. Called
    // from one thread (the UI's).
    bool Play(TSound Sound);

private:
    void Run();

    TClock FClock;
    std::optional<std::chrono::steady_clock::time_point> FLastAccepted;
    std::mutex FLock;
    std::condition_variable FWake;
    std::optional<TSound> FPending; // the newest sound not yet played
    bool FStopping = false;
    std::thread FWorker;
};

} // namespace platform

#include "platform/EventSound.h"

#include <canberra.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <system_error>
#include <utility>

namespace platform {
namespace {

constexpr auto MinInterval = std::chrono::seconds(1);
// After a failure the sound system is left alone for a while: each try costs
// a connection attempt, and a sound server that has gone away rarely comes
// back within minutes.
constexpr auto RetryAfter = std::chrono::minutes(5);

void Silent(const char*, int, const char*, int, const char*, ...) {}

// The ALSA library writes lines of its own to stderr for every device it
// fails to open; once the sound system has loaded it, it is told to keep quiet.
void QuietAlsa() {
    static std::atomic<bool> done{false};
    if (done)
        return;
    void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_NOLOAD);
    if (alsa == nullptr)
        return;
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(dlsym(alsa, "snd_lib_error_set_handler")))
        set(Silent);
    dlclose(alsa); // drops the reference NOLOAD took; the library stays
    done = true;
}

// One line for the whole process: a desktop without sound is normal, and the
// program must not repeat it at every state change.
void ReportOnce(const char* What, int Error) {
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true))
        std::fprintf(stderr, "Kestrava Sentrel: no event sounds: %s: %s\n", What,
                     ca_strerror(Error));
}

// An open libcanberra context, or none when the sound system cannot be had.
class TContext {
public:
    TContext() {
        int error = ca_context_create(&FContext);
        if (error == CA_SUCCESS)
            error =
                ca_context_change_props(FContext, CA_PROP_APPLICATION_NAME, "Kestrava Sentrel",
                                        CA_PROP_APPLICATION_ID, "com.kestrava.sentrel", nullptr);
        if (error == CA_SUCCESS)
            error = ca_context_open(FContext);
        QuietAlsa();
        if (error != CA_SUCCESS) {
            ReportOnce("cannot open the sound system", error);
            Close();
        }
    }
    ~TContext() { Close(); }
    TContext(const TContext&) = delete;
    TContext& operator=(const TContext&) = delete;

    bool IsOpen() const { return FContext != nullptr; }

    // False when the sound system refused it; the context is then closed, so
    // the next sound tries afresh (a sound server may have come up since).
    bool Play(TEventSound::TSound Sound) {
        const bool down = Sound == TEventSound::TSound::Down;
        const int error =
            ca_context_play(FContext, 0, CA_PROP_EVENT_ID,
                            down ? "network-connectivity-lost" : "network-connectivity-established",
                            CA_PROP_EVENT_DESCRIPTION, down ? "Device down" : "Device up", nullptr);
        if (error == CA_SUCCESS)
            return true;
        ReportOnce("cannot play a sound", error);
        // A theme without the sound, or sounds turned off, stays that way;
        // anything else may be a server gone away.
        if (error != CA_ERROR_NOTFOUND && error != CA_ERROR_DISABLED)
            Close();
        return false;
    }

private:
    void Close() {
        if (FContext != nullptr)
            ca_context_destroy(FContext);
        FContext = nullptr;
    }

    ca_context* FContext = nullptr;
};

} // namespace

TEventSound::TEventSound(TClock Clock) : FClock(std::move(Clock)) {}

TEventSound::~TEventSound() {
    {
        const std::lock_guard<std::mutex> lock(FLock);
        FStopping = true;
    }
    FWake.notify_one();
    if (FWorker.joinable())
        FWorker.join();
}

bool TEventSound::Play(TSound Sound) {
    const auto now = FClock();
    if (FLastAccepted && now - *FLastAccepted < MinInterval)
        return false;
    FLastAccepted = now;
    {
        const std::lock_guard<std::mutex> lock(FLock);
        FPending = Sound; // a sound still waiting is stale; the newest wins
        if (!FWorker.joinable()) {
            try {
                FWorker = std::thread(&TEventSound::Run, this);
            } catch (const std::system_error&) {
                FPending.reset(); // no thread to be had: no sound, and no error either
                return false;
            }
        }
    }
    FWake.notify_one();
    return true;
}

void TEventSound::Run() {
    std::optional<TContext> context;
    std::optional<std::chrono::steady_clock::time_point> failed;
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        FWake.wait(lock, [this] { return FStopping || FPending.has_value(); });
        if (FStopping)
            return;
        const TSound sound = *FPending;
        FPending.reset();
        lock.unlock();
        if (!failed || FClock() - *failed >= RetryAfter) {
            if (!context || !context->IsOpen())
                context.emplace();
            const bool played = context->IsOpen() && context->Play(sound);
            failed = played ? std::nullopt : std::optional(FClock());
        }
        lock.lock();
    }
}

} // namespace platform

#include "platform/EventSound.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

using platform::TEventSound;
using TSound = TEventSound::TSound;
using namespace std::chrono_literals;

// No sound server and no sound card: the sound system fails, and fast.
void NoSoundSystem() {
    setenv("PULSE_SERVER", "unix:/nonexistent/pulse", 1);
    setenv("PULSE_NO_AUTOSPAWN", "1", 1);
    setenv("ALSA_CONFIG_PATH", "/dev/null", 1);
}

// A clock the test moves by hand; the sound worker may read it too.
struct TFakeClock {
    std::atomic<std::chrono::steady_clock::rep> Ticks{1000};
    void Advance(std::chrono::steady_clock::duration By) { Ticks += By.count(); }
    TEventSound::TClock Function() {
        return [this] {
            return std::chrono::steady_clock::time_point(
                std::chrono::steady_clock::duration(Ticks));
        };
    }
};

TEST(EventSound, AtMostOneSoundASecondOfEitherKind) {
    NoSoundSystem();
    TFakeClock clock;
    TEventSound sound(clock.Function());
    EXPECT_TRUE(sound.Play(TSound::Down));
    clock.Advance(500ms);
    EXPECT_FALSE(sound.Play(TSound::Up));
    clock.Advance(400ms);
    EXPECT_FALSE(sound.Play(TSound::Down));
    // The dropped ones do not restart the second.
    clock.Advance(100ms);
    EXPECT_TRUE(sound.Play(TSound::Up));
    EXPECT_FALSE(sound.Play(TSound::Up));
    clock.Advance(1s);
    EXPECT_TRUE(sound.Play(TSound::Up));
}

TEST(EventSound, WithoutSoundSystemPlayingAndClosingReturn) {
    NoSoundSystem();
    TFakeClock clock;
    for (int round = 0; round < 3; ++round) {
        auto sound = std::make_unique<TEventSound>(clock.Function());
        EXPECT_NO_THROW(sound->Play(TSound::Down));
        clock.Advance(1s);
        EXPECT_NO_THROW(sound->Play(TSound::Up));
        sound.reset(); // joins the worker, which may be inside the sound system
    }
    // A sound never asked for starts no worker and costs nothing to close.
    TEventSound unused(clock.Function());
}

} // namespace

// The choice of backend over an ordered list, on scripted backends: which one serves when a
// JACK server runs, when it is PipeWire's, when nothing answers, when a server that served
// is away, when the user asks, and that a stream that flows is never left.
#include "BackendChoice.h"
#include "FakeAudioHardware.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// The fake boundary's backend, but for whether it answers, holds on, has a stream open, and
// was let go.
struct Scripted final : fake::Backend {
    Scripted(const char* name, bool answers = false, bool holds = false)
        : key(name), answers(answers), holds(holds) {}
    const char* name() const override { return key; }
    bool available() override { return answers; }
    bool holdsOn() const override { return holds; }
    bool anyStreamOpen() const override { return streamOpen; }
    void release() override { ++released; }

    const char* key;
    bool answers, holds, streamOpen = false;
    int released = 0;
};

} // namespace

TEST(BackendChoice, TakesTheFirstThatServesHoldsOnAndNeverLeavesAFlowingStream) {
    // What the user asks; whether JACK is taken by itself, answers and holds on; whether Pulse
    // answers and holds on; the backend chosen, and what is said.
    using Case = std::tuple<const char*, bool, bool, bool, bool, bool, const char*, const char*>;
    const Case cases[] = {
        {nullptr, true, true, false, true, false, "jack", ""},
        {nullptr, false, true, false, true, false, "pulse", "JACK here is PipeWire's.\n"},
        {nullptr, true, false, false, false, false, "alsa", ""},
        {nullptr, true, false, true, true, false, "jack", ""},
        {"", true, false, false, false, true, "pulse", ""},
        {"pulse", true, true, false, false, false, "pulse", ""},
        {"alsa", true, true, false, true, false, "alsa", ""},
        {"neither", true, true, false, false, false, "jack",
         "GUITAR_TUNER_AUDIO=neither is neither jack, pulse nor alsa; the tuner chooses by "
         "itself.\n"},
    };
    for (const auto& [asked, byItself, jackAnswers, jackHolds, pulseAnswers, pulseHolds, chosen,
                      said] : cases) {
        SCOPED_TRACE(chosen + std::string(" asked ") + (asked != nullptr ? asked : "-"));
        Scripted jack("jack", jackAnswers, jackHolds), pulse("pulse", pulseAnswers, pulseHolds),
            alsa("alsa");
        BackendChoice choice({{"jack", &jack, byItself, "JACK here is PipeWire's.\n"},
                              {"pulse", &pulse},
                              {"alsa", &alsa}},
                             asked);
        testing::internal::CaptureStderr();
        EXPECT_STREQ(choice.choose()->name(), chosen);
        choice.choose();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), said) << "said once";
    }

    // A stream that flows keeps its backend whatever appears; once it has closed, the next
    // look takes the server that answers and lets go of the one before.
    Scripted jack("jack"), alsa("alsa");
    BackendChoice choice({{"jack", &jack}, {"alsa", &alsa}}, nullptr);
    ASSERT_EQ(choice.choose(), &alsa);
    alsa.streamOpen = true;
    jack.answers = true;
    EXPECT_EQ(choice.choose(), &alsa);
    alsa.streamOpen = false;
    EXPECT_EQ(choice.choose(), &jack);
    EXPECT_EQ(std::pair(alsa.released, jack.released), std::pair(1, 0));
}

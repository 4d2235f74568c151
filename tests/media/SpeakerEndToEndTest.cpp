// Talk-back from end to end: SDL's disk driver plays a tone file as the
// microphone, Speaker captures it, AudioEncoder encodes it, AVModel sends it
// over loopback, the simulated camera saves it, and ffmpeg decodes the saved
// file back to samples that must still carry the tone.

#include "AVModel.h"
#include "AudioEncoder.h"
#include "AudioEncoderTestCamera.h"
#include "Speaker.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <vector>

extern char** environ;

namespace {

int RunProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<int16_t> ReadS16(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return samples;
}

// Frequency from the zero crossings of samples [from, to) at 8000 Hz.
double ZeroCrossingFrequency(const std::vector<int16_t>& s, size_t from, size_t to) {
    size_t crossings = 0;
    for (size_t i = from + 1; i < to; ++i)
        crossings += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
    return crossings / 2.0 / ((to - from) / 8000.0);
}

// Relative power of one frequency in samples [from, to) (Goertzel).
double Power(const std::vector<int16_t>& s, size_t from, size_t to, double frequency) {
    const double coeff = 2 * std::cos(2 * M_PI * frequency / 8000.0);
    double q1 = 0, q2 = 0;
    for (size_t i = from; i < to; ++i) {
        double q0 = coeff * q1 - q2 + s[i];
        q2 = q1;
        q1 = q0;
    }
    return (q1 * q1 + q2 * q2 - coeff * q1 * q2) / static_cast<double>(to - from);
}

TEST(SpeakerEndToEnd, AToneSpokenIntoTheMicrophoneArrivesAtTheCamera) {
    constexpr double kTone = 620.0;
    TempDir dir;
    WriteFile(dir.path() / "tone.raw", ToneU8(kTone, 3.0));
    UseCaptureFile(dir.path() / "tone.raw");

    const std::string uid = UniqueUid("TALKE2E");
    TestCamera camera(uid, dir.path().string());
    ASSERT_EQ(camera.Start(), 0);
    AVModel model;
    ASSERT_EQ(model.Connect(uid.c_str()), 0);

    // Wired as a pane wires them.
    AudioEncoder encoder;
    encoder.SetSink(&model);
    Speaker speaker;
    speaker.SetEncoder(&encoder);

    ASSERT_EQ(encoder.StartEncoder(), 0);
    ASSERT_EQ(speaker.StartCapture(), 0);
    // Three seconds of tone are about 23 blocks: wait for five batches (20
    // records), well past the ten wave buffers of one capture cycle.
    EXPECT_TRUE(camera.WaitFor([](const auto& m) { return CountType(m, 0x0352) >= 5; }, std::chrono::seconds(30)));
    EXPECT_EQ(speaker.StopCapture(), 0);
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_TRUE(camera.WaitFor([](const auto& m) { return CountType(m, 0x0351) == 1; }));
    EXPECT_EQ(camera.GetTalkbackFaults(), 0);
    ASSERT_GE(camera.GetTalkbackRecords(), 20);

    std::vector<std::string> files = camera.GetTalkbackFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::filesystem::path decoded = dir.path() / "decoded.raw";
    ASSERT_EQ(RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "aac", "-i", files[0], "-f", "s16le", "-ac",
                          "1", "-ar", "8000", decoded.string()}),
              0);
    std::vector<int16_t> samples = ReadS16(decoded);
    ASSERT_GE(samples.size(), 20u * 1024u);

    // Past the encoder's start-up, inside the tone.
    const size_t from = 2048;
    const size_t to = 18 * 1024;
    const double frequency = ZeroCrossingFrequency(samples, from, to);
    EXPECT_NEAR(frequency, kTone, kTone * 0.03);
    double energy = 0;
    for (size_t i = from; i < to; ++i)
        energy += static_cast<double>(samples[i]) * samples[i];
    const double rms = std::sqrt(energy / static_cast<double>(to - from));
    EXPECT_GT(rms, 5000.0); // the tone's RMS is about 0.55 of full scale
    EXPECT_GT(Power(samples, from, to, kTone), 20 * Power(samples, from, to, kTone * 1.5));
    EXPECT_GT(Power(samples, from, to, kTone), 20 * Power(samples, from, to, kTone / 1.5));
}

} // namespace

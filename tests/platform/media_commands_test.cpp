#include "platform/media_commands.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Records what the interpreter asks of each device it opens.
struct Journal {
    std::vector<std::string> calls;
    int opened = 0;
    bool recordFails = false;
};

class FakeDevice : public platform::WaveAudioDevice {
public:
    FakeDevice(Journal& journal, int number)
        : m_journal(journal), m_name("#" + std::to_string(number)) {}
    void setChannels(int n) override { log("channels " + std::to_string(n)); }
    void setSamplesPerSecond(int n) override { log("samplespersec " + std::to_string(n)); }
    void setBitsPerSample(int n) override { log("bitspersample " + std::to_string(n)); }
    void seek(std::int64_t ms) override { log("seek " + std::to_string(ms)); }
    bool record() override {
        log("record");
        return !m_journal.recordFails;
    }
    void stop() override { log("stop"); }
    bool play(std::int64_t ms) override {
        log("play " + std::to_string(ms));
        return true;
    }
    void close() override { log("close"); }

private:
    void log(const std::string& what) { m_journal.calls.push_back(m_name + " " + what); }
    Journal& m_journal;
    std::string m_name;
};

class MediaCommandsTest : public ::testing::Test {
protected:
    Journal journal;
    platform::MediaCommands commands{[this]() -> std::unique_ptr<platform::WaveAudioDevice> {
        return std::make_unique<FakeDevice>(journal, ++journal.opened);
    }};
};

using R = platform::MediaCommands::Result;

TEST_F(MediaCommandsTest, TheRecordAndStopSequencesDriveOneDevice) {
    for (const char* c :
         {"close all", "open new type waveaudio alias capture", "set capture channels 2",
          "seek capture to start", "set capture samplespersec 44100",
          "set capture bitspersample 16", "record capture", "stop capture", "play capture from 0"})
        EXPECT_EQ(commands.sendString(c), R::Ok) << c;
    EXPECT_EQ(journal.calls, (std::vector<std::string>{
                                 "#1 channels 2", "#1 seek 0", "#1 samplespersec 44100",
                                 "#1 bitspersample 16", "#1 record", "#1 stop", "#1 play 0"}));
    EXPECT_TRUE(commands.isOpen("capture"));
}

TEST_F(MediaCommandsTest, CloseAllClosesEveryOpenAliasNotOnlyCapture) {
    ASSERT_EQ(commands.sendString("open new type waveaudio alias capture"), R::Ok);
    ASSERT_EQ(commands.sendString("open new type waveaudio alias second"), R::Ok);
    EXPECT_EQ(commands.openCount(), 2u);
    EXPECT_EQ(commands.sendString("close all"), R::Ok);
    EXPECT_EQ(commands.openCount(), 0u);
    std::vector<std::string> closes;
    for (const auto& c : journal.calls)
        if (c.ends_with("close"))
            closes.push_back(c);
    EXPECT_EQ(closes.size(), 2u);
    // The aliases are gone and may be opened again, on new devices.
    EXPECT_EQ(commands.sendString("record capture"), R::UnknownDevice);
    EXPECT_EQ(commands.sendString("open new type waveaudio alias capture"), R::Ok);
    EXPECT_EQ(journal.opened, 3);
}

TEST_F(MediaCommandsTest, CloseOfOneAliasLeavesTheOthers) {
    commands.sendString("open new type waveaudio alias a");
    commands.sendString("open new type waveaudio alias b");
    EXPECT_EQ(commands.sendString("close a"), R::Ok);
    EXPECT_FALSE(commands.isOpen("a"));
    EXPECT_TRUE(commands.isOpen("b"));
    EXPECT_EQ(journal.calls, std::vector<std::string>{"#1 close"});
}

TEST_F(MediaCommandsTest, WordsAndAliasesIgnoreCaseAndExtraBlanks) {
    EXPECT_EQ(commands.sendString("  OPEN new Type WaveAudio alias Capture "), R::Ok);
    EXPECT_EQ(commands.sendString("set CAPTURE   channels 1"), R::Ok);
    EXPECT_EQ(commands.sendString("Play capture"), R::Ok);
    EXPECT_EQ(journal.calls, (std::vector<std::string>{"#1 channels 1", "#1 play 0"}));
}

TEST_F(MediaCommandsTest, ErrorsAreReturnedAndChangeNothing) {
    EXPECT_EQ(commands.sendString(""), R::UnrecognizedCommand);
    EXPECT_EQ(commands.sendString("dance capture"), R::UnrecognizedCommand);
    EXPECT_EQ(commands.sendString("record capture"), R::UnknownDevice);
    EXPECT_EQ(commands.sendString("open new type sequencer alias capture"), R::UnsupportedType);
    EXPECT_EQ(commands.sendString("open new type waveaudio"), R::BadParameter);
    EXPECT_EQ(commands.sendString("open new type waveaudio alias all"), R::BadParameter);
    ASSERT_EQ(commands.sendString("open new type waveaudio alias capture"), R::Ok);
    EXPECT_EQ(commands.sendString("open new type waveaudio alias capture"), R::AliasInUse);
    EXPECT_EQ(commands.sendString("set capture channels 0"), R::BadParameter);
    EXPECT_EQ(commands.sendString("set capture channels two"), R::BadParameter);
    EXPECT_EQ(commands.sendString("set capture samplespersec 99999999999999999999"),
              R::BadParameter);
    EXPECT_EQ(commands.sendString("set capture bitspersample 12"), R::BadParameter);
    EXPECT_EQ(commands.sendString("set capture volume 5"), R::BadParameter);
    EXPECT_EQ(commands.sendString("set capture channels"), R::BadParameter);
    EXPECT_EQ(commands.sendString("seek capture to -5"), R::BadParameter);
    EXPECT_EQ(commands.sendString("play capture from"), R::BadParameter);
    EXPECT_EQ(commands.sendString("play capture from 1x"), R::BadParameter);
    EXPECT_EQ(commands.sendString("close all now"), R::BadParameter);
    EXPECT_TRUE(journal.calls.empty());
    EXPECT_EQ(journal.opened, 1);
}

TEST_F(MediaCommandsTest, ADeviceThatCannotRecordReportsItAndStaysOpen) {
    journal.recordFails = true;
    commands.sendString("open new type waveaudio alias capture");
    EXPECT_EQ(commands.sendString("record capture"), R::DeviceFailed);
    EXPECT_EQ(commands.sendString("stop capture"), R::Ok);
    EXPECT_TRUE(commands.isOpen("capture"));
}

TEST(MediaCommands, AFactoryWithoutDeviceFailsTheOpen) {
    platform::MediaCommands commands([] { return std::unique_ptr<platform::WaveAudioDevice>(); });
    EXPECT_EQ(commands.sendString("open new type waveaudio alias capture"), R::DeviceFailed);
    EXPECT_FALSE(commands.isOpen("capture"));
}

TEST(MediaCommands, DevicesStillOpenAreClosedWithTheInterpreter) {
    Journal journal;
    {
        platform::MediaCommands commands([&]() -> std::unique_ptr<platform::WaveAudioDevice> {
            return std::make_unique<FakeDevice>(journal, ++journal.opened);
        });
        commands.sendString("open new type waveaudio alias capture");
    }
    EXPECT_EQ(journal.calls, std::vector<std::string>{"#1 close"});
}

} // namespace

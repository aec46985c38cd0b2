#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {

// One wave-audio device as the media command strings drive it: a format to
// record in, a recording held in memory, and playback of that recording.
// The audio facility behind it (Qt Multimedia in the program, a fake in
// tests) implements this.
class WaveAudioDevice {
public:
    virtual ~WaveAudioDevice() = default;

    virtual void setChannels(int channels) = 0;
    virtual void setSamplesPerSecond(int samplesPerSecond) = 0;
    virtual void setBitsPerSample(int bitsPerSample) = 0;
    // Position for the next record, in milliseconds from the start.
    virtual void seek(std::int64_t milliseconds) = 0;
    // Starts recording from the default input at the current position,
    // replacing what was recorded from there on. False if it cannot start.
    virtual bool record() = 0;
    // Ends recording or playback; nothing happens if neither runs.
    virtual void stop() = 0;
    // Starts playing the recording from `milliseconds` on the default
    // output and returns at once. False if it cannot start.
    virtual bool play(std::int64_t milliseconds) = 0;
    // Ends everything and releases the audio facility's resources.
    virtual void close() = 0;
    // Why the last record or play could not start, in words for the user;
    // empty where the facility does not say.
    virtual std::string failure() const { return {}; }
};

// Interprets the media command strings the microphone test sends:
//
//   open new type waveaudio alias NAME
//   set NAME channels N | samplespersec N | bitspersample N
//   seek NAME to start | seek NAME to N
//   record NAME
//   stop NAME
//   play NAME [from N]
//   close NAME | close all
//
// Words are separated by blanks and compared without regard to case.
// Each call returns 0 or one of the error codes below; the caller is free
// to ignore them.
class MediaCommands {
public:
    using DeviceFactory = std::function<std::unique_ptr<WaveAudioDevice>()>;

    enum Result : std::uint32_t {
        Ok = 0,
        UnrecognizedCommand = 1,
        UnknownDevice = 2,   // alias not open
        AliasInUse = 3,      // open with an alias that is open already
        BadParameter = 4,    // missing, unknown or out-of-range argument
        UnsupportedType = 5, // open of a type other than waveaudio
        DeviceFailed = 6,    // the audio facility refused
    };

    explicit MediaCommands(DeviceFactory factory);
    ~MediaCommands();
    MediaCommands(const MediaCommands&) = delete;
    MediaCommands& operator=(const MediaCommands&) = delete;

    std::uint32_t sendString(const std::string& command);

    bool isOpen(const std::string& alias) const;
    // Why the last command that returned DeviceFailed failed, where the
    // device says; empty otherwise.
    const std::string& lastFailure() const { return m_lastFailure; }
    std::size_t openCount() const { return m_devices.size(); }

private:
    std::uint32_t closeAll();

    DeviceFactory m_factory;
    std::string m_lastFailure;
    std::map<std::string, std::unique_ptr<WaveAudioDevice>> m_devices; // by lower-case alias
};

} // namespace platform

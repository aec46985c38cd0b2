#pragma once

// mitu-check's sound checks: the microphone and the speakers through the
// window's sound layer (Qt Multimedia on the sound server, Qt's speech
// engines). This header keeps Qt out of its users.

#include "cli/check_options.h"
#include "cli/check_report.h"

#include <memory>

namespace check {

// microphone, speakers: the sound server has no such device, refused the
// stream, or (speakers) no speech engine speaks.
inline constexpr int ExitUnavailable = 4;

// The Qt application the sound checks run in, made for as long as this
// lives where the process has none yet. One for several checks in a row.
class SoundSession {
public:
    SoundSession();
    ~SoundSession();
    SoundSession(const SoundSession&) = delete;
    SoundSession& operator=(const SoundSession&) = delete;

private:
    struct Application;
    std::unique_ptr<Application> m_application;
};

// Each fills its report, prints its lines when `text` and returns the exit
// status: 0 ok, 1 (microphone) silent or clipping, ExitUnavailable.
int checkMicrophone(const Options& options, MicrophoneReport& report, bool text);
int checkSpeakers(const Options& options, SpeakerReport& report, bool text);

} // namespace check

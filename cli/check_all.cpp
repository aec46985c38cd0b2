#include "cli/check_all.h"

#include "cli/check_sound.h"

#include <iostream>

namespace check {

int checkAll(const Options& options, const Seams& seams, Report& report, bool text) {
    int status = ExitOk;
    auto heading = [&](const char* name) {
        if (text)
            std::cout << (report.connection ? "\n" : "") << "== " << name << " ==\n";
    };
    auto count = [&](int result) {
        if (status == ExitOk)
            status = result; // the first failing check's status
        std::cout << std::flush;
    };
    heading("Connection");
    count(checkConnection(options, seams.probe, report.connection.emplace(), text, seams.clock));
    heading("Voice");
    count(checkVoice(options, report.voice.emplace(), text));
    heading("Bandwidth");
    count(checkBandwidth(options, report.bandwidth.emplace(), text));
    SoundSession session; // one for both sound checks
    heading("Microphone");
    count(checkMicrophone(options, report.microphone.emplace(), text));
    heading("Speakers");
    count(checkSpeakers(options, report.speakers.emplace(), text));
    return status;
}

} // namespace check

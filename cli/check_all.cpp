#include "cli/check_all.h"

#include "cli/check_commands.h"
#include "cli/check_json.h"
#include "cli/check_sound.h"

#include <iostream>

namespace check {

int runAll(const std::vector<std::string>& arguments, const ConnectionTest::EchoProbe& probe) {
    Options options = defaultOptions();
    if (!parseOptions(arguments,
                      ConnectionOptions | BandwidthOptions | MicrophoneOptions | SpeakerOptions,
                      options)) {
        std::cerr << "usage: mitu-check all [--address ADDRESS] [--count N] [--server HOST] "
                     "[--port N] [--user NAME] [--password TEXT] [--folder DIR] [--seconds N] "
                     "[--json]\n";
        return ExitUsage;
    }
    const bool text = !options.json;
    Report report;
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
    count(checkConnection(options, probe, report.connection.emplace(), text));
    heading("Bandwidth");
    count(checkBandwidth(options, report.bandwidth.emplace(), text));
    SoundSession session; // one for both sound checks
    heading("Microphone");
    count(checkMicrophone(options, report.microphone.emplace(), text));
    heading("Speakers");
    count(checkSpeakers(options, report.speakers.emplace(), text));
    if (options.json)
        writeJson(std::cout, report, status == ExitOk);
    return status;
}

} // namespace check

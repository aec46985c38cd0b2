// mitu-check voice: the voice path through the service's STUN server.

#include "checks/voice_check.h"
#include "cli/check_commands.h"

#include <cstdio>
#include <iostream>

namespace check {

namespace {

std::string fixed(double value, int decimals = 3) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

int checkVoice(const Options& options, VoiceReport& report, bool text) {
    report = checks::measureVoice(options.stunServer, options.voiceCount, options.intervalMs);
    if (!text)
        return checks::voicePassed(report) ? ExitOk : ExitFailed;
    std::cout << "STUN server: " << report.server;
    if (!report.serverAddress.empty())
        std::cout << " (" << report.serverAddress << ')';
    std::cout << '\n';
    if (!report.serverAddress.empty()) {
        std::cout << "UDP: " << (report.udpReachable ? "reachable" : "no answer");
        if (report.tcpReachable)
            std::cout << "; TCP: " << (*report.tcpReachable ? "reachable" : "no answer");
        std::cout << '\n';
    }
    if (report.nat)
        std::cout << "Mapped address: " << report.mappedAddress << " (local " << report.localAddress
                  << "): " << (*report.nat ? "NAT" : "no NAT") << '\n';
    if (report.sent > 0) {
        std::cout << "Round trips: ";
        if (report.avgMs)
            std::cout << "min/avg/max = " << fixed(*report.minMs) << '/' << fixed(*report.avgMs)
                      << '/' << fixed(*report.maxMs) << " ms, ";
        std::cout << report.sent << " sent, " << report.received << " answered, " << report.late
                  << " late, " << fixed(report.lossPercent, 1) << " % lost\n";
    }
    if (report.jitterMs)
        std::cout << "Jitter: " << fixed(*report.jitterMs) << " ms\n";
    if (report.malformed > 0)
        std::cout << "Ignored: " << report.malformed << " malformed or foreign answers\n";
    if (report.mos)
        std::cout << "Call quality: " << report.quality << " (MOS " << fixed(*report.mos, 2)
                  << ", R " << fixed(*report.r, 1) << ", one-way delay "
                  << fixed(*report.oneWayMs, 1) << " ms, G.711 with loss concealment)\n";
    for (const std::string& warning : report.warnings)
        std::cout << "Warning: " << warning << '\n';
    if (report.error) {
        std::cout << "Error: " << report.error->step;
        if (report.error->number)
            std::cout << " (" << *report.error->number << ')';
        std::cout << ": " << report.error->description << '\n';
    }
    return checks::voicePassed(report) ? ExitOk : ExitFailed;
}

} // namespace check

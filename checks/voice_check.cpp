// The voice check: the STUN series, its statistics, the TCP fallback and
// the call-quality estimate.

#include "checks/voice_check.h"

#include "checks/e_model.h"
#include "checks/stun_client.h"
#include "net/socket_errors.h"
#include "ping/echo_target.h"
#include "platform/winsock.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace checks {

namespace {

StepError stepError(const char* step, const stun::Failure& failure) {
    return StepError{step, failure.number,
                     failure.source.empty() ? failure.description
                                            : failure.source + ": " + failure.description};
}

std::string hostAndPort(const std::string& ip, std::uint16_t port) {
    const bool v6 = ip.find(':') != std::string::npos;
    return (v6 ? "[" + ip + "]" : ip) + ":" + std::to_string(port);
}

bool readPort(std::string_view text, std::uint16_t& port) {
    unsigned value = 0;
    auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || last != text.data() + text.size() || value < 1 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

} // namespace

bool splitServer(const std::string& text, std::string& host, std::uint16_t& port,
                 std::string& why) {
    port = DefaultStunPort;
    host = text;
    std::optional<std::string> portText;
    if (text.starts_with("[")) {
        const std::size_t close = text.find(']');
        const std::string rest = close == std::string::npos ? "" : text.substr(close + 1);
        if (close == std::string::npos || (!rest.empty() && rest[0] != ':')) {
            why = "\"" + text + "\" is not [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        if (!rest.empty())
            portText = rest.substr(1);
    } else if (const std::size_t colon = text.find(':');
               colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    } // more than one colon: a bare IPv6 address
    if (portText && !readPort(*portText, port)) {
        why = "\"" + text + "\": not a port number (1 to 65535)";
        return false;
    }
    if (const std::string impossible = PingMod::ImpossibleTarget(host); !impossible.empty()) {
        why = impossible;
        return false;
    }
    return true;
}

std::optional<double> interarrivalJitter(const std::vector<std::optional<double>>& roundTrips) {
    std::optional<double> previous, jitter;
    for (const std::optional<double>& trip : roundTrips) {
        if (!trip)
            continue;
        if (previous)
            jitter = jitter.value_or(0) + (std::abs(*trip - *previous) - jitter.value_or(0)) / 16;
        previous = trip;
    }
    return jitter;
}

VoiceReport measureVoice(const std::string& server, int count, int intervalMs) {
    VoiceReport report;
    report.server = server;
    std::string host, why;
    std::uint16_t port = DefaultStunPort;
    if (!splitServer(server, host, port, why)) {
        report.error = StepError{"lookup", std::nullopt, why};
        return report;
    }
    const PingMod::EchoTarget target = PingMod::ResolveEchoTarget(host);
    if (target.lookupError != 0) {
        report.error = StepError{"lookup", target.lookupError,
                                 host + ": " + GetErrorDescription(target.lookupError)};
        return report;
    }
    const std::string ip = platform::winsock::addressToText(target.address);
    report.serverAddress = hostAndPort(ip, port);

    const stun::UdpSeries series = stun::runUdpSeries(ip, port, count, intervalMs);
    if (series.failure)
        report.error = stepError("udp", *series.failure);
    report.sent = static_cast<int>(series.roundTrips.size());
    report.late = series.late;
    report.malformed = series.malformed;
    std::vector<double> trips;
    for (const std::optional<double>& trip : series.roundTrips)
        if (trip)
            trips.push_back(*trip);
    report.received = static_cast<int>(trips.size());
    if (report.sent > 0)
        report.lossPercent = 100.0 * (report.sent - report.received - report.late) / report.sent;
    report.udpReachable = report.received + report.late > 0;
    if (!trips.empty()) {
        report.minMs = *std::min_element(trips.begin(), trips.end());
        report.maxMs = *std::max_element(trips.begin(), trips.end());
        double sum = 0;
        for (double ms : trips)
            sum += ms;
        report.avgMs = sum / static_cast<double>(trips.size());
        report.jitterMs = interarrivalJitter(series.roundTrips).value_or(0);
    }
    if (series.mapped) {
        report.mappedAddress = hostAndPort(series.mapped->ip, series.mapped->port);
        report.localAddress = hostAndPort(series.local.ip, series.local.port);
        report.nat =
            !(series.mapped->ip == series.local.ip && series.mapped->port == series.local.port);
    }

    if (!report.udpReachable && !series.failure) {
        const stun::TcpBinding tcp = stun::runTcpBinding(ip, port);
        report.tcpReachable = tcp.answered;
        if (tcp.failure)
            report.error = stepError("tcp", *tcp.failure);
        report.warnings.push_back(tcp.answered ? UdpBlockedTcpReachableText
                                               : UdpBlockedTcpBlockedText);
        return report;
    }
    if (!report.avgMs)
        return report; // only late answers, or none before the socket failed

    // Answers after their window would miss their turn in a jitter buffer:
    // for the estimate they are lost too.
    const double effectiveLoss =
        report.sent > 0 ? 100.0 * (report.sent - report.received) / report.sent : 0;
    report.oneWayMs = emodel::oneWayDelayMs(*report.avgMs, *report.jitterMs);
    report.r = emodel::rating(*report.oneWayMs, effectiveLoss);
    report.mos = emodel::mos(*report.r);
    report.quality = emodel::label(*report.mos);
    char text[96];
    if (*report.avgMs > HighRoundTripMs) {
        std::snprintf(text, sizeof text, "round trip %.1f ms is above %.0f ms", *report.avgMs,
                      HighRoundTripMs);
        report.warnings.push_back(text);
    }
    if (*report.jitterMs > HighJitterMs) {
        std::snprintf(text, sizeof text, "jitter %.1f ms is above %.0f ms", *report.jitterMs,
                      HighJitterMs);
        report.warnings.push_back(text);
    }
    if (effectiveLoss > HighLossPercent) {
        std::snprintf(text, sizeof text, "%.4g %% of requests lost or late, above %.0f %%",
                      effectiveLoss, HighLossPercent);
        report.warnings.push_back(text);
    }
    return report;
}

bool voicePassed(const VoiceReport& report) {
    return report.udpReachable && emodel::goodEnough(report.quality);
}

} // namespace checks

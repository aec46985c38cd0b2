#include "cli/check_json.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

namespace check {

namespace {

using json = nlohmann::ordered_json;

// A measured number, or null where there is none (silence has no level).
json number(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value))
        return nullptr;
    return *value;
}

json text(const std::string& value) {
    return value.empty() ? json(nullptr) : json(value);
}

std::string utcNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

json connection(const ConnectionReport& r) {
    json results = json::array();
    for (std::int32_t ms : r.listedMs)
        results.push_back(ms < 0 ? json(nullptr) : json(ms));
    json requests = json::array();
    for (const EchoRequestReport& request : r.requests)
        requests.push_back({{"ms", number(request.ms)}, {"reason", text(request.reason)}});
    return {
        {"address", r.address},
        {"resolved_address", r.resolvedAddress.empty() ? json(nullptr) : json(r.resolvedAddress)},
        {"results_ms", results},
        {"total_ms", r.totalMs ? json(*r.totalMs) : json(nullptr)},
        {"rating", r.rating},
        {"reason", text(r.reason)},
        {"warning", text(r.warning)},
        {"requests", requests},
        {"sent", r.trips.sent},
        {"received", r.trips.received},
        {"loss_percent", r.trips.lossPercent},
        {"min_ms", number(r.trips.minMs)},
        {"avg_ms", number(r.trips.avgMs)},
        {"max_ms", number(r.trips.maxMs)},
        {"mdev_ms", number(r.trips.mdevMs)}};
}

json transfer(const std::optional<TransferReport>& t) {
    if (!t)
        return nullptr;
    json rate = nullptr; // unmeasured
    if (t->seconds > 0)
        rate = static_cast<double>(t->bytes) * 8 / t->seconds / 1e6;
    return {{"verdict", t->verdict},
            {"bytes", t->bytes},
            {"seconds", t->seconds},
            {"mbit_per_s", rate}};
}

// The step that failed, its number where it has one, and why; null if none.
json stepError(const std::optional<StepError>& e) {
    if (!e)
        return nullptr;
    return {{"step", e->step},
            {"number", e->number ? json(*e->number) : json(nullptr)},
            {"description", e->description}};
}

json bandwidth(const BandwidthReport& r) {
    return {{"server", r.server},
            {"download", transfer(r.download)},
            {"upload", transfer(r.upload)},
            {"error", stepError(r.error)}};
}

json microphone(const MicrophoneReport& r) {
    json channels = json::array();
    for (const LevelReport& c : r.channels)
        channels.push_back({{"peak_dbfs", number(c.peakDbfs)}, {"rms_dbfs", number(c.rmsDbfs)}});
    return {{"device", text(r.device)},
            {"seconds", r.seconds},
            {"peak_dbfs", number(r.overall.peakDbfs)},
            {"rms_dbfs", number(r.overall.rmsDbfs)},
            {"channels", channels},
            {"clipped_percent", r.clippedPercent},
            {"mono", r.mono},
            {"verdict", r.verdict},
            {"warning", text(r.warning)},
            {"reason", text(r.reason)}};
}

json speakers(const SpeakerReport& r) {
    return {{"device", text(r.device)},
            {"wave_seconds", r.waveSeconds},
            {"speech_seconds", r.speechSeconds},
            {"verdict", r.verdict},
            {"reason", text(r.reason)}};
}

json voice(const VoiceReport& r) {
    return {{"server", r.server},
            {"server_address", text(r.serverAddress)},
            {"udp_reachable", r.udpReachable},
            {"tcp_reachable", r.tcpReachable ? json(*r.tcpReachable) : json(nullptr)},
            {"mapped_address", text(r.mappedAddress)},
            {"local_address", text(r.localAddress)},
            {"nat", r.nat ? json(*r.nat) : json(nullptr)},
            {"sent", r.sent},
            {"received", r.received},
            {"late", r.late},
            {"malformed", r.malformed},
            {"loss_percent", r.lossPercent},
            {"min_ms", number(r.minMs)},
            {"avg_ms", number(r.avgMs)},
            {"max_ms", number(r.maxMs)},
            {"jitter_ms", number(r.jitterMs)},
            {"one_way_delay_ms", number(r.oneWayMs)},
            {"r", number(r.r)},
            {"mos", number(r.mos)},
            {"quality", text(r.quality)},
            {"warnings", r.warnings},
            {"error", stepError(r.error)}};
}

} // namespace

void writeJson(std::ostream& out, const Report& report, bool ok) {
    json object = {
        {"tool", "mitu-check"}, {"version", MITU_VERSION}, {"time", utcNow()}, {"ok", ok}};
    if (report.connection)
        object["connection"] = connection(*report.connection);
    if (report.voice)
        object["voice"] = voice(*report.voice);
    if (report.bandwidth)
        object["bandwidth"] = bandwidth(*report.bandwidth);
    if (report.microphone)
        object["microphone"] = microphone(*report.microphone);
    if (report.speakers)
        object["speakers"] = speakers(*report.speakers);
    out << object.dump(2) << '\n';
}

} // namespace check

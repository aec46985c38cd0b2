#include "platform/media_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>
#include <vector>

namespace platform {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> words(const std::string& command) {
    std::istringstream in(command);
    std::vector<std::string> result;
    std::string word;
    while (in >> word)
        result.push_back(lower(word));
    return result;
}

// A whole, non-negative decimal number that fits the range, or nothing.
bool parseNumber(const std::string& text, std::int64_t max, std::int64_t& value) {
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0 && value <= max;
}

} // namespace

MediaCommands::MediaCommands(DeviceFactory factory) : m_factory(std::move(factory)) {}

MediaCommands::~MediaCommands() {
    closeAll();
}

bool MediaCommands::isOpen(const std::string& alias) const {
    return m_devices.count(lower(alias)) != 0;
}

std::uint32_t MediaCommands::closeAll() {
    // Taken out of the registry first: a device's close may run handlers
    // that send further commands.
    auto devices = std::move(m_devices);
    m_devices.clear();
    for (auto& entry : devices)
        entry.second->close();
    return Ok;
}

std::uint32_t MediaCommands::sendString(const std::string& command) {
    const std::vector<std::string> w = words(command);
    if (w.empty())
        return UnrecognizedCommand;
    const std::string& verb = w[0];

    if (verb == "open") {
        // open new type waveaudio alias NAME
        if (w.size() != 6 || w[1] != "new" || w[2] != "type" || w[4] != "alias")
            return BadParameter;
        if (w[3] != "waveaudio")
            return UnsupportedType;
        if (w[5] == "all")
            return BadParameter;
        if (m_devices.count(w[5]))
            return AliasInUse;
        std::unique_ptr<WaveAudioDevice> device = m_factory ? m_factory() : nullptr;
        if (!device)
            return DeviceFailed;
        m_devices.emplace(w[5], std::move(device));
        return Ok;
    }

    if (w.size() < 2)
        return BadParameter;
    if (verb == "close" && w[1] == "all")
        return w.size() == 2 ? closeAll() : BadParameter;

    auto it = m_devices.find(w[1]);
    const bool known = verb == "close" || verb == "set" || verb == "seek" || verb == "record" ||
                       verb == "stop" || verb == "play";
    if (!known)
        return UnrecognizedCommand;
    if (it == m_devices.end())
        return UnknownDevice;
    WaveAudioDevice& device = *it->second;

    if (verb == "close") {
        if (w.size() != 2)
            return BadParameter;
        auto closing = std::move(it->second);
        m_devices.erase(it);
        closing->close();
        return Ok;
    }
    if (verb == "set") {
        std::int64_t value = 0;
        if (w.size() != 4)
            return BadParameter;
        if (w[2] == "channels") {
            if (!parseNumber(w[3], 8, value) || value == 0)
                return BadParameter;
            device.setChannels(static_cast<int>(value));
        } else if (w[2] == "samplespersec") {
            if (!parseNumber(w[3], 192000, value) || value < 1000)
                return BadParameter;
            device.setSamplesPerSecond(static_cast<int>(value));
        } else if (w[2] == "bitspersample") {
            if (!parseNumber(w[3], 32, value) || (value != 8 && value != 16 && value != 32))
                return BadParameter;
            device.setBitsPerSample(static_cast<int>(value));
        } else {
            return BadParameter;
        }
        return Ok;
    }
    if (verb == "seek") {
        // seek NAME to start | seek NAME to N
        std::int64_t position = 0;
        if (w.size() != 4 || w[2] != "to")
            return BadParameter;
        if (w[3] != "start" && !parseNumber(w[3], INT32_MAX, position))
            return BadParameter;
        device.seek(position);
        return Ok;
    }
    if (verb == "record") {
        if (w.size() != 2)
            return BadParameter;
        if (device.record())
            return Ok;
        m_lastFailure = device.failure();
        return DeviceFailed;
    }
    if (verb == "stop") {
        if (w.size() != 2)
            return BadParameter;
        device.stop();
        return Ok;
    }
    // play NAME [from N]
    std::int64_t from = 0;
    if (w.size() == 4) {
        if (w[2] != "from" || !parseNumber(w[3], INT32_MAX, from))
            return BadParameter;
    } else if (w.size() != 2) {
        return BadParameter;
    }
    if (device.play(from))
        return Ok;
    m_lastFailure = device.failure();
    return DeviceFailed;
}

} // namespace platform

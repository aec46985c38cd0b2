#pragma once

// The command line of mitu-check's subcommands: one set of options, of
// which each subcommand accepts its own share.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace check {

struct Options {
    std::string address; // connection: ADDRESS or --address
    int count = 5;       // connection: counted echo requests, 1-100
    std::string server;  // bandwidth
    int port = 0;
    std::string user;
    std::string password;
    std::string folder;
    int seconds = 3;        // microphone: length of the take, 1-30
    std::string stunServer; // voice: HOST[:PORT]
    int voiceCount = 50;    // voice: Binding requests, 1-1000
    int intervalMs = 20;    // voice: between requests, 10-1000
    bool json = false;
};

// Which options a subcommand takes.
enum OptionSet : unsigned {
    ConnectionOptions = 1,
    BandwidthOptions = 2,
    MicrophoneOptions = 4,
    SpeakerOptions = 8,
    // --server HOST[:PORT], --count N, --interval MS; beside the bandwidth
    // and connection options (in all) the server is --stun-server and the
    // count is the connection's.
    VoiceOptions = 16,
};

// Fills `options` (already holding the defaults) from `arguments`;
// false on anything `accepted` does not cover or a value out of range.
bool parseOptions(const std::vector<std::string>& arguments, unsigned accepted, Options& options);

// The defaults: the service's settings (files and variables); what could
// not be used in them is reported on standard error.
Options defaultOptions();

} // namespace check

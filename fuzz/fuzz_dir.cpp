// The directory reader of 257 replies.
#include "ftp/ftp_reply.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string directory = "left over";
    const bool found = ftp::DirFromResponse(reply, directory);
    // A quote in the path stands for two in the reply ("" inside the quotes).
    const auto quotes = [](const std::string& text) {
        return std::count(text.begin(), text.end(), '"');
    };
    if (directory.size() > reply.size() || (!found && !directory.empty()) ||
        directory.find('\\') != std::string::npos || 2 * quotes(directory) > quotes(reply))
        std::abort();
    return 0;
}

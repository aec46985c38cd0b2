// The directory reader of 257 replies.
#include "ftp/ftp_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string directory = "left over";
    const bool found = ftp::DirFromResponse(reply, directory);
    if (directory.size() > reply.size() || (!found && !directory.empty()) ||
        directory.find('\\') != std::string::npos || directory.find('"') != std::string::npos)
        std::abort();
    return 0;
}

// The passive-mode (227) and extended passive-mode (229) reply readers.
#include "ftp/ftp_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string host;
    std::int32_t port = -1;
    if (ftp::ParsePassiveReply(reply, host, port)) {
        if (port < 1 || port > 65535 || host.size() < 7 || host.size() > 15)
            std::abort();
    }
    port = -1;
    if (ftp::ParseExtendedPassiveReply(reply, port) && (port < 1 || port > 65535))
        std::abort();
    return 0;
}

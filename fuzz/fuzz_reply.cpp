// The control connection's reply parser over arbitrary text, whole and in
// the pieces a server may send it in.
#include "ftp/ftp_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

void checkReply(std::string_view text) {
    const ftp::ParsedReply parsed = ftp::ParseReply(text);
    check(parsed.end <= text.size());
    if (parsed.code == 0) {
        check(parsed.end == 0);
        return;
    }
    check(parsed.code >= 0 && parsed.code <= 999);
    check(parsed.end >= 6);
    check(text.substr(parsed.end - 2, 2) == "\r\n");
    // The final line is the one that gave the code.
    const std::size_t lineStart = text.rfind("\r\n", parsed.end - 3);
    const std::size_t at = lineStart == std::string_view::npos ? 0 : lineStart + 2;
    check(std::to_string(parsed.code).size() <= 3);
    check(text[at + 3] == ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkReply(text);

    // The client keeps what has come and reads it again after each piece,
    // taking out each completed reply: the pieces may split anywhere.
    std::string buffer;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = 1 + data[at] % 16;
        buffer.append(text.substr(at, length));
        at += length;
        for (;;) {
            const ftp::ParsedReply parsed = ftp::ParseReply(buffer);
            if (parsed.code == 0)
                break;
            check(parsed.end > 0 && parsed.end <= buffer.size());
            buffer.erase(0, parsed.end);
        }
    }
    return 0;
}

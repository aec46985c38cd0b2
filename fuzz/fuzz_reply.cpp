// The control connection's reply parser and reply buffer over arbitrary
// text, whole and in the pieces a server may send it in.
#include "ftp/ftp_reply.h"

#include <algorithm>
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
    check(parsed.end >= 5);
    check(text[parsed.end - 1] == '\n'); // LF ends a line, with or without CR
    // The final line is the one that gave the code.
    const std::size_t lineStart = text.rfind('\n', parsed.end - 2);
    const std::size_t at = lineStart == std::string_view::npos ? 0 : lineStart + 1;
    check(std::to_string(parsed.code).size() <= 3);
    check(text[at + 3] == ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkReply(text);

    // The client's reply buffer fed in pieces that may split anywhere:
    // every byte ends up in exactly one reply or stays in the buffer, in
    // order, and each reply's shown text is part of it.
    ftp::ReplyBuffer buffer;
    std::string taken;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(1 + data[at] % 16, size - at);
        buffer.consume(text.substr(at, length));
        at += length;
        while (auto reply = buffer.pop()) {
            check(reply->code >= 100 && reply->code <= 999);
            check(reply->text.size() >= 5 && reply->text.size() <= at - taken.size());
            check(reply->text.find(reply->shown) != std::string::npos);
            taken += reply->text;
        }
        check(taken.size() + buffer.size() == at);
        check(text.substr(0, taken.size()) == taken);
    }
    return 0;
}

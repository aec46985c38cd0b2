// Server text made harmless for a terminal: no control sequence of the
// server's reaches it, and invalid UTF-8 cannot start one either.
#include "platform/terminal_text.h"

namespace platform {

namespace {

void escape(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0f];
}

// The length of the valid UTF-8 sequence at `at` (RFC 3629: no overlong
// forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return length;
}

} // namespace

std::string terminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                escape(out, c);
            else
                out += static_cast<char>(c);
            ++at;
            continue;
        }
        const std::size_t length = sequenceLength(text, at);
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        const bool control =
            length == 2 && c == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0x9f;
        if (length == 0 || control) {
            const std::size_t count = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < count; ++i)
                escape(out, static_cast<unsigned char>(text[at + i]));
            at += count;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

} // namespace platform

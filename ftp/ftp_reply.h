#pragma once

// Reading what an FTP server says: replies on the control connection, the
// address of a 227 reply, the port of a 229 reply and the directory of a
// 257 reply. Pure functions
// over text, plus the buffer that turns the pieces the network delivers
// into whole replies.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ftp {

// The first reply in `text`: its code (0 while no reply is complete),
// `end` the length of the text up to and including its final line, and
// `message` the continuation lines before it ("-" after the code), each
// followed by CR LF. A line ends at LF, with or without a CR before it. A
// final line is three digits (100 and up) and a blank; a preliminary reply
// (1xx) is a reply of its own.
// Lines that are no reply lines are skipped.
struct ParsedReply {
    std::int16_t code = 0;
    std::size_t end = 0;
    std::string message;
};
ParsedReply ParseReply(std::string_view text);

// The address a 227 reply names: the six numbers h1,h2,h3,h4,p1,p2 between
// its parentheses, or, for a server that leaves those out, the first six
// comma-separated numbers after the code. False when it names none usable.
bool ParsePassiveReply(const std::string& strReply, std::string& host, std::int32_t& port);

// The port a 229 reply names (RFC 2428): "(|||port|)" with any one
// printable delimiter in place of "|". False when it names none usable.
bool ParseExtendedPassiveReply(const std::string& strReply, std::int32_t& port);

// The argument of EPRT (RFC 2428) for a literal address of either family:
// "|1|127.0.0.1|port|" or "|2|::1|port|".
std::string ExtendedPortArgument(const std::string& address, std::int32_t port);

// The quoted directory of a 257 reply, a doubled quote inside it read as
// one and back slashes made forward; false (and `directory` empty) when
// there is none.
bool DirFromResponse(const std::string& strReply, std::string& directory);

// The size a 213 reply to SIZE gives, or nothing.
std::optional<std::int64_t> SizeFromResponse(const std::string& strReply);

// Whether a 211 reply to FEAT (RFC 2389) lists MLST (RFC 3659), and with it
// MLSD: a feature line, a blank and the feature's name first, in any case.
bool FeaturesOfferMlst(const std::string& strReply);

// The text `LastFtpError` gives a reply code (number 16000 + code); "" for
// codes it does not explain. The client's own numbers are in ftp_errors.h.
const char* ReplyCodeText(int code);

// The control connection's text, fed in the pieces the network delivers
// and taken out one complete reply at a time. A reply still open (a line
// without its LF, a multi-line reply without its final line) stays
// until a later piece completes it.
class ReplyBuffer {
public:
    struct Reply {
        std::int16_t code = 0;
        std::string text;    // the whole reply, line ends included
        std::string shown;   // its part in the latest piece, without the last line end
        std::string message; // continuation lines, without the last CR LF
    };

    void consume(std::string_view piece);
    // The next complete reply, taken out of the buffer.
    std::optional<Reply> pop();
    // Continuation text of a multi-line reply that has begun but not ended.
    std::string openMessage() const;
    std::size_t size() const { return m_text.size(); }
    void clear();

private:
    std::string m_text;
    std::size_t m_pieceStart = 0; // where the latest piece begins in m_text
};

} // namespace ftp

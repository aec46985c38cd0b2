// Reply parsing of the FTP client: complete replies out of control text,
// the 227 address, the 257 directory, the 213 size, the reply-code texts.
#include "ftp/ftp_reply.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace ftp {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string trimmed(std::string text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

} // namespace

ParsedReply ParseReply(std::string_view text) {
    ParsedReply result;
    std::string message;
    std::size_t start = 0;
    for (;;) {
        // A line ends at LF, with or without CR before it: some servers
        // send bare LF. It counts once its LF has arrived.
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            break;
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        start = end + 1;
        // Reply codes run from 100 up; a line starting "0" is no reply line
        // (a code of 0 would read as "no reply yet" and stall the session).
        if (line.size() < 4 || !isDigit(line[0]) || line[0] == '0' || !isDigit(line[1]) ||
            !isDigit(line[2]))
            continue;
        if (line[3] == '-') {
            message.append(line.substr(4));
            message.append("\r\n");
        } else if (line[3] == ' ') {
            result.code = static_cast<std::int16_t>((line[0] - '0') * 100 + (line[1] - '0') * 10 +
                                                    (line[2] - '0'));
            result.end = start;
            result.message = std::move(message);
            // What follows is the next reply, read in a pass of its own.
            return result;
        }
    }
    result.message = std::move(message);
    return result;
}

bool ParsePassiveReply(const std::string& strReply, std::string& host, std::int32_t& port) {
    std::string inner;
    const std::size_t open = strReply.find('(');
    const std::size_t close = strReply.find(')', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos) {
        inner = strReply.substr(open + 1, close - open - 1);
    } else {
        const std::size_t code = strReply.find("227");
        const std::size_t first =
            strReply.find_first_of("0123456789", code == std::string::npos ? 0 : code + 3);
        if (first == std::string::npos)
            return false;
        const std::size_t last = strReply.find_first_not_of("0123456789, ", first);
        inner = withoutLineEnd(
            strReply.substr(first, last == std::string::npos ? std::string::npos : last - first));
    }
    std::vector<int> numbers;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = inner.find(',', start);
        const std::string item = trimmed(
            inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item.empty() || item.size() > 3 ||
            item.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const int value = std::stoi(item);
        if (value > 255)
            return false;
        numbers.push_back(value);
        if (comma == std::string::npos || numbers.size() == 6)
            break;
        start = comma + 1;
    }
    if (numbers.size() != 6)
        return false;
    host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
           std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
    port = numbers[4] * 256 + numbers[5];
    return port != 0;
}

bool ParseExtendedPassiveReply(const std::string& strReply, std::int32_t& port) {
    const std::size_t open = strReply.find('(');
    const std::size_t close = strReply.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos)
        return false;
    const std::string inner = strReply.substr(open + 1, close - open - 1);
    if (inner.size() < 5 || inner.size() > 9)
        return false;
    const char delimiter = inner[0];
    if (delimiter < 33 || delimiter > 126 || (delimiter >= '0' && delimiter <= '9') ||
        inner[1] != delimiter || inner[2] != delimiter || inner.back() != delimiter)
        return false;
    const std::string digits = inner.substr(3, inner.size() - 4);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(digits);
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

std::string ExtendedPortArgument(const std::string& address, std::int32_t port) {
    const char* family = address.find(':') == std::string::npos ? "1" : "2";
    return std::string("|") + family + "|" + address + "|" + std::to_string(port) + "|";
}

bool DirFromResponse(const std::string& strReply, std::string& directory) {
    directory.clear();
    if (strReply.size() < 7)
        return false;
    const std::size_t open = strReply.find('"');
    if (open == std::string::npos)
        return false;
    // A quote inside the path is written twice (RFC 959, appendix II).
    std::string path;
    std::size_t at = open + 1;
    for (;; ++at) {
        if (at >= strReply.size())
            return false; // no closing quote
        if (strReply[at] == '"') {
            if (at + 1 >= strReply.size() || strReply[at + 1] != '"')
                break;
            ++at;
        }
        path += strReply[at];
    }
    std::replace(path.begin(), path.end(), '\\', '/');
    directory = std::move(path);
    return true;
}

std::optional<std::int64_t> SizeFromResponse(const std::string& strReply) {
    // "213 <digits>" on the final line.
    const ParsedReply parsed = ParseReply(strReply);
    if (parsed.code != 213)
        return std::nullopt;
    const std::string line = withoutLineEnd(strReply.substr(0, parsed.end));
    const std::size_t lineStart = line.rfind('\n');
    const std::size_t at = lineStart == std::string::npos ? 4 : lineStart + 5;
    const std::string digits = trimmed(line.substr(std::min(at, line.size())));
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(digits);
}

bool FeaturesOfferMlst(const std::string& strReply) {
    if (ParseReply(strReply).code != 211)
        return false;
    for (std::size_t start = strReply.find('\n'); start != std::string::npos;
         start = strReply.find('\n', start + 1)) {
        // " MLST type*;size*;..." or " mlst" on a line of its own.
        if (start + 6 > strReply.size() || strReply[start + 1] != ' ')
            continue;
        std::string name = strReply.substr(start + 2, 5);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; });
        if (name.starts_with("MLST") &&
            (name.size() == 4 || name[4] == ' ' || name[4] == '\r' || name[4] == '\n'))
            return true;
    }
    return false;
}

const char* ReplyCodeText(int code) {
    static const std::pair<int, const char*> texts[] = {
        {120, "Service ready in nnn minutes."},
        {332, "Need account for login."},
        {350, "Requested file action pending further information."},
        {421, "Service not available, closing control connection."},
        {425, "Can 't open data connection."},
        {426, "Connection closed; transfer aborted."},
        {450, "Requested file action not taken."},
        {451, "Requested action aborted: local error in processing."},
        {452, "Requested action not taken."},
        {500, "Syntax error, command unrecognized."},
        {501, "Syntax error in parameters or arguments."},
        {502, "Command not implemented."},
        {503, "Bad sequence of commands."},
        {504, "Command not implemented for that parameter."},
        {530, "Not logged in."},
        {532, "Need account for storing files."},
        {550, "Requested action not taken."},
        {551, "Requested action aborted: page type unknown."},
        {552, "Requested file action aborted."},
        {553, "Requested action not taken."},
    };
    for (const auto& [number, text] : texts)
        if (number == code)
            return text;
    return "";
}

// --- the reply buffer ------------------------------------------------------------

void ReplyBuffer::consume(std::string_view piece) {
    m_pieceStart = m_text.size();
    m_text.append(piece);
}

std::optional<ReplyBuffer::Reply> ReplyBuffer::pop() {
    if (m_text.size() <= 2)
        return std::nullopt;
    ParsedReply parsed = ParseReply(m_text);
    if (parsed.code == 0)
        return std::nullopt;
    Reply reply;
    reply.code = parsed.code;
    reply.text = m_text.substr(0, parsed.end);
    if (parsed.message.size() > 2)
        reply.message = parsed.message.substr(0, parsed.message.size() - 2);
    // What of this reply the latest piece brought: the whole reply when it
    // came in one piece with others, its tail when it came in several.
    std::string shown = withoutLineEnd(parsed.end > m_pieceStart
                                           ? m_text.substr(m_pieceStart, parsed.end - m_pieceStart)
                                           : std::string());
    if (shown.empty()) { // only the line end came in this piece
        const std::string text = withoutLineEnd(reply.text);
        const std::size_t at = text.rfind('\n');
        shown = at == std::string::npos ? text : text.substr(at + 1);
    }
    reply.shown = std::move(shown);
    m_text.erase(0, parsed.end);
    m_pieceStart = m_pieceStart > parsed.end ? m_pieceStart - parsed.end : 0;
    return reply;
}

std::string ReplyBuffer::openMessage() const {
    if (m_text.size() <= 2)
        return std::string();
    ParsedReply parsed = ParseReply(m_text);
    if (parsed.code != 0 || parsed.message.size() <= 2)
        return std::string();
    return parsed.message.substr(0, parsed.message.size() - 2);
}

void ReplyBuffer::clear() {
    m_text.clear();
    m_pieceStart = 0;
}

} // namespace ftp

#pragma once

// The FTP client's own error numbers and their fixed texts. Each is a
// plain number. Errors marked "raised" reach the caller of a method; the
// others end a method that is under way and are left in `LastFtpError`.
// Other numbers the client reports are those of the socket (control or data
// connection, net/socket_errors.h) and the standard run-time errors of the
// local file and of bad arguments (platform/error.h).

#include <cstdint>

namespace ftp::errors {

// A reply the method cannot go on with: the number is this base plus the
// reply code (16100 to 16999), the description the code's text
// (ReplyCodeText) or else the server's own words, the source ReplySource.
inline constexpr std::int32_t ReplyBase = 16000;
inline constexpr const char* ReplySource = "Brindle.CFtpClient";

constexpr std::int32_t ReplyErrorNumber(std::int32_t code) {
    return ReplyBase + code;
}

// The reply code (100 to 599) that an error number stands for, else 0.
constexpr std::int32_t ReplyCodeOfError(std::int32_t number) {
    const std::int32_t code = number - ReplyBase;
    return code >= 100 && code <= 599 ? code : 0;
}

// A 257 reply without a quoted path.
inline constexpr std::int32_t NoDirectory = 16001;
inline constexpr const char* NoDirectoryText =
    "Cannot retrieve the current directory path. Unexpected server response.";

// A listing the parser cannot read.
inline constexpr std::int32_t UnknownListingFormat = 16002;
inline constexpr const char* UnknownListingFormatText = "Unknown listing format.";

// A reply longer than CFtpClient::MaxReplyLength; the session is closed.
inline constexpr std::int32_t ReplyTooLong = 16003;

// No local port can be listened on for an active data connection.
inline constexpr std::int32_t NoFreePort = 16004;

// A 227 or 229 reply that names no usable port.
inline constexpr std::int32_t BadPassiveReply = 16005;

// (raised) A method called while another is pending: "Cannot execute the
// <Method> method. " followed by BusyText.
inline constexpr std::int32_t BusyError = 16007;
inline constexpr const char* BusyText = "Waiting fot the server response on the previous command.";

// (raised) No control connection; in LastFtpError with ServerClosedText
// when the server closes it while a method is pending.
inline constexpr std::int32_t NotConnected = 16008;
inline constexpr const char* NotConnectedText = "The connection is not established.";
inline constexpr const char* ServerClosedText = "The server closed the connection.";

// A resumed download whose local part is longer than the remote file.
inline constexpr std::int32_t LocalFileLonger = 16009;

// A download whose length differs from the size the server gave (SIZE, or
// the byte count of its 150 reply): short at its end, or longer as soon as
// more arrives, which is never written; a resumed download that starts over
// instead is cut back to the length its local file had before.
inline constexpr std::int32_t SizeMismatch = 16010;

// A listing longer than CFtpClient::MaxListingLength, or the length set
// with setMaxListingLength.
inline constexpr std::int32_t ListingTooLong = 16011;

// UseTls: the server refused AUTH TLS (the session is closed, nothing more
// is sent); the description is followed by the server's reply.
inline constexpr std::int32_t TlsRefused = 16012;
inline constexpr const char* TlsRefusedText = "The server refused TLS: ";

// UseTls: the TLS layer failed; the description is the reason, as "TLS:
// certificate has expired" or "TLS: hostname mismatch".
inline constexpr std::int32_t TlsFailed = 16013;

// An upload the server confirmed before the client had sent all of it and
// closed the data connection.
inline constexpr std::int32_t UploadConfirmedEarly = 16014;
inline constexpr const char* UploadConfirmedEarlyText =
    "the server confirmed the upload before receiving all of it";

} // namespace ftp::errors

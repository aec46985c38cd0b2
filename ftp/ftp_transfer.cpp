// Transfers of the FTP client: the three data methods, their replies on the
// control connection (FEAT, TYPE, SIZE, REST, RETR / STOR / LIST / MLSD), the end of a
// transfer, and the data socket's handlers. The data connection itself is
// set up in ftp_data_connection.cpp.
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"

#include "net/socket_errors.h"
#include "platform/error.h"

#include "ftp/ftp_ascii.h"
#include "ftp/ftp_listing.h"

#include <cerrno>
#include <chrono>
#include <optional>
#include <unistd.h>
#include <utility>

using platform::Error;
using M = FtpAsyncMethod;
using S = FtpSessionState;
using namespace ftp::detail;

namespace {

bool isPreliminary(std::int16_t code) {
    return code == 110 || code == 125 || code == 150;
}

// The byte count a 150 reply gives, as in "150 Opening BINARY mode data
// connection for f.bin (1000 bytes).".
std::optional<std::int64_t> announcedBytes(const std::string& reply) {
    for (auto open = reply.find('('); open != std::string::npos; open = reply.find('(', open + 1)) {
        std::size_t at = open + 1;
        std::int64_t value = 0;
        while (at < reply.size() && reply[at] >= '0' && reply[at] <= '9' &&
               value < (std::int64_t(1) << 56))
            value = value * 10 + (reply[at++] - '0');
        if (at > open + 1 && reply.compare(at, 7, " bytes)") == 0)
            return value;
    }
    return std::nullopt;
}

} // namespace

// --- the data methods ------------------------------------------------------------

void CFtpClient::DownloadFile(const std::string& strRemoteFilePath,
                              const std::string& strLocalFilePath, bool OverWrite) {
    StartMethod(
        M::DownloadFile, "DownloadFile",
        [&] {
            checkArgument(strRemoteFilePath, "DownloadFile");
            if (strLocalFilePath.empty())
                throw platform::invalidCallError("CFtpClient.DownloadFile");
            CheckDownloadTarget(strLocalFilePath);
            m_remotePath = strRemoteFilePath;
            m_localPath = strLocalFilePath;
            m_overwrite = OverWrite;
            m_downloadByteCount = 0;
            m_TransferSize = -1;
            m_data.drop();
        },
        [&] {
            m_transfer.ascii = m_TransferMode == static_cast<std::int32_t>(::TransferMode::Ascii);
            SendFtpCommand("TYPE", m_transfer.ascii ? "A" : "I");
        });
}

void CFtpClient::UploadFile(const std::string& strLocalFile, const std::string& strRemoteFile,
                            std::int64_t lngStartPosition) {
    StartMethod(
        M::UploadFile, "UploadFile",
        [&] {
            checkArgument(strRemoteFile, "UploadFile");
            // A negative offset names no byte of the file, nor one past its end.
            if (strLocalFile.empty() || lngStartPosition < 0 ||
                (lngStartPosition > 0 && LocalFileExists(strLocalFile) &&
                 lngStartPosition > LocalFileLength(strLocalFile)))
                throw platform::invalidCallError("CFtpClient.UploadFile");
            m_remotePath = strRemoteFile;
            m_localPath = strLocalFile;
            m_uploadStartPosition = lngStartPosition;
            m_uploadPiece = static_cast<std::size_t>(m_SendBufferLenght);
            m_TransferSize = -1;
            m_data.drop();
        },
        [&] {
            m_transfer.ascii = m_TransferMode == static_cast<std::int32_t>(::TransferMode::Ascii);
            SendFtpCommand("TYPE", m_transfer.ascii ? "A" : "I");
        });
}

// With UseMachineListings the session's first listing asks FEAT first,
// whether the server offers MLSD; the answer holds for the session.
void CFtpClient::EnumFiles() {
    StartMethod(
        M::EnumFiles, "EnumFiles",
        [&] {
            m_listingText.clear();
            m_listingCommand = ftp::Command::Other;
            m_data.drop();
        },
        [&] {
            if (m_UseMachineListings && !m_offersMlst)
                SendFtpCommand("FEAT", std::string());
            else
                SendFtpCommand("TYPE", "A");
        });
}

// --- replies to the data methods' commands ---------------------------------------

// A refusal means no features: the listing goes on with LIST. Only a
// transient failure (4xx, the end of the service among them) ends it.
void CFtpClient::OnFeatReply(std::int16_t code, const std::string& reply) {
    if (code < 200)
        return;
    if (code >= 400 && code < 500) {
        RaiseFtpError(code);
        return;
    }
    m_offersMlst = ftp::FeaturesOfferMlst(reply);
    SendFtpCommand("TYPE", "A");
}

void CFtpClient::OnTypeReply(std::int16_t code) {
    if (code != 200)
        RaiseFtpError(code);
    else if (m_currentMethod == M::DownloadFile && !m_transfer.ascii)
        SendFtpCommand("SIZE", m_remotePath); // RFC 3659; the answer is only a help
    else
        OpenDataConnection();
}

// Any answer will do: a size bounds the download and tells whether a
// partial file can be resumed; without one the download goes on unbounded.
void CFtpClient::OnSizeReply(std::int16_t code, const std::string& reply) {
    const auto size = code == 213 ? ftp::SizeFromResponse(reply) : std::nullopt;
    if (size) {
        m_TransferSize = *size;
        if (const std::int64_t local = ResumeOffset(); local >= 0) {
            if (local > *size) {
                FailTransfer(Error(LocalFileLonger, "CFtpClient.DownloadFile",
                                   "The local file " + m_localPath + " has " +
                                       std::to_string(local) + " bytes, more than the " +
                                       std::to_string(*size) +
                                       " bytes of the remote file: it cannot be resumed."));
                return;
            }
            if (local == *size) { // nothing left to fetch
                CloseLocalFile();
                completeMethod(AsyncResultStatus::Succeeded,
                               [&] { OnDataTransferProgress.raise(local); });
                return;
            }
        }
    }
    OpenDataConnection();
}

void CFtpClient::OnPasvReply(std::int16_t code, const std::string& reply) {
    if (code == 227) {
        EstablishPasvDataConnection(reply);
    } else if (code >= 500 && code < 600) {
        // A server that does not take PASV may still take EPSV; if it
        // takes neither, the PASV refusal is what is reported.
        m_pasvRefusal = code;
        SendFtpCommand("EPSV", std::string());
    } else {
        RaiseFtpError(code);
    }
}

void CFtpClient::OnEpsvReply(std::int16_t code, const std::string& reply) {
    const std::int16_t refusal = std::exchange(m_pasvRefusal, std::int16_t(0));
    if (code == 229)
        EstablishPasvDataConnection(reply);
    else
        RaiseFtpError(refusal != 0 ? refusal : code);
}

// PORT or EPRT.
void CFtpClient::OnPortReply(std::int16_t code) {
    if (code != 200) {
        // The listener is of no use any more, for a listing too.
        m_data.socket().CloseSocket();
        RaiseFtpError(code);
    } else {
        SendTransferCommand();
    }
}

void CFtpClient::OnRestReply(std::int16_t code) {
    if (code == 350) {
        SendFtpCommand(m_currentMethod == M::DownloadFile ? "RETR" : "STOR", m_remotePath);
    } else {
        abandonTransfer();
        RaiseFtpError(code);
    }
}

// The replies to RETR, LIST and STOR. A download or listing ends once the
// server has both closed the data connection and confirmed the transfer,
// so a transfer the server aborts is not taken for a complete one; an
// upload ends with the confirmation of the data the client has sent in
// full and closed, and a confirmation before that is a failure.
void CFtpClient::OnTransferCommandReply(std::int16_t code, const std::string& reply) {
    const FtpAsyncMethod method = m_currentMethod;
    if (isPreliminary(code) && !(code == 110 && method == M::EnumFiles)) {
        if (method == M::DownloadFile) {
            // A byte count in the reply bounds the download like SIZE does
            // (not for a resume: some servers count what is left).
            if (!m_transfer.ascii && m_TransferSize < 0 && m_transfer.resumeFrom == 0)
                if (const auto size = announcedBytes(reply))
                    m_TransferSize = *size;
            CheckDownloadLength(0);
            AcceptDownload();
        }
        if (method == M::UploadFile) {
            m_transfer.storAnswered = true;
            StartUpload();
        }
    } else if (code == 226 || code == 250) {
        if (m_data.failure) {
            // The server is content, but the data connection broke.
            FailTransfer(Error(*m_data.failure));
        } else if (method == M::UploadFile && !m_transfer.uploadClosed) {
            FailTransfer(Error(UploadConfirmedEarly, "CFtpClient.UploadFile",
                               ftp::errors::UploadConfirmedEarlyText));
        } else if (method == M::UploadFile) {
            completeMethod(AsyncResultStatus::Succeeded);
        } else {
            m_transfer.transferReplied = true;
            if (m_data.closed)
                FinishDataTransfer();
        }
    } else if (m_data.failure && m_data.failure->number() == TlsFailed) {
        // The server's refusal follows from the failure of the protected
        // data connection; the client's reason for it comes first.
        const Error failed = *m_data.failure;
        FailTransfer(
            Error(failed.number(), failed.source(),
                  failed.description() + "; the server answered: " + withoutLineEnd(reply)));
    } else if (m_listingCommand == ftp::Command::Mlsd &&
               (code == 500 || code == 502 || code == 504)) {
        // The server named MLST among its features but does not take MLSD:
        // the same listing is asked again with LIST, on a new data connection.
        abandonTransfer();
        m_offersMlst = false;
        m_listingCommand = ftp::Command::Other;
        SendFtpCommand("TYPE", "A");
    } else {
        abandonTransfer();
        RaiseFtpError(code);
    }
}

// The data connection is ready (passive: connected; active: PORT accepted):
// the local file is opened and the transfer command follows, unless a REST
// went out first, whose reply sends it.
void CFtpClient::SendTransferCommand() {
    switch (m_currentMethod) {
    case M::DownloadFile:
        OpenLocalFile();
        if (m_lastCommand != ftp::Command::Rest)
            SendFtpCommand("RETR", m_remotePath);
        break;
    case M::UploadFile:
        OpenLocalFileForUpload();
        if (m_lastCommand != ftp::Command::Rest)
            SendFtpCommand("STOR", m_remotePath);
        break;
    case M::EnumFiles:
        m_listingCommand = m_UseMachineListings && m_offersMlst.value_or(false)
                               ? ftp::Command::Mlsd
                               : ftp::Command::List;
        SendFtpCommand(ListingCommand(), std::string());
        break;
    default:
        break;
    }
}

// Sends the first chunk once both the data connection is up and the server
// has taken STOR; before that the file may not even be open.
void CFtpClient::StartUpload() {
    if (m_currentMethod != M::UploadFile || m_transfer.uploadStarted || m_data.failure ||
        !m_data.ready || !m_transfer.storAnswered)
        return;
    m_transfer.uploadStarted = true;
    m_uploadPosition = m_uploadStartPosition;
    UploadData();
}

// A download or listing has ended on both connections.
void CFtpClient::FinishDataTransfer() {
    const FtpAsyncMethod method = m_currentMethod;
    if (method == M::DownloadFile) {
        ByteArray tail; // a lone CR at the very end
        ftp::AsciiToLocalEnd(std::exchange(m_transfer.heldCR, false), tail);
        WriteLocal(tail.data(), tail.size());
        const std::int64_t received = m_downloadByteCount;
        const std::int64_t size = m_transfer.ascii ? -1 : m_TransferSize;
        m_transfer.downloadComplete = size < 0 || received == size;
        if (m_transfer.downloadComplete)
            AcceptDownload(); // an empty file the server sent without a preliminary reply
        CloseLocalFile();
        if (!m_transfer.downloadComplete) {
            // The partial file stays for a later resume.
            failMethod(Error(SizeMismatch, "CFtpClient.DownloadFile",
                             "The download ended with " + std::to_string(received) +
                                 " bytes of a file of " + std::to_string(size) + " bytes."));
            return;
        }
        completeMethod(AsyncResultStatus::Succeeded);
    } else if (method == M::EnumFiles) {
        // One copy of the text: the property's, which the entries are read from.
        auto text = std::make_shared<const std::string>(m_listingText.take());
        m_CurrentDirectoryListing = text;
        m_CurrentDirectoryFiles = m_listingCommand == ftp::Command::Mlsd
                                      ? ParseMachineListing(text)
                                      : ParseListingAt(text, ListingTimeNow());
        if (m_CurrentDirectoryFiles)
            completeMethod(AsyncResultStatus::Succeeded);
        else
            failMethod(Error(UnknownListingFormat, "CFtpClient.m_objDataSocket_OnClose",
                             ftp::errors::UnknownListingFormatText));
    }
}

// A data method fails: what the transfer leaves goes, and the method ends
// with status 1.
void CFtpClient::FailTransfer(const Error& error) {
    abandonTransfer();
    failMethod(error);
}

// The shared failure path of the data-socket handlers.
void CFtpClient::FailDataHandler(const char* handler) {
    const Error error = currentError();
    try {
        FailTransfer(
            Error(error.number(), std::string("CFtpClient.") + handler, error.description()));
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

// --- the data socket's handlers ----------------------------------------------------

void CFtpClient::m_objDataSocket_OnConnect() {
    try {
        if (m_currentMethod != M::None)
            m_objTimeOut->Reset();
        StartDataTls();
        m_data.ready = true;
        SendTransferCommand();
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnConnect");
    }
}

// The server connects to the listening port. A connection from any other
// address is closed at once and the listener waits on, within the
// time-out, for the server's.
void CFtpClient::m_objDataSocket_OnConnectionRequest(std::int32_t requestID) {
    try {
        if (requestID >= 0 &&
            !ftp::DataConnection::fromServer(requestID, m_objControlSocket->PeerAddress().ip))
            return; // a request nobody accepts is closed when the event ends
        if (requestID < 0) {
            m_data.abort(); // the listener goes
            throw Error(net::errors::ConnectionAborted, "CSocket.Accept",
                        "The server's data connection could not be accepted.");
        }
        m_data.accept(requestID);
        if (m_currentMethod == M::None) {
            // Nobody waits for this connection any more.
            CloseDataConnection();
            return;
        }
        m_objTimeOut->Reset();
        StartDataTls();
        m_data.ready = true; // an accepted connection is connected already
        StartUpload();
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnConnectionRequest");
    }
}

void CFtpClient::m_objDataSocket_OnClose() {
    try {
        if (m_currentMethod != M::DownloadFile && m_currentMethod != M::EnumFiles)
            return;
        m_data.closed = true;
        if (m_transfer.transferReplied)
            FinishDataTransfer();
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnClose");
    }
}

// The data connection failed. While the transfer command is unanswered,
// the server's reply decides what is reported (a refusal often comes with a
// reset of the data connection): the error is kept and the method waits
// for that reply, within its time-out.
void CFtpClient::m_objDataSocket_OnError(std::int16_t Number, std::string& Description,
                                         std::int32_t, std::string Source, std::string,
                                         std::int32_t, bool&) {
    try {
        const Error error(Number, Source, Description);
        if (!DataTransferInProgress()) {
            // What is left of an ended transfer's connection concerns no method.
            m_data.drop();
            return;
        }
        if (ftp::isTransfer(m_lastCommand) && m_owed.owesCurrentTransfer()) {
            m_data.failure = error;
            m_data.drop();
            return;
        }
        FailTransfer(error);
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

void CFtpClient::m_objDataSocket_OnDataArrival(std::int32_t bytesTotal) {
    try {
        if (m_currentMethod != M::None)
            m_objTimeOut->Reset();
        if (bytesTotal <= 0)
            return;
        Variant data;
        m_data.socket().GetData(data, vartype::ByteArray);
        const auto* bytes = std::get_if<ByteArray>(&data);
        if (!bytes || bytes->empty())
            return;
        if (m_currentMethod == M::DownloadFile)
            ReceiveDownload(*bytes);
        else if (m_currentMethod == M::EnumFiles)
            ReceiveListing(*bytes);
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnDataArrival");
    }
}

// Writes an arrival to the local file; in ASCII mode each CR LF becomes LF
// (a CR at the end of an arrival waits for the next one).
void CFtpClient::ReceiveDownload(const ByteArray& bytes) {
    AcceptDownload(); // data before the preliminary reply
    if (!m_transfer.ascii) {
        CheckDownloadLength(bytes.size());
        WriteLocal(bytes.data(), bytes.size());
        m_downloadByteCount += static_cast<std::int64_t>(bytes.size());
    } else {
        ByteArray text;
        m_transfer.heldCR = ftp::AsciiToLocal(bytes.data(), bytes.size(), m_transfer.heldCR, text);
        WriteLocal(text.data(), text.size());
        m_downloadByteCount += static_cast<std::int64_t>(text.size());
    }
    OnDataTransferProgress.raise(m_downloadByteCount);
}

// A binary download of a known size never grows past it: an arrival that
// would is not written, and the download fails. When it was resumed, more
// than what was left means that the server sent the file from its start
// again: what this download wrote is cut off, and the local file is as it
// was before.
void CFtpClient::CheckDownloadLength(std::size_t arriving) {
    const std::int64_t size = m_TransferSize;
    if (m_transfer.ascii || size < 0 ||
        m_downloadByteCount + static_cast<std::int64_t>(arriving) <= size)
        return;
    const char* source = "CFtpClient.m_objDataSocket_OnDataArrival";
    const std::int64_t from = m_transfer.resumeFrom;
    if (from <= 0)
        throw Error(SizeMismatch, source,
                    "The server sent more than the " + std::to_string(size) +
                        " bytes it gave as the size of the file.");
    if (m_localFile >= 0 && ::ftruncate(m_localFile, static_cast<off_t>(from)) != 0)
        throw fileError(DeviceIoError, source, "Cannot cut back", m_localPath, errno);
    m_downloadByteCount = from;
    throw Error(SizeMismatch, source,
                "The server ignored the resume offset " + std::to_string(from) +
                    ": it sent more than the " + std::to_string(size - from) +
                    " bytes left of the " + std::to_string(size) + "-byte file. " + m_localPath +
                    " is back to its " + std::to_string(from) + " bytes.");
}

void CFtpClient::ReceiveListing(const ByteArray& bytes) {
    if (m_listingText.size() + bytes.size() > m_maxListingLength)
        throw Error(ListingTooLong, "CFtpClient.m_objDataSocket_OnDataArrival",
                    "The listing is longer than " + std::to_string(m_maxListingLength) + " bytes.");
    m_listingText.append(bytes.data(), bytes.size());
    OnDataTransferProgress.raise(static_cast<std::int64_t>(m_listingText.size()));
}

void CFtpClient::m_objDataSocket_OnSendComplete() {
    try {
        if (m_currentMethod != M::UploadFile)
            return;
        m_objTimeOut->Reset();
        // One event for each piece of the pass, at the position where it
        // ends, as if the pieces had gone one at a time.
        const std::int64_t end = m_uploadPosition;
        const auto piece = static_cast<std::int64_t>(m_uploadPiece);
        for (std::int64_t at = m_transfer.passStart + piece; at < end; at += piece) {
            OnDataTransferProgress.raise(at);
            if (m_currentMethod != M::UploadFile || m_uploadPosition != end)
                return; // a handler ended the upload
        }
        OnDataTransferProgress.raise(end);
        UploadData();
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnSendComplete");
    }
}

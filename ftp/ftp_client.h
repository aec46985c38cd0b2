#pragma once

#include "ftp/ftp_commands.h"
#include "ftp/ftp_data_connection.h"
#include "ftp/ftp_error.h"
#include "ftp/ftp_errors.h"
#include "ftp/ftp_files.h"
#include "ftp/ftp_listing_text.h"
#include "ftp/ftp_owed_replies.h"
#include "ftp/ftp_reply.h"
#include "net/socket.h"
#include "platform/event.h"
#include "timer/timeout.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace net::tls {
class Context;
}

// The asynchronous method a client is waiting on; each has one completion event.
enum class FtpAsyncMethod : std::int32_t {
    None = 0,
    Connect = 1,
    GetCurrentDirectory = 2,
    SetCurrentDirectory = 3,
    CreateDirectory = 4,
    RemoveDirectory = 5,
    RenameFile = 6,
    DeleteFile = 7,
    DownloadFile = 8,
    UploadFile = 9,
    EnumFiles = 10,
    QuitSession = 11,
};

// What the session is doing (the `FtpSessionState` property, `OnStateChange`).
enum class FtpSessionState : std::int32_t {
    Ready = 0,
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Authenticating = 4,
    LoggedIn = 5,
    ChangingDirectory = 6,
    DeletingFile = 7,
    RemovingDirectory = 8,
    CreatingDirectory = 9,
    RenamingFile = 10,
    OpeningDataConnection = 11,
    RetrievingDirectoryInfo = 13,
    DownloadingFile = 15,
    UploadingFile = 17,
    Quitting = 19,
};

// The argument of every completion event.
enum class AsyncResultStatus : std::int32_t {
    Succeeded = 0,
    Failed = 1,
    TimedOut = 2,
    Cancelled = 3
};

// The second argument of `SessionProtocolMessage`.
enum class MessageType : std::int32_t { ClientCommand = 0, ServerReply = 1, ServerErrorReply = 2 };

// Representation type of transfers: Ascii sends TYPE A, anything else TYPE I.
enum class TransferMode : std::int32_t { Ascii = 0, Binary = 1 };

// An FTP client driven by the event loop. Each asynchronous method sends
// its first command and returns; the outcome arrives as the method's
// completion event with an `AsyncResultStatus`. One method at a time.
//
// Failures found while a method is being called are raised to the caller
// as platform::Error, with the description prefixed "CFtpClient.<Member>
// failed: "; failures found later end the method with status 1 and leave
// the reason in `LastFtpError`. Create with `CFtpClient::create()`.
//
// The numbers in `LastFtpError` and in the errors raised are
// ftp/ftp_errors.h's, the socket's, or the standard run-time errors.
class CFtpClient : public std::enable_shared_from_this<CFtpClient> {
public:
    // Most bytes of reply text kept while waiting for a reply to end.
    static constexpr std::size_t MaxReplyLength = 1 << 20;
    // The client's own error numbers, as its users name them.
    static constexpr std::int32_t ReplyTooLong = ftp::errors::ReplyTooLong;
    static constexpr std::int32_t NoFreePort = ftp::errors::NoFreePort;
    static constexpr std::int32_t BadPassiveReply = ftp::errors::BadPassiveReply;
    static constexpr std::int32_t UnknownListingFormat = ftp::errors::UnknownListingFormat;
    static constexpr std::int32_t LocalFileLonger = ftp::errors::LocalFileLonger;
    static constexpr std::int32_t SizeMismatch = ftp::errors::SizeMismatch;
    static constexpr std::int32_t ListingTooLong = ftp::errors::ListingTooLong;
    static constexpr std::int32_t TlsRefused = ftp::errors::TlsRefused;
    static constexpr std::int32_t TlsFailed = ftp::errors::TlsFailed;
    static constexpr std::int32_t UploadConfirmedEarly = ftp::errors::UploadConfirmedEarly;
    // Most bytes of listing text kept, unless set otherwise.
    static constexpr std::size_t MaxListingLength = std::size_t(256) << 20;
    // Most bytes an upload reads ahead and hands the socket in one pass
    // (at least one piece): small pieces do not bound the rate.
    static constexpr std::size_t UploadPassBytes = std::size_t(128) << 10;
    // Active mode: the lowest port tried and the most candidates tried in one search.
    static constexpr std::int32_t FirstPortCandidate = 20000;
    static constexpr std::int32_t LastPortCandidate = 65535;

    static std::shared_ptr<CFtpClient> create();
    ~CFtpClient();
    CFtpClient(const CFtpClient&) = delete;
    CFtpClient& operator=(const CFtpClient&) = delete;

    // --- methods ---
    void Connect();
    void SetCurrentDirectory(const std::string& strDirectoryPath);
    void GetCurrentDirectory();
    void CreateDirectory(const std::string& strDirectoryPath);
    void RemoveDirectory(const std::string& strDirectoryPath);
    void DeleteFile(const std::string& strFilePath);
    void RenameFile(const std::string& strOldFileName, const std::string& strNewFileName);
    void DownloadFile(const std::string& strRemoteFilePath, const std::string& strLocalFilePath,
                      bool OverWrite);
    void EnumFiles();
    // lngStartPosition: byte offset in the local file where the upload begins.
    void UploadFile(const std::string& strLocalFile, const std::string& strRemoteFile,
                    std::int64_t lngStartPosition = 0);
    void QuitSession();
    void CancelAsyncMethod();
    void CloseControlConnection();

    // --- properties ---
    bool DataTransferInProgress() const;
    bool Busy() const;
    std::shared_ptr<CFtpFiles> CurrentDirectoryFiles() const { return m_CurrentDirectoryFiles; }
    std::string CurrentDirectoryListing() const {
        return m_CurrentDirectoryListing ? *m_CurrentDirectoryListing : std::string();
    }
    std::string CurrentDirectory() const { return m_CurrentDirectory; }
    // Returns the continuation text of the last multi-line reply and clears it.
    std::string FtpServerMessage();
    std::string FtpServer() const { return m_FtpServer; }
    void setFtpServer(const std::string& value) { m_FtpServer = value; }
    std::string Password() const { return m_Password; }
    void setPassword(const std::string& value) { m_Password = value; }
    std::string UserName() const { return m_UserName; }
    void setUserName(const std::string& value) { m_UserName = value; }
    bool PassiveMode() const { return m_PassiveMode; }
    void setPassiveMode(bool value) { m_PassiveMode = value; }
    std::int16_t SendBufferLenght() const { return m_SendBufferLenght; }
    void setSendBufferLenght(std::int16_t value); // 512..8192, else 380
    std::int32_t RemotePort() const { return m_RemotePort; }
    void setRemotePort(std::int32_t value); // 1..65535, else 380
    std::int32_t TransferMode() const { return m_TransferMode; }
    void setTransferMode(std::int32_t value) { m_TransferMode = value; }
    void setTimeOut(std::int16_t intSeconds);
    std::int16_t TimeOut() const;
    std::int32_t FtpSessionState() const { return static_cast<std::int32_t>(m_FtpSessionState); }
    std::string LastServerResponse() const { return m_LastServerResponse; }
    std::shared_ptr<CFtpError> LastFtpError() const { return m_LastFtpError; }
    // The whole length of the running (or last) transfer's file, the total
    // that `OnDataTransferProgress` counts towards: the size the server
    // gave for a binary download, the local file's length for an upload;
    // -1 when it is not known.
    std::int64_t TransferSize() const { return m_TransferSize; }
    // Explicit FTP over TLS (off by default): AUTH TLS after the greeting,
    // the login inside TLS, PBSZ 0 and PROT P after it, and every data
    // connection in TLS too, resuming the control connection's session.
    // The server's certificate is checked against the system's trust store
    // (or TlsCaFile, a PEM file) and its name against FtpServer, unless
    // TlsInsecure. Read when Connect is called.
    bool UseTls() const { return m_UseTls; }
    void setUseTls(bool value) { m_UseTls = value; }
    std::string TlsCaFile() const { return m_TlsCaFile; }
    void setTlsCaFile(const std::string& value) { m_TlsCaFile = value; }
    bool TlsInsecure() const { return m_TlsInsecure; }
    void setTlsInsecure(bool value) { m_TlsInsecure = value; }
    // The control connection's TLS version and cipher, empty without TLS.
    std::string TlsDescription() const;
    // False once the control connection is gone, also when it failed
    // (which raises no close, so the state need not say Disconnected).
    bool ControlConnectionOpen() const;
    // Most bytes of listing text a listing may have (MaxListingLength).
    void setMaxListingLength(std::size_t bytes) { m_maxListingLength = bytes; }
    // Machine listings (off by default): EnumFiles asks for MLSD (RFC 3659)
    // instead of LIST where the server lists MLST among its features. The
    // session's first listing asks FEAT for them, once; a server that
    // refuses FEAT gets LIST. CurrentDirectoryListing then holds the MLSD
    // text, and the entries' times are local times.
    bool UseMachineListings() const { return m_UseMachineListings; }
    void setUseMachineListings(bool value) { m_UseMachineListings = value; }
    // The command the last listing was asked with, "LIST" or "MLSD"; empty
    // until EnumFiles has sent one.
    std::string ListingCommand() const {
        return m_listingCommand == ftp::Command::Mlsd   ? "MLSD"
               : m_listingCommand == ftp::Command::List ? "LIST"
                                                        : "";
    }

    // --- events ---
    platform::Event<std::int32_t> OnConnect; // AsyncResultStatus
    platform::Event<std::int32_t> OnCreateDirectory;
    platform::Event<std::int32_t> OnDeleteFile;
    platform::Event<std::int32_t> OnGetCurrentDirectory;
    platform::Event<std::int32_t> OnSetCurrentDirectory;
    platform::Event<std::int32_t> OnRemoveDirectory;
    platform::Event<std::int32_t> OnRenameFile;
    platform::Event<std::int32_t> OnDownloadFile;
    platform::Event<std::int32_t> OnUploadFile;
    platform::Event<std::int32_t> OnEnumFiles;
    platform::Event<std::int64_t> OnDataTransferProgress;              // lngBytesTransferred
    platform::Event<std::string, std::int32_t> SessionProtocolMessage; // strMessage, MessageType
    platform::Event<std::int32_t> OnStateChange;                       // the new FtpSessionState
    platform::Event<std::int32_t> OnQuitSession;

    // --- listings (ftp_listing.cpp) ---
    // The entries of a Unix or DOS listing text; nullptr when any line
    // cannot be read. `currentYear` dates the entries that carry a time
    // instead of a year (0: the year of the system clock).
    static std::shared_ptr<CFtpFiles> ParseListing(const std::string& text, int currentYear = 0);
    // 1-based position of the month of a Unix line's date, 0 if there is none.
    static std::int32_t GetDateStartPosition(const std::string& line);
    // "Mar  5 09:15" or "Dec 31  2004" as a date; throws if it is not one.
    static Date ParseUnixDate(const std::string& field, int currentYear = 0);

    // The port tried after `lastPort` in the active-mode search: the next
    // one up, back to FirstPortCandidate past LastPortCandidate.
    static std::int32_t NextPortCandidate(std::int32_t lastPort);

private:
    CFtpClient();
    void subscribe();

    // --- shared steps (ftp_client.cpp) ---
    void BeginMethod(FtpAsyncMethod method);
    void EndMethod();
    void RaiseCompletion(FtpAsyncMethod method, AsyncResultStatus status);
    // The one way a pending method ends: EndMethod (the state Ready), then
    // `settle` (what the completion event's handler is to find: the error
    // record, a control connection that is closing, ...), then the
    // method's completion event with `status`.
    template <class Settle> void completeMethod(AsyncResultStatus status, Settle&& settle);
    void completeMethod(AsyncResultStatus status);
    // The method fails (status 1) with this error in LastFtpError; with
    // `closeControl` the session is given up before the event.
    void failMethod(const platform::Error& error, bool closeControl = false);
    // What a transfer that will not finish leaves behind goes: the local
    // file is closed, the data connection torn down, the listing gathered
    // so far dropped. Then the method ends by completeMethod.
    void abandonTransfer();
    void RaiseFtpError(std::int16_t code, bool closeControlConnection = false);
    void setSessionState(::FtpSessionState state);
    void checkCanStart(const char* member) const;
    static void checkArgument(const std::string& value, const char* member);
    // The start of every asynchronous method, and its error trap: checks
    // that none is pending (unless the method replaces a pending one),
    // runs `prepare`, registers the method, runs `send`. An error ends the
    // method if it is the current one (not so a refusal for being busy,
    // which leaves the pending method as it was) and reaches the caller
    // prefixed.
    template <class Prepare, class Send>
    void StartMethod(FtpAsyncMethod method, const char* member, Prepare&& prepare, Send&& send,
                     bool replacesPending = false);
    void startSimpleMethod(FtpAsyncMethod method, const char* member, const char* verb,
                           const std::string& argument);
    // Call from a catch block: the error goes on with its number and source
    // and "CFtpClient.<member> failed: " in front of its description.
    [[noreturn]] static void rethrowFrom(const std::string& member);

    // --- control connection (ftp_control.cpp) ---
    void SendFtpCommand(const std::string& verb, const std::string& argument);
    bool GetDirFromResponse(const std::string& strReply);
    ::FtpSessionState StateFor(ftp::Command command) const;
    // A final reply of the pending method, to the handler of its command.
    void DispatchReply(const ftp::ReplyBuffer::Reply& reply);
    void OnGreetingReply(std::int16_t code);
    void OnUserReply(std::int16_t code);
    void OnPassReply(std::int16_t code);
    void OnProtectionReply(std::int16_t code);
    void OnPwdReply(std::int16_t code, const std::string& reply);
    void OnSimpleReply(std::int16_t code);
    void OnRnfrReply(std::int16_t code);
    void OnRntoReply(std::int16_t code);
    void OnQuitReply(std::int16_t code);
    void LoggedIn();
    void StartControlTls(std::int16_t code, const std::string& reply);
    void StartDataTls();
    void FailDispatch(std::int32_t number, const std::string& description);
    void FailReplyTooLong();
    void closeControlSocket();

    // --- data connections and transfers (ftp_transfer.cpp) ---
    void OnFeatReply(std::int16_t code, const std::string& reply);
    void OnTypeReply(std::int16_t code);
    void OnSizeReply(std::int16_t code, const std::string& reply);
    void OnPasvReply(std::int16_t code, const std::string& reply);
    void OnEpsvReply(std::int16_t code, const std::string& reply);
    void OnPortReply(std::int16_t code);
    void OnRestReply(std::int16_t code);
    void OnTransferCommandReply(std::int16_t code, const std::string& reply);
    bool TransferOutlivesControl() const;
    void OpenDataConnection();
    bool ControlOverIPv6() const;
    void CloseDataConnection();
    void SendPORTCommand();
    void EstablishPasvDataConnection(const std::string& strReply);
    std::int32_t GetFreePort();
    void SendTransferCommand();
    void StartUpload();
    void FinishDataTransfer();
    void FailTransfer(const platform::Error& error);
    void FailDataHandler(const char* handler);
    void ReceiveDownload(const ByteArray& bytes);
    void ReceiveListing(const ByteArray& bytes);
    void CheckDownloadLength(std::size_t arriving);

    // --- local files (ftp_local_file.cpp) ---
    void OpenLocalFile();
    void OpenLocalFileForUpload();
    void UploadData();
    void WriteLocal(const std::uint8_t* data, std::size_t size);
    std::int64_t ReadStream(std::uint8_t* into, std::size_t size);
    bool WaitForSource();
    void LocalSourceReadable();
    void CloseLocalSource();
    void CloseLocalFile();
    void AcceptDownload();
    std::int64_t ResumeOffset() const;
    void CheckDownloadTarget(const std::string& path) const;
    bool LocalFileExists(const std::string& path) const;
    std::int64_t LocalFileLength(const std::string& path) const;

    // --- handlers ---
    void m_objControlSocket_OnConnect();
    void m_objControlSocket_OnDataArrival(std::int32_t bytesTotal);
    void m_objControlSocket_OnClose();
    void m_objControlSocket_OnError(std::int16_t Number, std::string& Description,
                                    std::int32_t Scode, std::string Source, std::string HelpFile,
                                    std::int32_t HelpContext, bool& CancelDisplay);
    void m_objTimeOut_TimeOut();
    void m_objDataSocket_OnConnect();
    void m_objDataSocket_OnConnectionRequest(std::int32_t requestID);
    void m_objDataSocket_OnClose();
    void m_objDataSocket_OnError(std::int16_t Number, std::string& Description, std::int32_t Scode,
                                 std::string Source, std::string HelpFile, std::int32_t HelpContext,
                                 bool& CancelDisplay);
    void m_objDataSocket_OnDataArrival(std::int32_t bytesTotal);
    void m_objDataSocket_OnSendComplete();

    // What one data method has seen so far, beside what m_data keeps of
    // its data connection; cleared when a method begins.
    struct TransferFlags {
        // A download or listing ends once the server has both closed the
        // data connection (m_data.closed) and confirmed the transfer, in
        // either order.
        bool transferReplied = false;
        // An upload starts sending once the data connection is up
        // (m_data.ready) and the server has answered STOR with a
        // preliminary reply.
        bool storAnswered = false;
        bool uploadStarted = false;
        // Every byte was read and sent and the data connection closed: only
        // now is the server's confirmation the end of the upload.
        bool uploadClosed = false;
        // The upload reads a pipe, FIFO or device to its end (its length is
        // not known), each read once the loop has seen it readable: a FIFO
        // no writer has opened yet would read as ended.
        bool streamSource = false;
        bool sourceReady = false;
        bool sourceWatched = false;
        bool sourceUnwatchable = false; // a device the loop cannot wait for
        // An upload hands the socket several pieces in one pass: the pass
        // under way began at this position, and the next one reads this
        // many pieces (doubling from one up to UploadPassBytes).
        std::int64_t passStart = 0;
        std::size_t passPieces = 1;
        // The control connection closed after the server had confirmed the
        // download or listing still arriving: the data connection decides.
        bool controlClosed = false;
        // TYPE A: line ends are converted (CR LF on the wire, LF here).
        bool ascii = false;
        bool heldCR = false; // download: a CR at the end of the last arrival
        // A download's local file is opened for writing only once the server
        // has accepted the transfer (a preliminary reply or the first data):
        // before that a refusal leaves whatever is there as it was.
        std::int64_t resumeFrom = 0;   // the offset a REST asked for
        bool localCreated = false;     // the download made the file
        bool downloadComplete = false; // the whole file has arrived
    };

    FtpAsyncMethod m_currentMethod = FtpAsyncMethod::None;
    // Control text received and not yet taken by a complete reply.
    ftp::ReplyBuffer m_replies;
    // The replies the server still owes.
    ftp::OwedReplies m_owed;
    std::string m_pendingNewName;
    std::string m_remotePath;
    std::string m_localPath;
    bool m_overwrite = false;
    int m_localFile = -1; // descriptor of the transfer's local file, -1 = none
    std::string m_UserName;
    std::string m_Password;
    std::string m_FtpServer;
    std::int32_t m_RemotePort = 21;
    std::string m_CurrentDirectory;
    bool m_PassiveMode = false;
    std::string m_FtpServerMessage;
    ftp::Command m_lastCommand = ftp::Command::Greeting; // the last command sent
    std::int32_t m_TransferMode = static_cast<std::int32_t>(::TransferMode::Binary);
    std::int64_t m_downloadByteCount = 0;
    std::int64_t m_uploadPosition = 0;
    ftp::ListingText m_listingText;
    std::shared_ptr<CFtpFiles> m_CurrentDirectoryFiles;
    std::shared_ptr<const std::string> m_CurrentDirectoryListing;
    std::int64_t m_uploadStartPosition = 0;
    std::int64_t m_localFileLength = 0;
    ::FtpSessionState m_FtpSessionState = ::FtpSessionState::Disconnected;
    std::string m_LastServerResponse;
    std::int16_t m_SendBufferLenght = 1460;
    std::shared_ptr<CFtpError> m_LastFtpError;
    std::size_t m_uploadPiece = 0;  // SendBufferLenght when the upload started
    ByteArray m_uploadBuffer;       // the pass under way, read from the file
    std::int32_t m_lastPort = 0;    // the last active-mode port candidate, 0 = none yet
    std::int16_t m_pasvRefusal = 0; // the code PASV was refused with, while EPSV is tried
    std::int64_t m_TransferSize = -1;
    std::size_t m_maxListingLength = MaxListingLength;
    TransferFlags m_transfer;
    bool m_UseTls = false;
    std::string m_TlsCaFile;
    bool m_TlsInsecure = false;
    bool m_UseMachineListings = false;
    std::optional<bool> m_offersMlst;                    // the session's FEAT answer, once asked
    ftp::Command m_listingCommand = ftp::Command::Other; // how the last listing was asked
    std::shared_ptr<net::tls::Context> m_tls;            // the session's, while UseTls
    // Set when a reply grew past MaxReplyLength: text is dropped until the next Connect.
    bool m_discardReplies = false;

    std::shared_ptr<CSocket> m_objControlSocket = CSocket::create();
    ftp::DataConnection m_data; // its socket is the data socket
    std::shared_ptr<CTimeout> m_objTimeOut = CTimeout::create();
};

template <class Settle> void CFtpClient::completeMethod(AsyncResultStatus status, Settle&& settle) {
    const FtpAsyncMethod method = m_currentMethod;
    EndMethod();
    settle();
    RaiseCompletion(method, status);
}

template <class Prepare, class Send>
void CFtpClient::StartMethod(FtpAsyncMethod method, const char* member, Prepare&& prepare,
                             Send&& send, bool replacesPending) {
    bool refused = !replacesPending;
    try {
        if (!replacesPending)
            checkCanStart(member);
        refused = false;
        prepare();
        BeginMethod(method);
        send();
    } catch (...) {
        try {
            if (!refused && m_currentMethod == method)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom(member);
    }
}

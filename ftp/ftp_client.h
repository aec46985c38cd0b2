#pragma once

#include "ftp/ftp_error.h"
#include "ftp/ftp_files.h"
#include "net/socket.h"
#include "platform/event.h"
#include "timer/timeout.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
class CFtpClient : public std::enable_shared_from_this<CFtpClient> {
public:
    // Most bytes of reply text kept while waiting for a reply to end.
    static constexpr std::size_t MaxReplyLength = 1 << 20;
    // `LastFtpError` number for a reply longer than that.
    static constexpr std::int32_t ReplyTooLong = 16003;
    // `LastFtpError` number when no local port can be listened on for an
    // active data connection.
    static constexpr std::int32_t NoFreePort = 16004;
    // `LastFtpError` number for a 227 reply that names no usable address.
    static constexpr std::int32_t BadPassiveReply = 16005;
    // `LastFtpError` number for a listing the parser cannot read.
    static constexpr std::int32_t UnknownListingFormat = 16002;
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
    std::string CurrentDirectoryListing() const { return m_CurrentDirectoryListing; }
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

    // Code of the first completion reply line (2xx..5xx) in `text`, or of
    // the last preliminary one (1xx) when no completion line follows (a
    // final line: three digits and a blank, ended by CR LF); 0 if there
    // is none. `end` gets the length of
    // the text up to and including that line; `message` the continuation
    // lines before it ("-" after the code), each followed by CR LF.
    struct ParsedReply {
        std::int16_t code = 0;
        std::size_t end = 0;
        std::string message;
    };
    static ParsedReply ParseReply(std::string_view text);

    // --- listings ---
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

    // --- reply readers ---
    // The address a 227 reply names; false when it names none usable.
    static bool ParsePassiveReply(const std::string& strReply, std::string& host,
                                  std::int32_t& port);
    // The quoted directory of a 257 reply, back slashes made forward; false
    // (and `directory` empty) when there is none.
    static bool DirFromResponse(const std::string& strReply, std::string& directory);

private:
    CFtpClient();
    void subscribe();

    // --- shared steps ---
    void BeginMethod(FtpAsyncMethod method);
    void EndMethod();
    void RaiseCompletionFailure(FtpAsyncMethod method);
    void RaiseCompletion(FtpAsyncMethod method, AsyncResultStatus status);
    void RaiseFtpError(std::int16_t code, bool closeControlConnection = false);
    void setSessionState(::FtpSessionState state);
    void checkCanStart(const char* member) const;
    static void checkArgument(const std::string& value, const char* member);
    void startSimpleMethod(FtpAsyncMethod method, const char* member, const char* verb,
                           const std::string& argument);

    // --- control connection ---
    void SendFtpCommand(const std::string& verb, const std::string& argument);
    std::int16_t GetResponseCode(std::string& strReply);
    bool GetDirFromResponse(const std::string& strReply);
    void DispatchReply(std::int16_t code, const std::string& reply, const std::string& piece);
    void DispatchConnectReply(std::int16_t code, const std::string& reply);
    void DispatchTransferReply(std::int16_t code, const std::string& piece);
    void LoggedIn();
    void FailDispatch(std::int32_t number, const std::string& description);
    void FailReplyTooLong();
    void closeControlSocket();

    // --- data side ---
    void CloseDataConnection();
    void CloseLocalFile();
    void SendPORTCommand();
    void EstablishPasvDataConnection(const std::string& strReply);
    void OpenLocalFile();
    void OpenLocalFileForUpload();
    void UploadData();
    bool LocalFileExists(const std::string& path) const;
    std::int32_t GetFreePort();
    void SendTransferCommand();
    void StartUpload();
    void FinishDataTransfer();
    void FailDataHandler(const char* handler);
    void AbandonPendingReply();
    bool IsStaleReply(std::int16_t code);
    void DropStaleReplyAhead();
    void DropDataSocket();

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

    FtpAsyncMethod m_currentMethod = FtpAsyncMethod::None;
    // Control text received since the last command was sent and not yet
    // taken by a complete reply.
    std::string m_replyBuffer;
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
    std::string m_lastCommand;
    std::int32_t m_TransferMode = static_cast<std::int32_t>(::TransferMode::Binary);
    std::int64_t m_downloadByteCount = 0;
    std::int64_t m_uploadPosition = 0;
    std::string m_listingText;
    std::shared_ptr<CFtpFiles> m_CurrentDirectoryFiles;
    std::string m_CurrentDirectoryListing;
    std::int64_t m_uploadStartPosition = 0;
    std::int64_t m_localFileLength = 0;
    ::FtpSessionState m_FtpSessionState = ::FtpSessionState::Disconnected;
    std::string m_LastServerResponse;
    std::int16_t m_SendBufferLenght = 1460;
    std::shared_ptr<CFtpError> m_LastFtpError;
    ByteArray m_sendBuffer;      // the upload's chunk, sized when the upload starts
    std::int32_t m_lastPort = 0; // the last active-mode port candidate, 0 = none yet

    // The end of a download or listing takes both the server's close of the
    // data connection and its final reply to RETR or LIST; each remembers
    // here that it has come, and the later one ends the method.
    bool m_dataClosed = false;
    bool m_transferReplied = false;
    // An upload starts sending once the data connection is up and the
    // server has answered STOR with a preliminary reply.
    bool m_dataAccepted = false;
    bool m_storAnswered = false;
    bool m_uploadStarted = false;
    // A command has gone out and its final (2xx..5xx) reply has not come yet.
    bool m_finalReplyOwed = false;
    // That reply belongs to a method that has ended: it is shown, not acted on.
    bool m_staleFinalReply = false;
    bool m_staleTransferReply = false; // ... and answers RETR, STOR or LIST

    // Every clearing of the reply buffer starts a new exchange.
    std::uint64_t m_replyExchange = 0;
    // While GetResponseCode waits for the rest of a multi-line reply, the
    // exchange it waits on. Arrivals for that exchange only add their text
    // and the waiting pass takes it: the wait nests one level deep at most.
    std::optional<std::uint64_t> m_awaitedExchange;
    // Set when a reply grew past MaxReplyLength: text is dropped until the next Connect.
    bool m_discardReplies = false;

    std::shared_ptr<CSocket> m_objControlSocket;
    std::shared_ptr<CSocket> m_objDataSocket;
    std::shared_ptr<CTimeout> m_objTimeOut;
};

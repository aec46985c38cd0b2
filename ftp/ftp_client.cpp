#include "ftp/ftp_client.h"

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/winsock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using platform::Error;
using M = FtpAsyncMethod;
using S = FtpSessionState;

namespace {

constexpr std::int32_t NotConnected = 16008;
constexpr const char* NotConnectedText = "The connection is not established.";
constexpr std::int32_t BusyError = 16007;
constexpr std::int32_t NoDirectory = 16001;
constexpr const char* NoDirectoryText =
    "Cannot retrieve the current directory path. Unexpected server response.";
constexpr const char* ReplySource = "Brindle.CFtpClient";
constexpr const char* DispatcherSource = "CFtpClient.m_objControlSocket_OnDataArrival";
// Password sent with the "anonymous" login when no user name is set.
constexpr const char* AnonymousPassword = "mitu-user@example.com";

std::string prefix(const std::string& member) {
    return "CFtpClient." + member + " failed: ";
}

// The error trap of a member: the error goes on with its number and source
// and the member's name in front of its description. Call from a catch block.
[[noreturn]] void rethrowFrom(const std::string& member) {
    try {
        throw;
    } catch (const Error& e) {
        throw Error(e.number(), e.source(), prefix(member) + e.description());
    } catch (const std::bad_alloc&) {
        throw Error(7, "CFtpClient." + member, prefix(member) + "Out of memory");
    } catch (const std::exception& e) {
        throw Error(51, "CFtpClient." + member, prefix(member) + "Internal error: " + e.what());
    }
}

// The error as a record, whatever was thrown. Call from a catch block.
Error currentError() {
    try {
        throw;
    } catch (const Error& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return Error(7, std::string(), "Out of memory");
    } catch (const std::exception& e) {
        return Error(51, std::string(), std::string("Internal error: ") + e.what());
    } catch (...) {
        return Error(51, std::string(), "Internal error");
    }
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// Texts of the reply codes that LastFtpError explains; other codes get "".
const char* replyText(int code) {
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

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The text of a piece for the protocol log: without its line end.
std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The last line of a reply, without its line end.
std::string lastLine(const std::string& reply) {
    std::string text = withoutLineEnd(reply);
    auto at = text.rfind("\r\n");
    return at == std::string::npos ? text : text.substr(at + 2);
}

// Errors of the local file, with the system's reason.
constexpr std::int32_t FileNotFound = 53;
constexpr std::int32_t DeviceIoError = 57;
constexpr std::int32_t PathFileAccessError = 75;

Error fileError(std::int32_t number, const std::string& source, const std::string& what,
                const std::string& path, int error) {
    return Error(number, source, what + " " + path + ": " + std::strerror(error));
}

std::string typeArgument(std::int32_t transferMode) {
    return transferMode == static_cast<std::int32_t>(::TransferMode::Ascii) ? "A" : "I";
}

bool isPreliminary(std::int16_t code) {
    return code == 110 || code == 125 || code == 150;
}

} // namespace

// --- construction and end ------------------------------------------------------

std::shared_ptr<CFtpClient> CFtpClient::create() {
    std::shared_ptr<CFtpClient> client(new CFtpClient());
    client->subscribe();
    return client;
}

CFtpClient::CFtpClient() {
    m_objControlSocket = CSocket::create();
    m_objDataSocket = CSocket::create();
    m_objTimeOut = CTimeout::create();
    m_LastFtpError = CFtpError::create();
    m_RemotePort = 21;
    m_objTimeOut->setTimeOutValue(60);
    m_SendBufferLenght = 1460;
    m_TransferMode = static_cast<std::int32_t>(::TransferMode::Binary);
    m_FtpSessionState = S::Disconnected;
}

void CFtpClient::subscribe() {
    auto self = shared_from_this();
    m_objControlSocket->OnConnect.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objControlSocket_OnConnect));
    m_objControlSocket->OnDataArrival.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objControlSocket_OnDataArrival));
    m_objControlSocket->OnClose.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objControlSocket_OnClose));
    m_objControlSocket->OnError.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objControlSocket_OnError));
    m_objTimeOut->TimeOut.subscribe(platform::bindWeak(self, &CFtpClient::m_objTimeOut_TimeOut));
    m_objDataSocket->OnConnect.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnConnect));
    m_objDataSocket->OnConnectionRequest.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnConnectionRequest));
    m_objDataSocket->OnClose.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnClose));
    m_objDataSocket->OnError.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnError));
    m_objDataSocket->OnDataArrival.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnDataArrival));
    m_objDataSocket->OnSendComplete.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnSendComplete));
}

CFtpClient::~CFtpClient() {
    try {
        m_objTimeOut->StopTimer();
    } catch (...) {
    }
    if (m_localFile >= 0)
        ::close(m_localFile);
    m_objControlSocket.reset();
    m_objDataSocket.reset();
    m_objTimeOut.reset();
    m_LastFtpError.reset();
}

// --- properties ------------------------------------------------------------------

bool CFtpClient::DataTransferInProgress() const {
    return m_currentMethod == M::DownloadFile || m_currentMethod == M::UploadFile ||
           m_currentMethod == M::EnumFiles;
}

bool CFtpClient::Busy() const {
    return m_FtpSessionState != S::Ready && m_FtpSessionState != S::Disconnected;
}

std::string CFtpClient::FtpServerMessage() {
    std::string message = std::move(m_FtpServerMessage);
    m_FtpServerMessage.clear();
    return message;
}

void CFtpClient::setSendBufferLenght(std::int16_t value) {
    if (value < 512 || value > 8192)
        throw Error(platform::errors::InvalidPropertyValue, "CFtpClient.SendBufferLenght",
                    platform::errors::InvalidPropertyValueText);
    m_SendBufferLenght = value;
}

void CFtpClient::setRemotePort(std::int32_t value) {
    if (value < 1 || value > 65535)
        throw Error(platform::errors::InvalidPropertyValue, "CFtpClient.RemotePort",
                    platform::errors::InvalidPropertyValueText);
    m_RemotePort = value;
}

void CFtpClient::setTimeOut(std::int16_t intSeconds) {
    m_objTimeOut->setTimeOutValue(intSeconds);
}

std::int16_t CFtpClient::TimeOut() const {
    std::int32_t value = m_objTimeOut->TimeOutValue();
    if (value > 32767 || value < -32768)
        throw platform::overflowError("CFtpClient.TimeOut");
    return static_cast<std::int16_t>(value);
}

// --- shared steps ----------------------------------------------------------------

void CFtpClient::setSessionState(::FtpSessionState state) {
    m_FtpSessionState = state;
    OnStateChange.raise(static_cast<std::int32_t>(state));
}

void CFtpClient::BeginMethod(FtpAsyncMethod method) {
    m_LastFtpError->clear();
    m_dataClosed = false;
    m_transferReplied = false;
    m_dataAccepted = false;
    m_storAnswered = false;
    m_uploadStarted = false;
    m_currentMethod = method;
    m_objTimeOut->StartTimer();
}

void CFtpClient::EndMethod() {
    m_objTimeOut->StopTimer();
    m_currentMethod = M::None;
    setSessionState(S::Ready);
}

void CFtpClient::RaiseCompletion(FtpAsyncMethod method, AsyncResultStatus status) {
    const auto value = static_cast<std::int32_t>(status);
    switch (method) {
    case M::None:
        break;
    case M::Connect:
        OnConnect.raise(value);
        break;
    case M::GetCurrentDirectory:
        OnGetCurrentDirectory.raise(value);
        break;
    case M::SetCurrentDirectory:
        OnSetCurrentDirectory.raise(value);
        break;
    case M::CreateDirectory:
        OnCreateDirectory.raise(value);
        break;
    case M::RemoveDirectory:
        OnRemoveDirectory.raise(value);
        break;
    case M::RenameFile:
        OnRenameFile.raise(value);
        break;
    case M::DeleteFile:
        OnDeleteFile.raise(value);
        break;
    case M::DownloadFile:
        OnDownloadFile.raise(value);
        break;
    case M::UploadFile:
        OnUploadFile.raise(value);
        break;
    case M::EnumFiles:
        OnEnumFiles.raise(value);
        break;
    case M::QuitSession:
        OnQuitSession.raise(value);
        break;
    }
}

void CFtpClient::RaiseCompletionFailure(FtpAsyncMethod method) {
    RaiseCompletion(method, AsyncResultStatus::Failed);
}

// An unexpected reply ends the pending method with status 1. When the
// reply also ends the session, the control connection is closed before the
// completion event, so a handler that starts again from that event is not
// cut off by a close that comes after it.
void CFtpClient::RaiseFtpError(std::int16_t code, bool closeControlConnection) {
    try {
        const FtpAsyncMethod method = m_currentMethod;
        EndMethod();
        m_LastFtpError->set(16000 + code, replyText(code), ReplySource);
        if (closeControlConnection)
            closeControlSocket();
        RaiseCompletionFailure(method);
    } catch (...) {
        rethrowFrom("RaiseFtpError");
    }
}

void CFtpClient::checkCanStart(const char* member) const {
    if (m_currentMethod != M::None)
        throw Error(BusyError, std::string("CFtpClient.") + member,
                    std::string("Cannot execute the ") + member + " method. " +
                        "Waiting fot the server response on the previous command.");
}

// Arguments go onto the control connection as they are, so a line break
// inside one would end the command early and start another: refused, like
// an empty argument, before anything is sent.
void CFtpClient::checkArgument(const std::string& value, const char* member) {
    if (value.empty() || hasLineBreak(value))
        throw platform::invalidCallError(std::string("CFtpClient.") + member);
}

// --- control connection --------------------------------------------------------

void CFtpClient::Connect() {
    try {
        if (m_FtpServer.empty())
            throw Error(platform::errors::InvalidPropertyValue, "CFtpClient.Connect",
                        platform::errors::InvalidPropertyValueText);
        if (m_UserName.empty()) {
            m_UserName = "anonymous";
            m_Password = AnonymousPassword;
        }
        if (hasLineBreak(m_UserName) || hasLineBreak(m_Password) || hasLineBreak(m_FtpServer))
            throw platform::invalidCallError("CFtpClient.Connect");
        setSessionState(S::Connecting);
        m_lastCommand.clear();
        m_replyBuffer.clear();
        ++m_replyExchange;
        m_discardReplies = false;
        m_finalReplyOwed = false;
        m_staleFinalReply = false;
        BeginMethod(M::Connect);
        // A connection that is still closing (CloseControlConnection waits
        // for the server's close) is dropped now: a new session needs a
        // fresh socket.
        if (m_objControlSocket->State() != CSocket::StateClosed)
            m_objControlSocket->CloseSocket();
        if (m_objControlSocket->State() != CSocket::StateClosed)
            m_objControlSocket->CloseSocket();
        m_objControlSocket->Connect(m_FtpServer, m_RemotePort);
    } catch (...) {
        try {
            if (m_currentMethod == M::Connect)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom("Connect");
    }
}

void CFtpClient::QuitSession() {
    bool begun = false;
    try {
        checkCanStart("QuitSession");
        BeginMethod(M::QuitSession);
        begun = true;
        SendFtpCommand("QUIT", std::string());
    } catch (...) {
        try {
            if (begun && m_currentMethod == M::QuitSession)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom("QuitSession");
    }
}

// A socket already closing gracefully is left to finish: closing it again
// would drop it without its close event, and the session would never
// report Disconnected.
void CFtpClient::closeControlSocket() {
    const std::int32_t state = m_objControlSocket->State();
    if (state != CSocket::StateClosed && state != CSocket::StateClosing)
        m_objControlSocket->CloseSocket();
}

void CFtpClient::CloseControlConnection() {
    try {
        EndMethod();
        closeControlSocket();
    } catch (...) {
        rethrowFrom("CloseControlConnection");
    }
}

void CFtpClient::SendFtpCommand(const std::string& verb, const std::string& argument) {
    try {
        if (m_objControlSocket->State() != CSocket::StateConnected)
            throw Error(NotConnected, "CFtpClient.SendFtpCommand", NotConnectedText);
        if (hasLineBreak(verb) || hasLineBreak(argument))
            throw platform::invalidCallError("CFtpClient.SendFtpCommand");
        m_replyBuffer.clear();
        ++m_replyExchange;

        S state = S::Ready;
        if (verb == "USER" || verb == "PASS")
            state = S::Authenticating;
        else if (verb == "CWD")
            state = S::ChangingDirectory;
        else if (verb == "LIST" || verb == "PWD")
            state = S::RetrievingDirectoryInfo;
        else if (verb == "MKD")
            state = S::CreatingDirectory;
        else if (verb == "DELE")
            state = S::DeletingFile;
        else if (verb == "RETR")
            state = S::DownloadingFile;
        else if (verb == "RMD")
            state = S::RemovingDirectory;
        else if (verb == "RNFR")
            state = S::RenamingFile;
        else if (verb == "STOR")
            state = S::UploadingFile;
        else if (verb == "QUIT")
            state = S::Quitting;
        else if (verb == "TYPE" || verb == "PASV" || verb == "PORT" || verb == "REST") {
            if (m_currentMethod == M::DownloadFile)
                state = S::DownloadingFile;
            else if (m_currentMethod == M::UploadFile)
                state = S::UploadingFile;
            else if (m_currentMethod == M::EnumFiles)
                state = S::RetrievingDirectoryInfo;
        }
        setSessionState(state);

        std::string line = argument.empty() ? verb + "\r\n" : verb + " " + argument + "\r\n";
        m_lastCommand = verb;
        m_finalReplyOwed = true;
        m_objControlSocket->SendData(Variant(std::move(line)));
        SessionProtocolMessage.raise(verb + " " + argument,
                                     static_cast<std::int32_t>(MessageType::ClientCommand));
    } catch (...) {
        rethrowFrom("SendFtpCommand");
    }
}

CFtpClient::ParsedReply CFtpClient::ParseReply(std::string_view text) {
    ParsedReply result;
    std::string message;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos)
            break; // a line counts once its CR LF has arrived
        const std::string_view line = text.substr(start, end - start);
        start = end + 2;
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
            result.message = message;
            // A completion reply ends the reply: what follows answers the
            // next command and is read in a pass of its own. Only a
            // preliminary reply gives way to a later final line.
            if (result.code >= 200)
                break;
        }
    }
    if (result.code == 0)
        result.message = std::move(message);
    return result;
}

// Finds the reply that the text received so far completes and takes it
// out of the reply buffer, so that no reply is acted on twice. A multi-line
// reply that has begun but not ended while a data connection is open is
// waited for here, letting the event loop run; arrivals for this exchange
// during that wait only add their text (m_objControlSocket_OnDataArrival).
std::int16_t CFtpClient::GetResponseCode(std::string& strReply) {
    try {
        const std::uint64_t exchange = m_replyExchange;
        for (;;) {
            if (m_replyBuffer.size() <= 2)
                return 0;
            ParsedReply parsed = ParseReply(m_replyBuffer);
            if (parsed.message.size() > 2 && parsed.code == 0 &&
                m_replyBuffer.compare(0, 4, "221-") != 0 &&
                m_objDataSocket->State() == CSocket::StateConnected &&
                m_objControlSocket->State() == CSocket::StateConnected &&
                m_replyBuffer.size() <= MaxReplyLength) {
                const auto outer = m_awaitedExchange;
                m_awaitedExchange = exchange;
                try {
                    platform::EventLoop::instance().yield();
                } catch (...) {
                    m_awaitedExchange = outer;
                    throw;
                }
                m_awaitedExchange = outer;
                if (m_replyExchange != exchange)
                    return 0; // a new command was sent meanwhile; its replies have passes of their
                              // own
                continue;
            }
            if (parsed.message.size() > 2) {
                parsed.message.resize(parsed.message.size() - 2);
                m_FtpServerMessage = std::move(parsed.message);
            }
            if (parsed.code != 0) {
                strReply = m_replyBuffer.substr(0, parsed.end);
                m_replyBuffer.erase(0, parsed.end);
            }
            return parsed.code;
        }
    } catch (...) {
        rethrowFrom("GetResponseCode");
    }
}

bool CFtpClient::DirFromResponse(const std::string& strReply, std::string& directory) {
    directory.clear();
    if (strReply.size() < 7)
        return false;
    const std::size_t open = strReply.find('"');
    if (open == std::string::npos)
        return false;
    const std::size_t close = strReply.find('"', open + 1);
    if (close == std::string::npos)
        return false;
    std::string path = strReply.substr(open + 1, close - open - 1);
    for (char& c : path)
        if (c == '\\')
            c = '/';
    directory = std::move(path);
    return true;
}

bool CFtpClient::GetDirFromResponse(const std::string& strReply) {
    try {
        return DirFromResponse(strReply, m_CurrentDirectory);
    } catch (...) {
        rethrowFrom("GetDirFromResponse");
    }
}

void CFtpClient::m_objControlSocket_OnConnect() {
    try {
        if (m_currentMethod != M::None)
            m_objTimeOut->Reset();
        setSessionState(S::Connected);
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

void CFtpClient::m_objControlSocket_OnDataArrival(std::int32_t) {
    try {
        if (m_currentMethod != M::None)
            m_objTimeOut->Reset();
        Variant data;
        m_objControlSocket->GetData(data);
        std::string piece;
        if (auto* text = std::get_if<std::string>(&data))
            piece = std::move(*text);
        if (m_discardReplies)
            return; // the session was given up; the rest of its text goes nowhere
        m_LastServerResponse = piece;
        m_replyBuffer += piece;
        if (m_awaitedExchange == m_replyExchange)
            return; // GetResponseCode further out waits for this text and takes it
        // Each pass takes the replies it finds out of the buffer, so a pass
        // nested in a handler's wait never sees a reply an outer pass has
        // acted on, and text that came in meanwhile is looked at here.
        for (;;) {
            std::string reply;
            const std::int16_t code = GetResponseCode(reply);
            if (code == 0) {
                if (m_replyBuffer.size() > MaxReplyLength)
                    FailReplyTooLong();
                return;
            }
            std::string shown = withoutLineEnd(m_LastServerResponse);
            if (shown.empty())
                shown = lastLine(reply); // only the line end came in this piece
            SessionProtocolMessage.raise(
                shown, static_cast<std::int32_t>(code <= 399 ? MessageType::ServerReply
                                                             : MessageType::ServerErrorReply));
            if (IsStaleReply(code))
                continue; // the answer to a command whose method has ended
            if (code >= 200)
                m_finalReplyOwed = false;
            DropStaleReplyAhead();
            DispatchReply(code, reply, m_LastServerResponse);
        }
    } catch (...) {
        const Error error = currentError();
        try {
            FailDispatch(error.number(), error.description());
        } catch (...) {
        }
    }
}

// The dispatcher's failure path: whatever went wrong ends the pending method
// with status 1 and the error in LastFtpError.
void CFtpClient::FailDispatch(std::int32_t number, const std::string& description) {
    const FtpAsyncMethod method = m_currentMethod;
    CloseLocalFile();
    CloseDataConnection();
    m_listingText.clear();
    EndMethod();
    m_LastFtpError->set(number, description, DispatcherSource);
    RaiseCompletionFailure(method);
}

// A reply that never ends would fill memory: past the limit the session is
// given up.
void CFtpClient::FailReplyTooLong() {
    const FtpAsyncMethod method = m_currentMethod;
    m_replyBuffer.clear();
    ++m_replyExchange;
    m_discardReplies = true;
    CloseLocalFile();
    CloseDataConnection();
    EndMethod();
    m_LastFtpError->set(ReplyTooLong,
                        "The server reply is longer than " + std::to_string(MaxReplyLength) +
                            " bytes.",
                        DispatcherSource);
    closeControlSocket();
    RaiseCompletionFailure(method);
}

void CFtpClient::LoggedIn() {
    setSessionState(S::LoggedIn);
    SendFtpCommand("PWD", std::string());
}

void CFtpClient::DispatchConnectReply(std::int16_t code, const std::string& reply) {
    if (m_lastCommand.empty()) { // the greeting
        if (code == 220)
            SendFtpCommand("USER", m_UserName);
        else
            RaiseFtpError(code, true);
    } else if (m_lastCommand == "USER") {
        if (code == 230)
            LoggedIn();
        else if (code == 331)
            SendFtpCommand("PASS", m_Password);
        else
            RaiseFtpError(code, true);
    } else if (m_lastCommand == "PASS") {
        if (code == 202 || code == 230)
            LoggedIn();
        else
            RaiseFtpError(code, true);
    } else if (m_lastCommand == "PWD") {
        if (code != 257) {
            RaiseFtpError(code, true);
        } else if (GetDirFromResponse(reply)) {
            EndMethod();
            OnConnect.raise(static_cast<std::int32_t>(AsyncResultStatus::Succeeded));
        } else {
            m_LastFtpError->setNumber(NoDirectory);
            m_LastFtpError->setDescription(NoDirectoryText);
            CloseControlConnection();
            OnConnect.raise(static_cast<std::int32_t>(AsyncResultStatus::Failed));
        }
    }
}

void CFtpClient::DispatchTransferReply(std::int16_t code, const std::string& piece) {
    const FtpAsyncMethod method = m_currentMethod;
    if (m_lastCommand == "TYPE") {
        if (code != 200)
            RaiseFtpError(code);
        else if (m_PassiveMode)
            SendFtpCommand("PASV", std::string());
        else
            SendPORTCommand();
    } else if (m_lastCommand == "PASV") {
        if (code == 227)
            EstablishPasvDataConnection(piece);
        else
            RaiseFtpError(code);
    } else if (m_lastCommand == "PORT") {
        if (code != 200) {
            // The listener is of no use any more, for a listing too.
            m_objDataSocket->CloseSocket();
            RaiseFtpError(code);
        } else {
            SendTransferCommand();
        }
    } else if (m_lastCommand == "REST" && method != M::EnumFiles) {
        if (code == 350) {
            SendFtpCommand(method == M::DownloadFile ? "RETR" : "STOR", m_remotePath);
        } else {
            CloseDataConnection();
            CloseLocalFile();
            RaiseFtpError(code);
        }
    } else if ((m_lastCommand == "RETR" && method == M::DownloadFile) ||
               (m_lastCommand == "LIST" && method == M::EnumFiles)) {
        // The data arrive on the data connection; the method ends once the
        // server has both closed it and confirmed the transfer, so a
        // transfer the server aborts is not taken for a complete one.
        if ((isPreliminary(code) && !(code == 110 && method == M::EnumFiles))) {
            // the transfer is starting
        } else if (code == 226 || code == 250) {
            m_transferReplied = true;
            if (m_dataClosed)
                FinishDataTransfer();
        } else {
            CloseDataConnection();
            if (method == M::DownloadFile)
                CloseLocalFile();
            else
                m_listingText.clear();
            RaiseFtpError(code);
        }
    } else if (m_lastCommand == "STOR" && method == M::UploadFile) {
        if (isPreliminary(code)) {
            m_storAnswered = true;
            StartUpload();
        } else if (code == 226 || code == 250) {
            EndMethod();
            OnUploadFile.raise(static_cast<std::int32_t>(AsyncResultStatus::Succeeded));
        } else {
            CloseDataConnection();
            CloseLocalFile();
            RaiseFtpError(code);
        }
    }
}

void CFtpClient::DispatchReply(std::int16_t code, const std::string& reply,
                               const std::string& piece) {
    const auto succeeded = static_cast<std::int32_t>(AsyncResultStatus::Succeeded);
    switch (m_currentMethod) {
    case M::None:
        if (code == 421)
            CloseControlConnection();
        break;
    case M::Connect:
        DispatchConnectReply(code, reply);
        break;
    case M::GetCurrentDirectory:
        if (code != 257) {
            RaiseFtpError(code);
        } else {
            EndMethod();
            if (GetDirFromResponse(reply)) {
                OnGetCurrentDirectory.raise(succeeded);
            } else {
                m_LastFtpError->setNumber(NoDirectory);
                m_LastFtpError->setDescription(NoDirectoryText);
                OnGetCurrentDirectory.raise(static_cast<std::int32_t>(AsyncResultStatus::Failed));
            }
        }
        break;
    case M::SetCurrentDirectory:
    case M::RemoveDirectory:
    case M::DeleteFile:
    case M::CreateDirectory: {
        const FtpAsyncMethod method = m_currentMethod;
        if (code != (method == M::CreateDirectory ? 257 : 250)) {
            RaiseFtpError(code);
        } else {
            EndMethod();
            RaiseCompletion(method, AsyncResultStatus::Succeeded);
        }
        break;
    }
    case M::RenameFile:
        if (m_lastCommand == "RNFR") {
            if (code == 350)
                SendFtpCommand("RNTO", m_pendingNewName);
            else
                RaiseFtpError(code);
        } else if (m_lastCommand == "RNTO") {
            if (code == 250) {
                EndMethod();
                OnRenameFile.raise(succeeded);
            } else {
                RaiseFtpError(code);
            }
        }
        break;
    case M::DownloadFile:
    case M::UploadFile:
    case M::EnumFiles:
        DispatchTransferReply(code, piece);
        break;
    case M::QuitSession:
        if (m_lastCommand == "QUIT") {
            if (code == 221) {
                EndMethod();
                m_objControlSocket->CloseSocket();
                OnQuitSession.raise(succeeded);
            } else {
                RaiseFtpError(code);
            }
        }
        break;
    }
}

// The connection has closed. A method still pending can never get its
// reply: it ends with its completion event (status 1, or 0 for QUIT, whose
// aim the close fulfils) after the state has become Disconnected, so that
// nobody waits for it for ever.
void CFtpClient::m_objControlSocket_OnClose() {
    const FtpAsyncMethod method = m_currentMethod;
    try {
        if (method != M::None) {
            CloseLocalFile();
            CloseDataConnection();
            EndMethod();
        }
    } catch (...) {
    }
    try {
        setSessionState(S::Disconnected);
        if (method == M::QuitSession) {
            OnQuitSession.raise(static_cast<std::int32_t>(AsyncResultStatus::Succeeded));
        } else if (method != M::None) {
            m_LastFtpError->set(NotConnected, "The server closed the connection.",
                                "CFtpClient.m_objControlSocket_OnClose");
            RaiseCompletionFailure(method);
        }
    } catch (...) {
    }
}

void CFtpClient::m_objControlSocket_OnError(std::int16_t Number, std::string& Description,
                                            std::int32_t, std::string, std::string, std::int32_t,
                                            bool&) {
    try {
        const FtpAsyncMethod method = m_currentMethod;
        CloseControlConnection();
        m_LastFtpError->set(Number, Description, "CFtpClient.m_objControlSocket_OnError");
        // QUIT included: its caller waits for an answer that can no longer come.
        RaiseCompletionFailure(method);
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

void CFtpClient::m_objTimeOut_TimeOut() {
    try {
        RaiseCompletion(m_currentMethod, AsyncResultStatus::TimedOut);
    } catch (...) {
    }
}

// --- simple commands ---------------------------------------------------------------

void CFtpClient::startSimpleMethod(FtpAsyncMethod method, const char* member, const char* verb,
                                   const std::string& argument) {
    bool begun = false;
    try {
        checkCanStart(member);
        if (method != M::GetCurrentDirectory)
            checkArgument(argument, member);
        BeginMethod(method);
        begun = true;
        SendFtpCommand(verb, argument);
    } catch (...) {
        try {
            if (begun && m_currentMethod == method)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom(member);
    }
}

void CFtpClient::SetCurrentDirectory(const std::string& strDirectoryPath) {
    startSimpleMethod(M::SetCurrentDirectory, "SetCurrentDirectory", "CWD", strDirectoryPath);
}

void CFtpClient::GetCurrentDirectory() {
    startSimpleMethod(M::GetCurrentDirectory, "GetCurrentDirectory", "PWD", std::string());
}

void CFtpClient::CreateDirectory(const std::string& strDirectoryPath) {
    startSimpleMethod(M::CreateDirectory, "CreateDirectory", "MKD", strDirectoryPath);
}

void CFtpClient::RemoveDirectory(const std::string& strDirectoryPath) {
    startSimpleMethod(M::RemoveDirectory, "RemoveDirectory", "RMD", strDirectoryPath);
}

void CFtpClient::DeleteFile(const std::string& strFilePath) {
    startSimpleMethod(M::DeleteFile, "DeleteFile", "DELE", strFilePath);
}

void CFtpClient::RenameFile(const std::string& strOldFileName, const std::string& strNewFileName) {
    bool begun = false;
    try {
        checkCanStart("RenameFile");
        checkArgument(strOldFileName, "RenameFile");
        checkArgument(strNewFileName, "RenameFile");
        m_pendingNewName = strNewFileName;
        BeginMethod(M::RenameFile);
        begun = true;
        SendFtpCommand("RNFR", strOldFileName);
    } catch (...) {
        try {
            if (begun && m_currentMethod == M::RenameFile)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom("RenameFile");
    }
}

// A method that ends before the server has answered its last command leaves
// that answer on its way; it must not be taken for the answer to the next
// command.
void CFtpClient::AbandonPendingReply() {
    if (m_finalReplyOwed) {
        m_staleFinalReply = true;
        m_staleTransferReply =
            m_lastCommand == "RETR" || m_lastCommand == "STOR" || m_lastCommand == "LIST";
    }
}

// The late end of an abandoned transfer may come in the same piece as the
// answer to the next command; acting on that answer sends a command and
// clears the buffer, so the late reply is taken out of it first.
void CFtpClient::DropStaleReplyAhead() {
    while (m_staleFinalReply && m_staleTransferReply) {
        const ParsedReply next = ParseReply(m_replyBuffer);
        if (next.code < 200 || !IsStaleReply(next.code))
            return;
        m_replyBuffer.erase(0, next.end);
    }
}

// Whether a reply is the one an ended method left owing. A server may
// notice the end of an abandoned transfer only after it has answered the
// next command, so that answer is told by its code: the end of a transfer
// (226, 425, 426, 451); any other command's answer is simply the next one.
bool CFtpClient::IsStaleReply(std::int16_t code) {
    if (!m_staleFinalReply)
        return false;
    if (code < 200) // its preliminary reply, late, unless a new transfer has begun
        return m_staleTransferReply && m_lastCommand != "RETR" && m_lastCommand != "STOR" &&
               m_lastCommand != "LIST";
    if (m_staleTransferReply && code != 226 && code != 425 && code != 426 && code != 451)
        return false;
    m_staleFinalReply = false;
    return true;
}

void CFtpClient::CancelAsyncMethod() {
    try {
        const FtpAsyncMethod method = m_currentMethod;
        if (method != M::None)
            AbandonPendingReply();
        EndMethod();
        switch (method) {
        case M::None:
        case M::QuitSession:
            break;
        case M::DownloadFile:
        case M::UploadFile:
            CloseDataConnection();
            CloseLocalFile();
            RaiseCompletion(method, AsyncResultStatus::Cancelled);
            break;
        case M::EnumFiles:
            m_listingText.clear();
            CloseDataConnection();
            RaiseCompletion(method, AsyncResultStatus::Cancelled);
            break;
        default:
            RaiseCompletion(method, AsyncResultStatus::Cancelled);
            break;
        }
    } catch (...) {
        rethrowFrom("CancelAsyncMethod");
    }
}

// --- transfers and listings --------------------------------------------------------

void CFtpClient::DownloadFile(const std::string& strRemoteFilePath,
                              const std::string& strLocalFilePath, bool OverWrite) {
    bool begun = false;
    try {
        checkCanStart("DownloadFile");
        checkArgument(strRemoteFilePath, "DownloadFile");
        if (strLocalFilePath.empty())
            throw platform::invalidCallError("CFtpClient.DownloadFile");
        m_remotePath = strRemoteFilePath;
        m_localPath = strLocalFilePath;
        m_overwrite = OverWrite;
        m_downloadByteCount = 0;
        DropDataSocket();
        BeginMethod(M::DownloadFile);
        begun = true;
        SendFtpCommand("TYPE", typeArgument(m_TransferMode));
    } catch (...) {
        try {
            if (begun && m_currentMethod == M::DownloadFile)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom("DownloadFile");
    }
}

void CFtpClient::UploadFile(const std::string& strLocalFile, const std::string& strRemoteFile,
                            std::int64_t lngStartPosition) {
    bool begun = false;
    try {
        checkCanStart("UploadFile");
        checkArgument(strRemoteFile, "UploadFile");
        // A negative offset names no byte of the file.
        if (strLocalFile.empty() || lngStartPosition < 0)
            throw platform::invalidCallError("CFtpClient.UploadFile");
        m_remotePath = strRemoteFile;
        m_localPath = strLocalFile;
        m_uploadStartPosition = lngStartPosition;
        m_sendBuffer.assign(static_cast<std::size_t>(m_SendBufferLenght), 0);
        DropDataSocket();
        BeginMethod(M::UploadFile);
        begun = true;
        SendFtpCommand("TYPE", typeArgument(m_TransferMode));
    } catch (...) {
        try {
            if (begun && m_currentMethod == M::UploadFile)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom("UploadFile");
    }
}

void CFtpClient::EnumFiles() {
    bool begun = false;
    try {
        checkCanStart("EnumFiles");
        m_listingText.clear();
        DropDataSocket();
        BeginMethod(M::EnumFiles);
        begun = true;
        SendFtpCommand("TYPE", "A");
    } catch (...) {
        try {
            if (begun && m_currentMethod == M::EnumFiles)
                EndMethod();
        } catch (...) {
        }
        rethrowFrom("EnumFiles");
    }
}

// --- data connections --------------------------------------------------------------

// Tears the data connection down at once: a connected socket's close is
// otherwise graceful and would report its end later, into whatever transfer
// runs by then.
void CFtpClient::CloseDataConnection() {
    try {
        if (m_objDataSocket->State() != CSocket::StateClosed) {
            platform::winsock::shutdown(m_objDataSocket->SocketHandle(), 2);
            DropDataSocket();
        }
    } catch (...) {
        rethrowFrom("CloseDataConnection");
    }
}

// Ends whatever is left of the last data connection (for example the
// graceful close after an upload) without any further event.
void CFtpClient::DropDataSocket() {
    m_objDataSocket->CloseSocket();
    if (m_objDataSocket->State() != CSocket::StateClosed)
        m_objDataSocket->CloseSocket();
}

std::int32_t CFtpClient::NextPortCandidate(std::int32_t lastPort) {
    if (lastPort < FirstPortCandidate || lastPort >= LastPortCandidate)
        return FirstPortCandidate;
    return lastPort + 1;
}

std::int32_t CFtpClient::GetFreePort() {
    try {
        if (m_lastPort != 0) {
            m_lastPort = NextPortCandidate(m_lastPort);
        } else {
            // Random for the first active transfer of a client, so that two
            // clients started together do not fight over the same ports.
            std::mt19937 generator(static_cast<std::uint32_t>(
                std::chrono::system_clock::now().time_since_epoch().count() ^
                reinterpret_cast<std::uintptr_t>(this)));
            std::uniform_int_distribution<std::int32_t> draw(FirstPortCandidate,
                                                             FirstPortCandidate + 20001);
            m_lastPort = draw(generator);
        }
        return m_lastPort;
    } catch (...) {
        rethrowFrom("GetFreePort");
    }
}

// Listens on the first free candidate port and announces it with PORT. The
// search tries every candidate at most once, then gives up.
void CFtpClient::SendPORTCommand() {
    try {
        setSessionState(S::OpeningDataConnection);
        const std::int32_t candidates = LastPortCandidate - FirstPortCandidate + 1;
        std::int32_t port = 0;
        bool listening = false;
        for (std::int32_t tried = 0; tried < candidates && !listening; ++tried) {
            // Lets pending events through between candidates without waiting.
            platform::EventLoop::instance().yield(std::chrono::milliseconds(0));
            port = GetFreePort();
            try {
                if (m_objDataSocket->State() != CSocket::StateClosed)
                    m_objDataSocket->CloseSocket();
                m_objDataSocket->setLocalPort(port);
                m_objDataSocket->Listen();
                listening = m_objDataSocket->State() == CSocket::StateListening;
            } catch (const Error&) {
                // This candidate is taken; the next one is tried.
            }
        }
        if (!listening) {
            m_objDataSocket->CloseSocket();
            throw Error(NoFreePort, "CFtpClient.SendPORTCommand",
                        "No local port from " + std::to_string(FirstPortCandidate) + " to " +
                            std::to_string(LastPortCandidate) + " can be listened on.");
        }
        std::string address = m_objControlSocket->LocalIP();
        for (char& c : address)
            if (c == '.')
                c = ',';
        SendFtpCommand("PORT", address + "," + std::to_string(port / 256) + "," +
                                   std::to_string(port % 256));
    } catch (...) {
        rethrowFrom("SendPORTCommand");
    }
}

// Reads the address of a 227 reply: the six numbers h1,h2,h3,h4,p1,p2
// between its parentheses, or, for a server that leaves those out, the
// first six comma-separated numbers after the code.
bool CFtpClient::ParsePassiveReply(const std::string& strReply, std::string& host,
                                   std::int32_t& port) {
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
        std::string item =
            inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        while (!item.empty() && item.front() == ' ')
            item.erase(0, 1);
        while (!item.empty() && item.back() == ' ')
            item.pop_back();
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

void CFtpClient::EstablishPasvDataConnection(const std::string& strReply) {
    try {
        setSessionState(S::OpeningDataConnection);
        std::string host;
        std::int32_t port = 0;
        if (!ParsePassiveReply(strReply, host, port))
            throw Error(BadPassiveReply, "CFtpClient.EstablishPasvDataConnection",
                        "The server's passive-mode reply names no address: " +
                            withoutLineEnd(strReply));
        m_objDataSocket->CloseSocket();
        m_objDataSocket->setLocalPort(0);
        m_objDataSocket->Connect(host, port);
    } catch (...) {
        rethrowFrom("EstablishPasvDataConnection");
    }
}

// The data connection is ready (passive: connected; active: PORT accepted):
// the local file is opened and the transfer command follows, unless a REST
// went out first, whose reply sends it.
void CFtpClient::SendTransferCommand() {
    switch (m_currentMethod) {
    case M::DownloadFile:
        OpenLocalFile();
        if (m_lastCommand != "REST")
            SendFtpCommand("RETR", m_remotePath);
        break;
    case M::UploadFile:
        OpenLocalFileForUpload();
        if (m_lastCommand != "REST")
            SendFtpCommand("STOR", m_remotePath);
        break;
    case M::EnumFiles:
        SendFtpCommand("LIST", std::string());
        break;
    default:
        break;
    }
}

// Sends the first chunk once both the data connection is up and the server
// has taken STOR; before that the file may not even be open.
void CFtpClient::StartUpload() {
    if (m_currentMethod != M::UploadFile || m_uploadStarted || !m_dataAccepted || !m_storAnswered)
        return;
    m_uploadStarted = true;
    m_uploadPosition = m_uploadStartPosition;
    UploadData();
}

// A download or listing has ended on both connections.
void CFtpClient::FinishDataTransfer() {
    const FtpAsyncMethod method = m_currentMethod;
    if (method == M::DownloadFile) {
        EndMethod();
        CloseLocalFile();
        OnDownloadFile.raise(static_cast<std::int32_t>(AsyncResultStatus::Succeeded));
    } else if (method == M::EnumFiles) {
        EndMethod();
        m_CurrentDirectoryListing = std::move(m_listingText);
        m_listingText.clear();
        m_CurrentDirectoryFiles = ParseListing(m_CurrentDirectoryListing);
        if (!m_CurrentDirectoryFiles) {
            m_LastFtpError->set(UnknownListingFormat, "Unknown listing format.",
                                "CFtpClient.m_objDataSocket_OnClose");
            OnEnumFiles.raise(static_cast<std::int32_t>(AsyncResultStatus::Failed));
        } else {
            OnEnumFiles.raise(static_cast<std::int32_t>(AsyncResultStatus::Succeeded));
        }
    }
}

// The shared failure path of the data-socket handlers.
void CFtpClient::FailDataHandler(const char* handler) {
    const Error error = currentError();
    try {
        const FtpAsyncMethod method = m_currentMethod;
        AbandonPendingReply();
        CloseLocalFile();
        CloseDataConnection();
        if (method == M::EnumFiles)
            m_listingText.clear();
        EndMethod();
        m_LastFtpError->set(error.number(), error.description(),
                            std::string("CFtpClient.") + handler);
        RaiseCompletionFailure(method);
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

void CFtpClient::m_objDataSocket_OnConnect() {
    try {
        if (m_currentMethod != M::None)
            m_objTimeOut->Reset();
        m_dataAccepted = true;
        SendTransferCommand();
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnConnect");
    }
}

void CFtpClient::m_objDataSocket_OnConnectionRequest(std::int32_t requestID) {
    try {
        if (m_objDataSocket->State() != CSocket::StateClosed)
            m_objDataSocket->CloseSocket();
        if (requestID < 0)
            throw Error(platform::winsock::WSAECONNABORTED, "CSocket.Accept",
                        "The server's data connection could not be accepted.");
        m_objDataSocket->Accept(requestID);
        if (m_currentMethod == M::None) {
            // Nobody waits for this connection any more.
            CloseDataConnection();
            return;
        }
        m_objTimeOut->Reset();
        if (m_currentMethod == M::UploadFile) {
            while (m_objDataSocket->State() == CSocket::StateConnecting)
                platform::EventLoop::instance().yield();
            m_dataAccepted = true;
            StartUpload();
        } else {
            m_dataAccepted = true;
        }
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnConnectionRequest");
    }
}

void CFtpClient::m_objDataSocket_OnClose() {
    try {
        if (m_currentMethod != M::DownloadFile && m_currentMethod != M::EnumFiles)
            return;
        m_dataClosed = true;
        if (m_transferReplied)
            FinishDataTransfer();
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

void CFtpClient::m_objDataSocket_OnError(std::int16_t Number, std::string& Description,
                                         std::int32_t, std::string Source, std::string,
                                         std::int32_t, bool&) {
    try {
        const FtpAsyncMethod method = m_currentMethod;
        if (method != M::None)
            AbandonPendingReply();
        EndMethod();
        m_LastFtpError->set(Number, Description, Source);
        m_objDataSocket->CloseSocket();
        switch (method) {
        case M::DownloadFile:
            CloseLocalFile();
            OnDownloadFile.raise(static_cast<std::int32_t>(AsyncResultStatus::Failed));
            break;
        case M::UploadFile:
            CloseLocalFile();
            OnUploadFile.raise(static_cast<std::int32_t>(AsyncResultStatus::Failed));
            break;
        case M::EnumFiles:
            m_listingText.clear();
            OnEnumFiles.raise(static_cast<std::int32_t>(AsyncResultStatus::Failed));
            break;
        default:
            break;
        }
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
        m_objDataSocket->GetData(data, vartype::ByteArray);
        const auto* bytes = std::get_if<ByteArray>(&data);
        if (!bytes || bytes->empty())
            return;
        if (m_currentMethod == M::DownloadFile && m_localFile >= 0) {
            const std::uint8_t* at = bytes->data();
            std::size_t left = bytes->size();
            while (left > 0) {
                const ssize_t n = ::write(m_localFile, at, left);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw fileError(DeviceIoError, "CFtpClient.m_objDataSocket_OnDataArrival",
                                    "Cannot write to", m_localPath, n < 0 ? errno : ENOSPC);
                at += n;
                left -= static_cast<std::size_t>(n);
            }
            m_downloadByteCount += static_cast<std::int64_t>(bytes->size());
            OnDataTransferProgress.raise(m_downloadByteCount);
        } else if (m_currentMethod == M::EnumFiles) {
            m_listingText.append(bytes->begin(), bytes->end());
            OnDataTransferProgress.raise(static_cast<std::int64_t>(m_listingText.size()));
        }
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnDataArrival");
    }
}

void CFtpClient::m_objDataSocket_OnSendComplete() {
    try {
        if (m_currentMethod != M::UploadFile)
            return;
        m_objTimeOut->Reset();
        OnDataTransferProgress.raise(m_uploadPosition);
        UploadData();
    } catch (...) {
        FailDataHandler("m_objDataSocket_OnSendComplete");
    }
}

// --- local files -------------------------------------------------------------------

bool CFtpClient::LocalFileExists(const std::string& path) const {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

void CFtpClient::OpenLocalFile() {
    try {
        const char* source = "CFtpClient.OpenLocalFile";
        std::int64_t resume = 0;
        if (LocalFileExists(m_localPath)) {
            if (m_overwrite) {
                if (::unlink(m_localPath.c_str()) != 0)
                    throw fileError(PathFileAccessError, source, "Cannot delete", m_localPath,
                                    errno);
            } else {
                struct stat info {};
                if (::stat(m_localPath.c_str(), &info) != 0)
                    throw fileError(PathFileAccessError, source, "Cannot read", m_localPath, errno);
                resume = static_cast<std::int64_t>(info.st_size);
            }
        }
        if (m_localFile >= 0) {
            ::close(m_localFile);
            m_localFile = -1;
        }
        m_localFile = ::open(m_localPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_localFile < 0)
            throw fileError(PathFileAccessError, source, "Cannot open", m_localPath, errno);
        if (resume >= 1) {
            if (::lseek(m_localFile, static_cast<off_t>(resume), SEEK_SET) < 0)
                throw fileError(DeviceIoError, source, "Cannot position in", m_localPath, errno);
            m_downloadByteCount = resume;
            SendFtpCommand("REST", std::to_string(resume));
        }
    } catch (...) {
        rethrowFrom("OpenLocalFile");
    }
}

void CFtpClient::OpenLocalFileForUpload() {
    try {
        const char* source = "CFtpClient.OpenLocalFileForUpload";
        m_uploadPosition = m_uploadStartPosition;
        if (m_localFile >= 0) {
            ::close(m_localFile);
            m_localFile = -1;
        }
        m_localFile = ::open(m_localPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_localFile < 0)
            throw fileError(errno == ENOENT ? FileNotFound : PathFileAccessError, source,
                            "Cannot open", m_localPath, errno);
        struct stat info {};
        if (::fstat(m_localFile, &info) != 0)
            throw fileError(PathFileAccessError, source, "Cannot read", m_localPath, errno);
        if (S_ISDIR(info.st_mode))
            throw fileError(PathFileAccessError, source, "Cannot upload", m_localPath, EISDIR);
        m_localFileLength = static_cast<std::int64_t>(info.st_size);
        if (m_uploadStartPosition >= 1)
            SendFtpCommand("REST", std::to_string(m_uploadStartPosition));
    } catch (...) {
        rethrowFrom("OpenLocalFileForUpload");
    }
}

// Sends the next chunk, or, at the end of the file, closes the file and the
// data connection, which tells the server that the file is complete. The
// position moves by the bytes actually read: a file that shrinks while it
// is being sent ends where its data ends.
void CFtpClient::UploadData() {
    try {
        if (m_currentMethod != M::UploadFile)
            return;
        ssize_t n = 0;
        if (m_uploadPosition < m_localFileLength) {
            const std::int64_t remainder = m_localFileLength - m_uploadPosition;
            const std::size_t size =
                static_cast<std::size_t>(std::min<std::int64_t>(remainder, m_sendBuffer.size()));
            do {
                n = ::pread(m_localFile, m_sendBuffer.data(), size,
                            static_cast<off_t>(m_uploadPosition));
            } while (n < 0 && errno == EINTR);
            if (n < 0)
                throw fileError(DeviceIoError, "CFtpClient.UploadData", "Cannot read", m_localPath,
                                errno);
        }
        if (n == 0) {
            CloseLocalFile();
            m_objDataSocket->CloseSocket();
            return;
        }
        m_uploadPosition += n;
        m_objDataSocket->SendData(
            Variant(ByteArray(m_sendBuffer.begin(), m_sendBuffer.begin() + n)));
    } catch (...) {
        rethrowFrom("UploadData");
    }
}

void CFtpClient::CloseLocalFile() {
    if (m_localFile >= 0) {
        ::close(m_localFile);
        m_localFile = -1;
    }
    m_localPath.clear();
    m_remotePath.clear();
    m_downloadByteCount = 0;
    m_uploadPosition = 0;
    m_localFileLength = 0;
    m_uploadStartPosition = 0;
    m_overwrite = false;
}

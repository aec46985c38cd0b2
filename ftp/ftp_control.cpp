// The FTP client's control connection: logging in and out, writing
// commands, and the reply dispatcher, which takes each complete reply out
// of the reply buffer once, tells whose reply it is, and moves the pending
// method on by (method, last command, code).
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"
#include "ftp/ftp_tls.h"

#include "platform/error.h"

#include <utility>

using platform::Error;
using M = FtpAsyncMethod;
using S = FtpSessionState;
using namespace ftp::detail;

namespace {

// Password sent with the "anonymous" login when no user name is set.
constexpr const char* AnonymousPassword = "mitu-user@example.com";

} // namespace

// Connect may be called while another method is pending: it takes that
// method's place (whose transfer, if any, is given up, without an event).
void CFtpClient::Connect() {
    StartMethod(
        M::Connect, "Connect",
        [&] {
            if (m_FtpServer.empty())
                throw Error(platform::errors::InvalidPropertyValue, "CFtpClient.Connect",
                            platform::errors::InvalidPropertyValueText);
            if (m_UserName.empty()) {
                m_UserName = "anonymous";
                m_Password = AnonymousPassword;
            }
            if (hasLineBreak(m_UserName) || hasLineBreak(m_Password) || hasLineBreak(m_FtpServer))
                throw platform::invalidCallError("CFtpClient.Connect");
            // The checks are fixed for the session: a CA file that cannot be
            // read fails the call, before anything is sent.
            m_tls.reset();
            if (m_UseTls)
                m_tls = ftp::makeTlsContext(m_FtpServer, m_TlsCaFile, m_TlsInsecure);
            if (DataTransferInProgress())
                abandonTransfer();
            setSessionState(S::Connecting);
            m_lastCommand = ftp::Command::Greeting; // the greeting is owed first
            m_replies.clear();
            m_owed.clear();
            m_discardReplies = false;
            m_offersMlst.reset(); // the next session's server is asked again
        },
        [&] {
            // The greeting is owed like the answer to a command.
            m_owed.sent(ftp::Command::Greeting);
            // A connection that is still closing (CloseControlConnection
            // waits for the server's close) is dropped now: a new session
            // needs a fresh socket.
            m_objControlSocket->CloseNow();
            m_objControlSocket->Connect(m_FtpServer, m_RemotePort);
        },
        true);
}

void CFtpClient::QuitSession() {
    StartMethod(
        M::QuitSession, "QuitSession", [] {}, [&] { SendFtpCommand("QUIT", std::string()); });
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

// The session state a command puts the client in; the commands that
// prepare a transfer count as the transfer.
::FtpSessionState CFtpClient::StateFor(ftp::Command command) const {
    using C = ftp::Command;
    switch (command) {
    case C::User:
    case C::Pass:
    case C::Auth:
        return S::Authenticating;
    case C::Pbsz:
    case C::Prot:
        return S::LoggedIn;
    case C::Cwd:
        return S::ChangingDirectory;
    case C::List:
    case C::Mlsd:
    case C::Pwd:
        return S::RetrievingDirectoryInfo;
    case C::Mkd:
        return S::CreatingDirectory;
    case C::Dele:
        return S::DeletingFile;
    case C::Retr:
        return S::DownloadingFile;
    case C::Rmd:
        return S::RemovingDirectory;
    case C::Rnfr:
        return S::RenamingFile;
    case C::Stor:
        return S::UploadingFile;
    case C::Quit:
        return S::Quitting;
    case C::Type:
    case C::Pasv:
    case C::Port:
    case C::Epsv:
    case C::Eprt:
    case C::Rest:
    case C::Size:
    case C::Feat:
        if (m_currentMethod == M::DownloadFile)
            return S::DownloadingFile;
        if (m_currentMethod == M::UploadFile)
            return S::UploadingFile;
        if (m_currentMethod == M::EnumFiles)
            return S::RetrievingDirectoryInfo;
        return S::Ready;
    default:
        return S::Ready;
    }
}

void CFtpClient::SendFtpCommand(const std::string& verb, const std::string& argument) {
    try {
        if (m_objControlSocket->State() != CSocket::StateConnected)
            throw Error(NotConnected, "CFtpClient.SendFtpCommand", NotConnectedText);
        if (hasLineBreak(verb) || hasLineBreak(argument))
            throw platform::invalidCallError("CFtpClient.SendFtpCommand");

        const ftp::Command command = ftp::commandOf(verb);
        setSessionState(StateFor(command));

        std::string line = argument.empty() ? verb + "\r\n" : verb + " " + argument + "\r\n";
        m_lastCommand = command;
        m_objControlSocket->SendData(Variant(std::move(line)));
        m_owed.sent(command);
        SessionProtocolMessage.raise(verb + " " + argument,
                                     static_cast<std::int32_t>(MessageType::ClientCommand));
    } catch (...) {
        rethrowFrom("SendFtpCommand");
    }
}

bool CFtpClient::ControlConnectionOpen() const {
    const std::int32_t state = m_objControlSocket->State();
    return state != CSocket::StateClosed && state != CSocket::StateError;
}

bool CFtpClient::GetDirFromResponse(const std::string& strReply) {
    try {
        return ftp::DirFromResponse(strReply, m_CurrentDirectory);
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

// Consumes what arrived and acts on each complete reply once. A reply still
// open waits in the buffer for the next arrival: nothing here waits. Each
// reply is taken out of the buffer before it is acted on, so a pass nested
// in a handler's wait never sees a reply an outer pass has acted on.
// Only a final reply to the pending method restarts the time-out: a server
// that sends preliminary replies (or text that never ends a reply) over and
// over, and nothing on the data connection, still reaches it.
void CFtpClient::m_objControlSocket_OnDataArrival(std::int32_t) {
    try {
        Variant data;
        m_objControlSocket->GetData(data);
        std::string piece;
        if (auto* text = std::get_if<std::string>(&data))
            piece = std::move(*text);
        if (m_discardReplies)
            return; // the session was given up; the rest of its text goes nowhere
        m_LastServerResponse = piece;
        m_replies.consume(piece);
        while (auto reply = m_replies.pop()) {
            if (!reply->message.empty())
                m_FtpServerMessage = reply->message;
            SessionProtocolMessage.raise(
                reply->shown,
                static_cast<std::int32_t>(reply->code <= 399 ? MessageType::ServerReply
                                                             : MessageType::ServerErrorReply));
            // The answer to a command whose method has ended is only shown;
            // but the end of the service is heeded whoever it answers.
            if (m_owed.take(reply->code) == ftp::OwedReplies::Owner::Ended &&
                !(reply->code == 421 && m_currentMethod == M::None))
                continue;
            if (reply->code >= 200 && m_currentMethod != M::None)
                m_objTimeOut->Reset();
            DispatchReply(*reply);
            if (m_discardReplies)
                return;
        }
        std::string open = m_replies.openMessage();
        if (!open.empty())
            m_FtpServerMessage = std::move(open);
        if (m_replies.size() > MaxReplyLength)
            FailReplyTooLong();
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
    abandonTransfer();
    failMethod(Error(number, DispatcherSource, description));
}

// A reply that never ends would fill memory: past the limit the session is
// given up.
void CFtpClient::FailReplyTooLong() {
    m_replies.clear();
    m_discardReplies = true;
    abandonTransfer();
    failMethod(
        Error(ReplyTooLong, DispatcherSource,
              "The server reply is longer than " + std::to_string(MaxReplyLength) + " bytes."),
        true);
}

void CFtpClient::LoggedIn() {
    setSessionState(S::LoggedIn);
    if (m_tls)
        SendFtpCommand("PBSZ", "0"); // then PROT P: data connections in TLS too
    else
        SendFtpCommand("PWD", std::string());
}

// --- replies of the login and the simple commands, one handler each ---------

void CFtpClient::OnGreetingReply(std::int16_t code) {
    if (code == 120)
        return; // the service is on its way: its 220 follows within the time-out
    if (code != 220)
        RaiseFtpError(code, true);
    else if (m_tls)
        SendFtpCommand("AUTH", "TLS");
    else
        SendFtpCommand("USER", m_UserName);
}

void CFtpClient::OnUserReply(std::int16_t code) {
    if (code == 230)
        LoggedIn();
    else if (code == 331)
        SendFtpCommand("PASS", m_Password);
    else
        RaiseFtpError(code, true);
}

void CFtpClient::OnPassReply(std::int16_t code) {
    if (code == 202 || code == 230)
        LoggedIn();
    else
        RaiseFtpError(code, true);
}

// PBSZ 0, then PROT P, then the login's PWD.
void CFtpClient::OnProtectionReply(std::int16_t code) {
    if (code != 200)
        RaiseFtpError(code, true);
    else if (m_lastCommand == ftp::Command::Pbsz)
        SendFtpCommand("PROT", "P");
    else
        SendFtpCommand("PWD", std::string());
}

// The login's last step, or GetCurrentDirectory.
void CFtpClient::OnPwdReply(std::int16_t code, const std::string& reply) {
    const FtpAsyncMethod method = m_currentMethod;
    const bool login = method == M::Connect;
    if (code != 257) {
        RaiseFtpError(code, login);
        return;
    }
    if (GetDirFromResponse(reply))
        completeMethod(AsyncResultStatus::Succeeded);
    else // the session cannot go on without knowing where it is
        failMethod(Error(NoDirectory, std::string(), NoDirectoryText), login);
}

// CWD, MKD, RMD and DELE: one command, one final reply.
void CFtpClient::OnSimpleReply(std::int16_t code) {
    const FtpAsyncMethod method = m_currentMethod;
    if (code != (method == M::CreateDirectory ? 257 : 250))
        RaiseFtpError(code);
    else
        completeMethod(AsyncResultStatus::Succeeded);
}

void CFtpClient::OnRnfrReply(std::int16_t code) {
    if (code == 350)
        SendFtpCommand("RNTO", m_pendingNewName);
    else
        RaiseFtpError(code);
}

void CFtpClient::OnRntoReply(std::int16_t code) {
    if (code == 250)
        completeMethod(AsyncResultStatus::Succeeded);
    else
        RaiseFtpError(code);
}

void CFtpClient::OnQuitReply(std::int16_t code) {
    if (code == 221)
        completeMethod(AsyncResultStatus::Succeeded, [&] { m_objControlSocket->CloseSocket(); });
    else
        RaiseFtpError(code);
}

// A reply of the pending method goes to the handler of the command it
// answers; with no method pending only the end of the service is heeded.
void CFtpClient::DispatchReply(const ftp::ReplyBuffer::Reply& reply) {
    using C = ftp::Command;
    const std::int16_t code = reply.code;
    if (m_currentMethod == M::None) {
        if (code == 421)
            CloseControlConnection();
        return;
    }
    switch (m_lastCommand) {
    case C::Greeting:
        OnGreetingReply(code);
        break;
    case C::Auth:
        StartControlTls(code, reply.text);
        break;
    case C::User:
        OnUserReply(code);
        break;
    case C::Pass:
        OnPassReply(code);
        break;
    case C::Pbsz:
    case C::Prot:
        OnProtectionReply(code);
        break;
    case C::Pwd:
        OnPwdReply(code, reply.text);
        break;
    case C::Cwd:
    case C::Mkd:
    case C::Rmd:
    case C::Dele:
        OnSimpleReply(code);
        break;
    case C::Rnfr:
        OnRnfrReply(code);
        break;
    case C::Rnto:
        OnRntoReply(code);
        break;
    case C::Quit:
        OnQuitReply(code);
        break;
    case C::Type:
        OnTypeReply(code);
        break;
    case C::Size:
        OnSizeReply(code, reply.text);
        break;
    case C::Pasv:
        OnPasvReply(code, reply.text);
        break;
    case C::Epsv:
        OnEpsvReply(code, reply.text);
        break;
    case C::Port:
    case C::Eprt:
        OnPortReply(code);
        break;
    case C::Rest:
        OnRestReply(code);
        break;
    case C::Feat:
        OnFeatReply(code, reply.text);
        break;
    case C::Retr:
    case C::Stor:
    case C::List:
    case C::Mlsd:
        OnTransferCommandReply(code, reply.text);
        break;
    case C::Other:
        break;
    }
}

// Whether the pending download or listing was confirmed by the server
// and only waits for the rest of its data: then the end of the data
// connection ends it, whatever becomes of the control connection.
bool CFtpClient::TransferOutlivesControl() const {
    return (m_currentMethod == M::DownloadFile || m_currentMethod == M::EnumFiles) &&
           m_transfer.transferReplied && !m_data.closed && !m_data.failure;
}

// The connection has closed. A method still pending can never get its
// reply: it ends with its completion event (status 1, or 0 for QUIT, whose
// aim the close fulfils) after the state has become Disconnected, so that
// nobody waits for it for ever.
void CFtpClient::m_objControlSocket_OnClose() {
    const FtpAsyncMethod method = m_currentMethod;
    if (TransferOutlivesControl()) {
        m_transfer.controlClosed = true;
        try {
            setSessionState(S::Disconnected);
        } catch (...) {
        }
        return;
    }
    try {
        if (method == M::None) {
            setSessionState(S::Disconnected);
            return;
        }
        abandonTransfer();
        completeMethod(
            method == M::QuitSession ? AsyncResultStatus::Succeeded : AsyncResultStatus::Failed,
            [&] {
                setSessionState(S::Disconnected);
                if (method != M::QuitSession)
                    m_LastFtpError->set(NotConnected, ftp::errors::ServerClosedText,
                                        "CFtpClient.m_objControlSocket_OnClose");
            });
    } catch (...) {
    }
}

void CFtpClient::m_objControlSocket_OnError(std::int16_t Number, std::string& Description,
                                            std::int32_t, std::string, std::string, std::int32_t,
                                            bool&) {
    try {
        if (TransferOutlivesControl()) {
            closeControlSocket();
            return;
        }
        // QUIT included: its caller waits for an answer that can no longer come.
        failMethod(Error(Number, "CFtpClient.m_objControlSocket_OnError", Description), true);
    } catch (...) {
        // Nothing of a notification reaches the event loop.
    }
}

// The time-out reports the pending method as timed out and leaves it
// pending. A transfer whose data connection has failed was only waiting
// for the server's word on it: it ends with the data connection's error.
void CFtpClient::m_objTimeOut_TimeOut() {
    try {
        if (m_data.failure && DataTransferInProgress()) {
            FailTransfer(Error(*m_data.failure));
            return;
        }
        RaiseCompletion(m_currentMethod, AsyncResultStatus::TimedOut);
    } catch (...) {
    }
}

// The FTP client object: construction, properties, the steps every method
// shares (begin, end, completion events, the error trap), the simple
// commands and cancellation. The control connection is in ftp_control.cpp,
// data connections and transfers in ftp_transfer.cpp, local files in
// ftp_local_file.cpp, listings in ftp_listing.cpp, reply parsing in
// ftp_reply.cpp.
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"

#include "platform/error.h"

#include <cstring>
#include <exception>
#include <new>
#include <unistd.h>
#include <utility>

using platform::Error;
using M = FtpAsyncMethod;
using S = FtpSessionState;
using namespace ftp::detail;

namespace ftp::detail {

Error fileError(std::int32_t number, const std::string& source, const std::string& what,
                const std::string& path, int error) {
    return Error(number, source, what + " " + path + ": " + std::strerror(error));
}

std::string withoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

} // namespace ftp::detail

void CFtpClient::rethrowFrom(const std::string& member) {
    const Error error = currentError("CFtpClient." + member);
    throw Error(error.number(), error.source(),
                "CFtpClient." + member + " failed: " + error.description());
}

// --- construction and end ------------------------------------------------------

std::shared_ptr<CFtpClient> CFtpClient::create() {
    std::shared_ptr<CFtpClient> client(new CFtpClient());
    client->subscribe();
    return client;
}

CFtpClient::CFtpClient() {
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
    m_data.socket().OnConnect.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnConnect));
    m_data.socket().OnConnectionRequest.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnConnectionRequest));
    m_data.socket().OnClose.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnClose));
    m_data.socket().OnError.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnError));
    m_data.socket().OnDataArrival.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnDataArrival));
    m_data.socket().OnSendComplete.subscribe(
        platform::bindWeak(self, &CFtpClient::m_objDataSocket_OnSendComplete));
}

CFtpClient::~CFtpClient() {
    try {
        m_objTimeOut->StopTimer();
    } catch (...) {
    }
    if (m_localFile >= 0)
        CloseLocalSource();
    m_objControlSocket.reset();
    m_data.release();
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
    m_transfer = TransferFlags();
    m_data.startTransfer();
    m_currentMethod = method;
    m_objTimeOut->StartTimer();
}

// A method that ends before the server has answered all its commands
// leaves those answers on their way: they are shown when they come, and
// not taken for the answers to the next method's commands.
void CFtpClient::EndMethod() {
    m_owed.abandon();
    m_objTimeOut->StopTimer();
    m_currentMethod = M::None;
    // A transfer that ended after the control connection had closed leaves
    // the session as the close left it.
    setSessionState(m_transfer.controlClosed ? S::Disconnected : S::Ready);
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

void CFtpClient::completeMethod(AsyncResultStatus status) {
    completeMethod(status, [] {});
}

// When the failure also ends the session, the control connection is closed
// before the completion event, so a handler that starts again from that
// event is not cut off by a close that comes after it.
void CFtpClient::failMethod(const Error& error, bool closeControl) {
    completeMethod(AsyncResultStatus::Failed, [&] {
        m_LastFtpError->set(error.number(), error.description(), error.source());
        if (closeControl)
            closeControlSocket();
    });
}

void CFtpClient::abandonTransfer() {
    CloseLocalFile();
    CloseDataConnection();
    m_listingText.clear();
}

// An unexpected reply ends the pending method with status 1.
void CFtpClient::RaiseFtpError(std::int16_t code, bool closeControlConnection) {
    try {
        // A code without a text of ours is described by the server's own words.
        std::string text = ftp::ReplyCodeText(code);
        if (text.empty())
            text = withoutLineEnd(m_LastServerResponse);
        failMethod(Error(ftp::errors::ReplyErrorNumber(code), ReplySource, text),
                   closeControlConnection);
    } catch (...) {
        rethrowFrom("RaiseFtpError");
    }
}

void CFtpClient::checkCanStart(const char* member) const {
    if (m_currentMethod != M::None)
        throw Error(BusyError, std::string("CFtpClient.") + member,
                    std::string("Cannot execute the ") + member + " method. " +
                        ftp::errors::BusyText);
}

// Arguments go onto the control connection as they are, so a line break
// inside one would end the command early and start another: refused, like
// an empty argument, before anything is sent.
void CFtpClient::checkArgument(const std::string& value, const char* member) {
    if (value.empty() || hasLineBreak(value))
        throw platform::invalidCallError(std::string("CFtpClient.") + member);
}

// --- simple commands ---------------------------------------------------------------

void CFtpClient::startSimpleMethod(FtpAsyncMethod method, const char* member, const char* verb,
                                   const std::string& argument) {
    StartMethod(
        method, member,
        [&] {
            if (method != M::GetCurrentDirectory)
                checkArgument(argument, member);
        },
        [&] { SendFtpCommand(verb, argument); });
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
    StartMethod(
        M::RenameFile, "RenameFile",
        [&] {
            checkArgument(strOldFileName, "RenameFile");
            checkArgument(strNewFileName, "RenameFile");
            m_pendingNewName = strNewFileName;
        },
        [&] { SendFtpCommand("RNFR", strOldFileName); });
}

// A QUIT (or nothing) pending ends without an event.
void CFtpClient::CancelAsyncMethod() {
    try {
        if (m_currentMethod == M::None || m_currentMethod == M::QuitSession) {
            EndMethod();
            return;
        }
        const bool transfer = DataTransferInProgress();
        completeMethod(AsyncResultStatus::Cancelled, [&] {
            if (transfer)
                abandonTransfer();
        });
    } catch (...) {
        rethrowFrom("CancelAsyncMethod");
    }
}

// The FTP client's steps into TLS: the control connection after the
// server's 234 to AUTH TLS, each data connection once it is up.
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"
#include "ftp/ftp_tls.h"

using namespace ftp::detail;

// Anything but 234 ends the connect: the session never goes on in clear
// once TLS was asked for, and nothing more is sent on it.
void CFtpClient::StartControlTls(std::int16_t code, const std::string& reply) {
    if (code != 234) {
        failMethod(platform::Error(TlsRefused, ReplySource,
                                   ftp::errors::TlsRefusedText + withoutLineEnd(reply)),
                   true);
        return;
    }
    // Whatever came after the 234 came in clear, from the server or from
    // anyone on the way: it is dropped unread, never taken for an answer
    // to a command that goes out protected.
    if (const std::size_t early = m_replies.size(); early != 0) {
        m_replies.clear();
        SessionProtocolMessage.raise("(" + std::to_string(early) +
                                         " bytes that came before the TLS handshake dropped)",
                                     static_cast<std::int32_t>(MessageType::ServerReply));
    }
    m_objControlSocket->StartSecure(
        ftp::tlsChannel(*m_tls, m_objControlSocket->SocketHandle(), ftp::TlsUse::Control));
    // Held back by the layer until the handshake is done; a failed
    // handshake or certificate check ends the connect with its reason.
    SendFtpCommand("USER", m_UserName);
}

void CFtpClient::StartDataTls() {
    if (!m_tls)
        return;
    CSocket& socket = m_data.socket();
    socket.StartSecure(ftp::tlsChannel(*m_tls, socket.SocketHandle(), ftp::TlsUse::Data));
}

std::string CFtpClient::TlsDescription() const {
    const auto secure = m_objControlSocket->Secure();
    return secure ? secure->description() : std::string();
}

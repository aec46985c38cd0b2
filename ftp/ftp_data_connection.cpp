// Data connections of the FTP client: passive (PASV, or EPSV over IPv6 and
// where PASV is refused) and active (PORT, or EPRT over IPv6), their set-up
// and tear-down. Data connections go only to, and are only taken from, the
// address of the server on the control connection.
#include "ftp/ftp_data_connection.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"

#include "platform/error.h"

#include <chrono>
#include <random>

using platform::Error;
using S = FtpSessionState;
using namespace ftp::detail;

namespace ftp {

void DataConnection::startTransfer() {
    ready = false;
    closed = false;
    failure.reset();
}

void DataConnection::connect(const std::string& server, std::int32_t port) {
    m_socket->CloseSocket();
    m_socket->setLocalPort(0);
    m_socket->Connect(server, port);
}

std::int32_t DataConnection::listen(const std::string& localIP, std::int32_t candidates,
                                    const std::function<std::int32_t()>& nextCandidate) {
    for (std::int32_t tried = 0; tried < candidates; ++tried) {
        const std::int32_t port = nextCandidate();
        try {
            drop();
            m_socket->Bind(port, localIP);
            m_socket->Listen();
            if (m_socket->State() == CSocket::StateListening)
                return port;
        } catch (const Error&) {
            // This candidate is taken; the next one is tried.
        }
    }
    drop();
    return 0;
}

bool DataConnection::fromServer(std::int32_t requestID, const std::string& server) {
    return !server.empty() && CSocket::RequestPeerAddress(requestID).ip == server;
}

void DataConnection::accept(std::int32_t requestID) {
    if (m_socket->State() != CSocket::StateClosed)
        m_socket->CloseSocket(); // the listener goes
    m_socket->Accept(requestID);
}

void DataConnection::abort() {
    if (m_socket->State() != CSocket::StateClosed)
        m_socket->Abort();
}

void DataConnection::drop() {
    m_socket->CloseNow();
}

void DataConnection::finishSending() {
    m_socket->CloseSocket();
}

} // namespace ftp

// Over IPv6 the data connection is announced the extended way (EPSV,
// EPRT), which does not name the address family's form of an address.
bool CFtpClient::ControlOverIPv6() const {
    return m_objControlSocket->PeerAddress().family == SocketAddress::IPv6;
}

void CFtpClient::OpenDataConnection() {
    m_pasvRefusal = 0;
    if (m_PassiveMode)
        SendFtpCommand(ControlOverIPv6() ? "EPSV" : "PASV", std::string());
    else
        SendPORTCommand();
}

void CFtpClient::CloseDataConnection() {
    try {
        m_data.abort();
    } catch (...) {
        rethrowFrom("CloseDataConnection");
    }
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

// Listens on the first free candidate port of the control connection's
// local address (the one the server reaches us by, and no other) and
// announces it with PORT. The search tries every candidate at most once.
void CFtpClient::SendPORTCommand() {
    try {
        setSessionState(S::OpeningDataConnection);
        const std::string local = m_objControlSocket->LocalIP();
        const std::int32_t port = m_data.listen(local, LastPortCandidate - FirstPortCandidate + 1,
                                                [this] { return GetFreePort(); });
        if (port == 0) {
            throw Error(NoFreePort, "CFtpClient.SendPORTCommand",
                        "No local port from " + std::to_string(FirstPortCandidate) + " to " +
                            std::to_string(LastPortCandidate) + " can be listened on.");
        }
        if (local.find(':') != std::string::npos) {
            SendFtpCommand("EPRT", ftp::ExtendedPortArgument(local, port));
            return;
        }
        std::string address = local;
        for (char& c : address)
            if (c == '.')
                c = ',';
        SendFtpCommand("PORT", address + "," + std::to_string(port / 256) + "," +
                                   std::to_string(port % 256));
    } catch (...) {
        rethrowFrom("SendPORTCommand");
    }
}

// Connects to the port a 227 (or 229) reply names, on the server's own
// address: the address in a 227 reply is not followed, so a server cannot send the client
// to another host, and a server behind a translating router that names an
// address the client cannot reach still works.
void CFtpClient::EstablishPasvDataConnection(const std::string& strReply) {
    try {
        setSessionState(S::OpeningDataConnection);
        std::string named;
        std::int32_t port = 0;
        if (m_lastCommand == ftp::Command::Epsv) {
            if (!ftp::ParseExtendedPassiveReply(strReply, port))
                throw Error(BadPassiveReply, "CFtpClient.EstablishPasvDataConnection",
                            "The server's extended passive-mode reply names no port: " +
                                withoutLineEnd(strReply));
        } else if (!ftp::ParsePassiveReply(strReply, named, port)) {
            throw Error(BadPassiveReply, "CFtpClient.EstablishPasvDataConnection",
                        "The server's passive-mode reply names no address: " +
                            withoutLineEnd(strReply));
        }
        const std::string server = m_objControlSocket->PeerAddress().ip;
        if (server.empty())
            throw Error(NotConnected, "CFtpClient.EstablishPasvDataConnection", NotConnectedText);
        m_data.connect(server, port);
    } catch (...) {
        rethrowFrom("EstablishPasvDataConnection");
    }
}

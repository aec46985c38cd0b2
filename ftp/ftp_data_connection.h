#pragma once

#include "net/socket.h"
#include "platform/error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ftp {

// The data connection of an FTP client: one socket, kept for the client's
// whole life and opened anew for each transfer, either passive (the client
// connects to the port the server names) or active (the client listens and
// the server connects), and only ever with the server at the other end of
// the control connection. It also keeps what the running transfer has seen
// of it.
class DataConnection {
public:
    DataConnection() : m_socket(CSocket::create()) {}

    CSocket& socket() const { return *m_socket; }
    // Lets the socket go (the end of the client).
    void release() { m_socket.reset(); }

    // A new transfer: what the last one saw of the connection is forgotten.
    void startTransfer();

    // Passive: connects to `port` of `server`, from any local port. The
    // connection is made later (the socket's OnConnect).
    void connect(const std::string& server, std::int32_t port);
    // Active: listens at `localIP` on the first port that `nextCandidate`
    // gives and that can be listened on, trying at most `candidates` of
    // them; returns that port, or 0 when none can (the socket is closed).
    std::int32_t listen(const std::string& localIP, std::int32_t candidates,
                        const std::function<std::int32_t()>& nextCandidate);
    // Whether the connection request `requestID` comes from `server`, the
    // address of the server on the control connection.
    static bool fromServer(std::int32_t requestID, const std::string& server);
    // Takes the server's connection in place of the listener.
    void accept(std::int32_t requestID);

    // Tears the connection down at once, both directions: no event follows
    // (a connected socket's close is otherwise graceful and would report
    // its end later, into whatever transfer runs by then).
    void abort();
    // Ends whatever is left of the last connection (for example the
    // graceful close after an upload) without any further event.
    void drop();
    // The graceful close after the last byte of an upload: it tells the
    // server that the file is complete.
    void finishSending();

    // The connection is up (connected, or the server's accepted).
    bool ready = false;
    // The server has closed it.
    bool closed = false;
    // It failed while the transfer command was still unanswered: the
    // server's reply, if it comes within the time-out, tells what
    // happened; this error stands if it does not.
    std::optional<platform::Error> failure;

private:
    std::shared_ptr<CSocket> m_socket;
};

} // namespace ftp

#pragma once

// The server side of TLS for scripted servers: a context with a test
// certificate, and one protected stream per connection, with blocking
// calls and time limits for the script's thread.

#include <chrono>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace ftptest {

class TestCertificate;

class ServerTls {
public:
    explicit ServerTls(const TestCertificate& certificate);
    ~ServerTls();
    ServerTls(const ServerTls&) = delete;
    ServerTls& operator=(const ServerTls&) = delete;

    ssl_ctx_st* context() const { return m_ctx; }

private:
    ssl_ctx_st* m_ctx = nullptr;
};

class TlsStream {
public:
    // Takes the client's handshake on the connected socket `fd` (which
    // stays the caller's), giving it `tickets` TLS 1.3 session tickets.
    TlsStream(const ServerTls& tls, int fd, int tickets);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    bool ok() const { return m_ok; }
    // The client resumed an earlier session.
    bool reused() const;
    // Plain bytes decrypted and not yet read.
    bool pending() const;
    bool write(const std::string& bytes);
    // > 0 bytes, 0 at the end of the stream, < 0 on failure.
    int read(char* data, int length);
    // Sends close_notify; the TCP connection stays as it is.
    void closeNotify();

private:
    ssl_st* m_ssl = nullptr;
    bool m_ok = false;
};

} // namespace ftptest

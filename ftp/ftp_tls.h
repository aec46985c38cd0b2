#pragma once

// The FTP client's TLS: one context per session, with the checks the user
// chose, and a security layer per connection (net/secure_channel.h). Data
// connections resume the TLS session of the control connection.

#include "net/secure_channel.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ftp {

// Failures of the TLS layer (handshake, certificate, records); the
// description is the reason, as "TLS: certificate has expired".
constexpr std::int32_t TlsFailed = 16013;
constexpr const char* TlsSource = "CFtpClient.Tls";

struct TlsSettings {
    std::string host;   // the name or address the user gave; the certificate must match it
    std::string caFile; // PEM certificates trusted instead of the system's store
    bool insecure = false;
};

class TlsContext {
public:
    // Throws platform::Error(TlsFailed) when the CA file cannot be read.
    static std::shared_ptr<TlsContext> create(const TlsSettings& settings);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    enum class Use { Control, Data };
    // A layer for the connection `socket` to the server. A data connection
    // resumes a TLS session the server gave one of this context's
    // connections, and its stream is complete only with the server's
    // close_notify: a bare TCP end fails its next read.
    std::shared_ptr<SecureChannel> channel(std::int32_t socket, Use use);

private:
    struct State;
    explicit TlsContext(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace ftp

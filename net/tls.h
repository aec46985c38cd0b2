#pragma once

// TLS clients on OpenSSL for any protocol over the socket object: a context
// with the checks the user chose and a security layer per connection
// (net/secure_channel.h) whose records go through the socket library.
// Nothing here knows a protocol: the caller names the error its failures
// carry and, per connection, whether it resumes a session and whether its
// stream is whole only with the peer's close_notify.

#include "net/secure_channel.h"

#include <cstdint>
#include <memory>
#include <string>

namespace net::tls {

struct Settings {
    std::string host;   // the name or address the peer's certificate must be for
    std::string caFile; // PEM certificates trusted instead of the system's store
    bool insecure = false;
    // Every failure is raised as platform::Error(errorNumber, errorSource,
    // "TLS: " + reason), except a failure of the socket under the layer,
    // which keeps the socket library's number and text.
    std::int32_t errorNumber = 0;
    std::string errorSource;
};

struct ChannelOptions {
    // Resumes a session the peer gave one of this context's connections.
    bool resume = false;
    // The stream is complete only with the peer's close_notify: a bare TCP
    // end fails the next read (before our own close_notify went out).
    bool strictEnd = false;
};

class Context {
public:
    // Throws the settings' error when the CA file cannot be read.
    static std::shared_ptr<Context> create(const Settings& settings);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // A layer for the connected socket `socket`; the caller starts it
    // with CSocket::StartSecure.
    std::shared_ptr<SecureChannel> channel(std::int32_t socket, const ChannelOptions& options);

private:
    struct State;
    explicit Context(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace net::tls

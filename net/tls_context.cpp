// A TLS client context: the checks fixed for it (trusted certificates, the
// peer's name or address), the sessions its connections share, and a
// channel per connection.

#include "net/tls.h"

#include "net/tls_channel.h"
#include "net/tls_sessions.h"
#include "platform/winsock.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace ws = platform::winsock;

namespace net::tls {

namespace {

void onInfo(const SSL* ssl, int where, int) {
    if (Channel* channel = Channel::of(ssl); channel && (where & SSL_CB_HANDSHAKE_DONE))
        channel->established();
}

int onNewSession(SSL* ssl, SSL_SESSION* session) {
    Channel* channel = Channel::of(ssl);
    if (!channel)
        return 0;
    channel->pool().add(session);
    return 1; // the pool holds the reference now
}

} // namespace

struct Context::State {
    SSL_CTX* ctx = nullptr;
    Settings settings;
    Failure failure;
    std::shared_ptr<SessionPool> sessions = std::make_shared<SessionPool>();
    ~State() { SSL_CTX_free(ctx); }
};

Context::Context(std::unique_ptr<State> state) : m_state(std::move(state)) {}
Context::~Context() = default;

std::shared_ptr<Context> Context::create(const Settings& settings) {
    auto state = std::make_unique<State>();
    state->settings = settings;
    state->failure = Failure{settings.errorNumber, settings.errorSource};
    ERR_clear_error();
    state->ctx = SSL_CTX_new(TLS_client_method());
    if (!state->ctx)
        state->failure.raise(nullptr, "no TLS context");
    SSL_CTX* ctx = state->ctx;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Partial writes: the socket object offers what is left of the same
    // buffer again, and only the records not taken yet.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, onNewSession);
    if (!settings.insecure) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        const bool loaded =
            settings.caFile.empty()
                ? SSL_CTX_set_default_verify_paths(ctx) == 1
                : SSL_CTX_load_verify_locations(ctx, settings.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            std::string text = "TLS: the trusted certificates cannot be read";
            if (!settings.caFile.empty())
                text += " from " + settings.caFile;
            std::string why = lastReason(nullptr, "no certificate");
            if (!settings.caFile.empty() && ::access(settings.caFile.c_str(), R_OK) != 0)
                why = std::strerror(errno);
            state->failure.raiseText(text + ": " + why);
        }
    }
    return std::shared_ptr<Context>(new Context(std::move(state)));
}

std::shared_ptr<SecureChannel> Context::channel(std::int32_t socket,
                                                const ChannelOptions& options) {
    const Failure& failure = m_state->failure;
    ERR_clear_error();
    SSL* ssl = SSL_new(m_state->ctx);
    if (!ssl)
        failure.raise(nullptr, "no TLS connection");
    auto channel =
        std::make_shared<Channel>(ssl, m_state->sessions, failure, socket, options.strictEnd);
    SSL_set_info_callback(ssl, onInfo);
    BIO* bio = BIO_new(socketMethod());
    if (!bio)
        failure.raise(nullptr, "no TLS connection");
    BIO_set_data(bio, channel->bioState());
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    // The name or address is checked against the certificate's
    // subjectAltName entries only: never its common name, and a wildcard
    // stands for a whole label or nothing.
    SSL_set_hostflags(ssl,
                      X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // A literal address (an IPv6 one perhaps in brackets) is checked in its
    // bare text form against the certificate's IP entries.
    const std::string& host = m_state->settings.host;
    if (ws::InetAddress address; ws::parseAddress(host, address)) {
        if (!m_state->settings.insecure &&
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl),
                                          ws::addressToText(address).c_str()) != 1)
            failure.raise(ssl, "the server's address cannot be checked");
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        if (!m_state->settings.insecure && SSL_set1_host(ssl, host.c_str()) != 1)
            failure.raise(ssl, "the server's name cannot be checked");
    }
    if (options.resume) {
        if (SSL_SESSION* session = m_state->sessions->take()) {
            SSL_set_session(ssl, session);
            SSL_SESSION_free(session);
        }
    }
    return channel;
}

} // namespace net::tls

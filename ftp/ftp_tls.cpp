// TLS for the FTP client on OpenSSL: a context per session and a security
// layer per connection whose records go through the socket library, so a
// record that cannot be read or written yet arms the same notification a
// plain read or write would.

#include "ftp/ftp_tls.h"

#include "net/socket_errors.h"
#include "platform/error.h"
#include "platform/winsock.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace ws = platform::winsock;

namespace ftp {

namespace {

// --- the socket library as an OpenSSL BIO ----------------------------------------

// What the BIO of one connection knows beyond the socket: whether the peer
// ended the TCP stream (so OpenSSL can tell a cut stream from a clean end)
// and whether its first bytes were anything but TLS records.
struct BioState {
    int socket = -1;
    bool eof = false;
    bool checked = false; // the first byte the peer sent has been looked at
    bool notTls = false;
};

BioState& stateOf(BIO* bio) {
    return *static_cast<BioState*>(BIO_get_data(bio));
}

// A TLS peer's first record is a handshake message or an alert. Anything
// else (a clear-text reply sent after 234, say) was not written by the
// TLS layer of the server and must not reach the handshake.
bool startsLikeTls(std::uint8_t first) {
    constexpr std::uint8_t Alert = 21, Handshake = 22;
    return first == Alert || first == Handshake;
}

int bioRead(BIO* bio, char* data, int length) {
    BioState& state = stateOf(bio);
    BIO_clear_retry_flags(bio);
    const int n = ws::recv(state.socket, data, length);
    if (n < 0 && ws::WSAGetLastError() == ws::WSAEWOULDBLOCK)
        BIO_set_retry_read(bio);
    if (n == 0)
        state.eof = true;
    if (n > 0 && !state.checked) {
        state.checked = true;
        if (!startsLikeTls(static_cast<std::uint8_t>(data[0]))) {
            state.notTls = true;
            return -1;
        }
    }
    return n;
}

int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const int n = ws::send(stateOf(bio).socket, data, length);
    if (n < 0 && ws::WSAGetLastError() == ws::WSAEWOULDBLOCK)
        BIO_set_retry_write(bio);
    return n;
}

// BIO_CTRL_EOF lets OpenSSL report a TCP end that came without close_notify.
long bioControl(BIO* bio, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return stateOf(bio).eof ? 1 : 0;
    default:
        return 0;
    }
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "mitu socket");
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_ctrl(m, bioControl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    return method;
}

// The reason of the last failure: the certificate check's if it failed,
// else OpenSSL's.
std::string reason(SSL* ssl, const char* otherwise) {
    if (ssl) {
        const long verified = SSL_get_verify_result(ssl);
        if ((SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) && verified != X509_V_OK)
            return X509_verify_cert_error_string(verified);
    }
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        const char* text = ERR_reason_error_string(code);
        if (text)
            return text;
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        return buffer;
    }
    return otherwise;
}

[[noreturn]] void fail(SSL* ssl, const char* otherwise) {
    std::string text = "TLS: " + reason(ssl, otherwise);
    ERR_clear_error();
    throw platform::Error(TlsFailed, TlsSource, text);
}

// A failure of the socket under the layer keeps the socket library's
// number and text, as it would without TLS.
[[noreturn]] void failSocket(SSL* ssl, const char* otherwise) {
    const int code = ws::WSAGetLastError();
    if (ERR_peek_error() == 0 && code != 0) {
        ERR_clear_error();
        throw platform::Error(code, TlsSource, GetErrorDescription(code));
    }
    fail(ssl, otherwise);
}

int sessionIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The sessions the server has given the connections of one FTP session,
// newest last. A TLS 1.3 ticket is good for one resumption only: a data
// connection takes one that no other connection has used, and the tickets
// it is given in turn serve the next ones. A TLS 1.2 session serves every
// connection.
class SessionPool {
public:
    // At most this many kept; a server sends a few per connection.
    static constexpr std::size_t Most = 8;

    ~SessionPool() {
        for (SSL_SESSION* s : m_sessions)
            SSL_SESSION_free(s);
    }
    void add(SSL_SESSION* session) {
        if (m_sessions.size() == Most) {
            SSL_SESSION_free(m_sessions.front());
            m_sessions.erase(m_sessions.begin());
        }
        m_sessions.push_back(session);
    }
    // The session for a new data connection, with a reference the caller
    // frees; nullptr when none is left to use (a full handshake follows).
    SSL_SESSION* take() {
        if (m_sessions.empty())
            return nullptr;
        SSL_SESSION* s = m_sessions.back();
        if (SSL_SESSION_get_protocol_version(s) < TLS1_3_VERSION) {
            SSL_SESSION_up_ref(s);
            return s;
        }
        m_sessions.pop_back();
        return s;
    }

private:
    std::vector<SSL_SESSION*> m_sessions;
};

constexpr const char* NotTlsText = "TLS: the server sent unexpected data before the TLS handshake";
constexpr const char* CutText = "TLS: the server ended the TLS stream without close_notify; the "
                                "transfer may be incomplete";

class TlsChannel : public SecureChannel {
public:
    // `strictEnd`: the stream is complete only with the peer's close_notify.
    TlsChannel(SSL* ssl, std::shared_ptr<SessionPool> pool, int socket, bool strictEnd)
        : m_ssl(ssl), m_pool(std::move(pool)), m_strictEnd(strictEnd) {
        m_bio.socket = socket;
    }
    ~TlsChannel() override { SSL_free(m_ssl); }

    SessionPool& pool() { return *m_pool; }
    BioState* bioState() { return &m_bio; }
    // The handshake has ended (a later failure does not undo this, as it
    // undoes SSL_is_init_finished).
    void established() { m_established = true; }

    bool handshake() override {
        ERR_clear_error();
        const int r = SSL_do_handshake(m_ssl);
        if (r == 1)
            return true;
        const int error = SSL_get_error(m_ssl, r);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return false;
        failed(error, "the handshake failed");
    }

    int read(std::uint8_t* data, int length) override {
        ERR_clear_error();
        m_readWantsWrite = false;
        const int r = SSL_read(m_ssl, data, length);
        if (r > 0)
            return r;
        const int error = SSL_get_error(m_ssl, r);
        switch (error) {
        case SSL_ERROR_ZERO_RETURN:
            // The peer's close_notify is answered with ours: servers wait
            // for it before they confirm a transfer.
            close();
            return 0;
        case SSL_ERROR_WANT_WRITE:
            m_readWantsWrite = true;
            return -1;
        case SSL_ERROR_WANT_READ:
            return -1;
        default:
            if (m_bio.eof && !m_bio.notTls && m_established) {
                // The TCP stream ended without close_notify: a cut stream
                // where only close_notify tells that nothing is missing,
                // and after our own close_notify simply the end.
                ERR_clear_error();
                if (m_strictEnd && !m_closed)
                    throw platform::Error(TlsFailed, TlsSource, CutText);
                return 0;
            }
            failed(error, "reading failed");
        }
    }

    int write(const std::uint8_t* data, int length) override {
        m_writeWantsRead = false;
        int total = 0;
        // With partial writes each call takes at most one record.
        while (total < length) {
            ERR_clear_error();
            const int r = SSL_write(m_ssl, data + total, length - total);
            if (r > 0) {
                total += r;
                continue;
            }
            const int error = SSL_get_error(m_ssl, r);
            switch (error) {
            case SSL_ERROR_WANT_READ:
                m_writeWantsRead = true;
                return total > 0 ? total : -1;
            case SSL_ERROR_WANT_WRITE:
                return total > 0 ? total : -1;
            default:
                failed(error, "writing failed");
            }
        }
        return total;
    }

    bool pending() const override { return SSL_pending(m_ssl) > 0; }
    bool readWantsWrite() const override { return m_readWantsWrite; }
    bool writeWantsRead() const override { return m_writeWantsRead; }

    bool close() override {
        if (m_closed)
            return true;
        if (!SSL_is_init_finished(m_ssl))
            return false;
        m_closed = true;
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
        return true;
    }

    std::string description() const override {
        if (!SSL_is_init_finished(m_ssl))
            return std::string();
        return std::string(SSL_get_version(m_ssl)) + " " + SSL_get_cipher_name(m_ssl);
    }

private:
    // Throws the failure that SSL_get_error reported as `error`.
    [[noreturn]] void failed(int error, const char* otherwise) {
        if (m_bio.notTls) {
            ERR_clear_error();
            throw platform::Error(TlsFailed, TlsSource, NotTlsText);
        }
        if (error == SSL_ERROR_SYSCALL)
            failSocket(m_ssl, otherwise);
        fail(m_ssl, otherwise);
    }

    SSL* m_ssl;
    std::shared_ptr<SessionPool> m_pool;
    BioState m_bio;
    bool m_strictEnd;
    bool m_established = false;
    bool m_readWantsWrite = false;
    bool m_writeWantsRead = false;
    bool m_closed = false;
};

void onInfo(const SSL* ssl, int where, int) {
    auto* channel = static_cast<TlsChannel*>(SSL_get_ex_data(ssl, sessionIndex()));
    if (channel && (where & SSL_CB_HANDSHAKE_DONE))
        channel->established();
}

int onNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* channel = static_cast<TlsChannel*>(SSL_get_ex_data(ssl, sessionIndex()));
    if (!channel)
        return 0;
    channel->pool().add(session);
    return 1; // the pool holds the reference now
}

bool isAddress(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

} // namespace

struct TlsContext::State {
    SSL_CTX* ctx = nullptr;
    TlsSettings settings;
    std::shared_ptr<SessionPool> sessions = std::make_shared<SessionPool>();
    ~State() { SSL_CTX_free(ctx); }
};

TlsContext::TlsContext(std::unique_ptr<State> state) : m_state(std::move(state)) {}
TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::create(const TlsSettings& settings) {
    auto state = std::make_unique<State>();
    state->settings = settings;
    ERR_clear_error();
    state->ctx = SSL_CTX_new(TLS_client_method());
    if (!state->ctx)
        fail(nullptr, "no TLS context");
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
            std::string why = reason(nullptr, "no certificate");
            if (!settings.caFile.empty()) {
                text += " from " + settings.caFile;
                if (::access(settings.caFile.c_str(), R_OK) != 0)
                    why = std::strerror(errno);
            }
            text += ": " + why;
            ERR_clear_error();
            throw platform::Error(TlsFailed, TlsSource, text);
        }
    }
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(state)));
}

std::shared_ptr<SecureChannel> TlsContext::channel(std::int32_t socket, Use use) {
    ERR_clear_error();
    SSL* ssl = SSL_new(m_state->ctx);
    if (!ssl)
        fail(nullptr, "no TLS connection");
    auto channel = std::make_shared<TlsChannel>(ssl, m_state->sessions, socket, use == Use::Data);
    SSL_set_ex_data(ssl, sessionIndex(), channel.get());
    SSL_set_info_callback(ssl, onInfo);
    BIO* bio = BIO_new(socketMethod());
    if (!bio)
        fail(nullptr, "no TLS connection");
    BIO_set_data(bio, channel->bioState());
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    // The name or address is checked against the certificate's
    // subjectAltName entries only: never its common name, and a wildcard
    // stands for a whole label or nothing.
    SSL_set_hostflags(ssl,
                      X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // An IPv6 address may come in brackets ("[::1]"); the check wants it bare.
    std::string host = m_state->settings.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (isAddress(host)) {
        if (!m_state->settings.insecure &&
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) != 1)
            fail(ssl, "the server's address cannot be checked");
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        if (!m_state->settings.insecure && SSL_set1_host(ssl, host.c_str()) != 1)
            fail(ssl, "the server's name cannot be checked");
    }
    if (use == Use::Data) {
        if (SSL_SESSION* session = m_state->sessions->take()) {
            SSL_set_session(ssl, session);
            SSL_SESSION_free(session);
        }
    }
    return channel;
}

} // namespace ftp

// One TLS connection: the BIO over the socket library, the security layer
// the socket object drives, and how its failures are raised.

#include "net/tls_channel.h"

#include "net/socket_errors.h"
#include "platform/error.h"
#include "platform/winsock.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace ws = platform::winsock;

namespace net::tls {

namespace {

constexpr const char* NotTlsText = "TLS: the server sent unexpected data before the TLS handshake";
constexpr const char* CutText = "TLS: the server ended the TLS stream without close_notify; the "
                                "transfer may be incomplete";

// --- the socket library as an OpenSSL BIO ----------------------------------------

BioState& stateOf(BIO* bio) {
    return *static_cast<BioState*>(BIO_get_data(bio));
}

// A TLS peer's first record is a handshake message or an alert. Anything
// else (a clear-text reply sent after a protocol's "go ahead", say) was not
// written by the peer's TLS layer and must not reach the handshake.
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

} // namespace

std::string lastReason(SSL* ssl, const char* otherwise) {
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

namespace {

int channelIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

} // namespace

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

// --- failures --------------------------------------------------------------------

void Failure::raise(SSL* ssl, const char* otherwise) const {
    raiseText("TLS: " + lastReason(ssl, otherwise));
}

void Failure::raiseSocket(SSL* ssl, const char* otherwise) const {
    const int code = ws::WSAGetLastError();
    if (ERR_peek_error() == 0 && code != 0) {
        ERR_clear_error();
        throw platform::Error(code, source, GetErrorDescription(code));
    }
    raise(ssl, otherwise);
}

void Failure::raiseText(const std::string& text) const {
    ERR_clear_error();
    throw platform::Error(number, source, text);
}

// --- the channel -------------------------------------------------------------------

Channel::Channel(SSL* ssl, std::shared_ptr<SessionPool> pool, Failure failure, int socket,
                 bool strictEnd)
    : m_ssl(ssl), m_pool(std::move(pool)), m_failure(std::move(failure)), m_strictEnd(strictEnd) {
    m_bio.socket = socket;
    SSL_set_ex_data(m_ssl, channelIndex(), this);
}

Channel::~Channel() {
    SSL_free(m_ssl);
}

Channel* Channel::of(const SSL* ssl) {
    return static_cast<Channel*>(SSL_get_ex_data(ssl, channelIndex()));
}

bool Channel::handshake() {
    ERR_clear_error();
    const int r = SSL_do_handshake(m_ssl);
    if (r == 1)
        return true;
    const int error = SSL_get_error(m_ssl, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return false;
    failed(error, "the handshake failed");
}

int Channel::read(std::uint8_t* data, int length) {
    ERR_clear_error();
    m_readWantsWrite = false;
    const int r = SSL_read(m_ssl, data, length);
    if (r > 0)
        return r;
    const int error = SSL_get_error(m_ssl, r);
    switch (error) {
    case SSL_ERROR_ZERO_RETURN:
        // The peer's close_notify is answered with ours: servers wait for
        // it before they confirm what was sent.
        close();
        return 0;
    case SSL_ERROR_WANT_WRITE:
        m_readWantsWrite = true;
        return -1;
    case SSL_ERROR_WANT_READ:
        return -1;
    default:
        if (m_bio.eof && !m_bio.notTls && m_established) {
            // The TCP stream ended without close_notify: a cut stream where
            // only close_notify tells that nothing is missing, and after
            // our own close_notify simply the end.
            ERR_clear_error();
            if (m_strictEnd && !m_closed)
                m_failure.raiseText(CutText);
            return 0;
        }
        failed(error, "reading failed");
    }
}

int Channel::write(const std::uint8_t* data, int length) {
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

bool Channel::pending() const {
    return SSL_pending(m_ssl) > 0;
}

bool Channel::close() {
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

std::string Channel::description() const {
    if (!SSL_is_init_finished(m_ssl))
        return std::string();
    return std::string(SSL_get_version(m_ssl)) + " " + SSL_get_cipher_name(m_ssl);
}

void Channel::failed(int error, const char* otherwise) {
    if (m_bio.notTls)
        m_failure.raiseText(NotTlsText);
    if (error == SSL_ERROR_SYSCALL)
        m_failure.raiseSocket(m_ssl, otherwise);
    m_failure.raise(m_ssl, otherwise);
}

} // namespace net::tls

#include "ftp_test_tls.h"

#include "ftp_test_servers.h"

#include <openssl/ssl.h>
#include <stdexcept>
#include <sys/socket.h>

namespace ftptest {

ServerTls::ServerTls(const TestCertificate& certificate) {
    m_ctx = SSL_CTX_new(TLS_server_method());
    if (!m_ctx || SSL_CTX_use_certificate_chain_file(m_ctx, certificate.cert().c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_ctx, certificate.key().c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("no server TLS context");
    SSL_CTX_set_mode(m_ctx, SSL_MODE_AUTO_RETRY);
}

ServerTls::~ServerTls() {
    SSL_CTX_free(m_ctx);
}

TlsStream::TlsStream(const ServerTls& tls, int fd, int tickets) {
    // A client that never takes part ends the wait for it, as every wait
    // of a script ends.
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    m_ssl = SSL_new(tls.context());
    SSL_set_fd(m_ssl, fd);
    SSL_set_num_tickets(m_ssl, static_cast<std::size_t>(tickets));
    m_ok = SSL_accept(m_ssl) == 1;
}

TlsStream::~TlsStream() {
    SSL_free(m_ssl);
}

bool TlsStream::reused() const {
    return SSL_session_reused(m_ssl) == 1;
}

bool TlsStream::pending() const {
    return SSL_pending(m_ssl) > 0;
}

bool TlsStream::write(const std::string& bytes) {
    return bytes.empty() || SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
}

int TlsStream::read(char* data, int length) {
    const int n = SSL_read(m_ssl, data, length);
    if (n > 0)
        return n;
    return SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

void TlsStream::closeNotify() {
    SSL_shutdown(m_ssl);
}

} // namespace ftptest

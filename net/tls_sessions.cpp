// The session pool of a TLS context.

#include "net/tls_sessions.h"

namespace net::tls {

SessionPool::~SessionPool() {
    for (SSL_SESSION* s : m_sessions)
        SSL_SESSION_free(s);
}

void SessionPool::add(SSL_SESSION* session) {
    if (m_sessions.size() == Most) {
        SSL_SESSION_free(m_sessions.front());
        m_sessions.erase(m_sessions.begin());
    }
    m_sessions.push_back(session);
}

SSL_SESSION* SessionPool::take() {
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

} // namespace net::tls

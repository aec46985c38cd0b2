// The FTP client's TLS policy.

#include "ftp/ftp_tls.h"

namespace ftp {

std::shared_ptr<net::tls::Context> makeTlsContext(const std::string& host,
                                                  const std::string& caFile, bool insecure) {
    return net::tls::Context::create({host, caFile, insecure, TlsFailed, TlsSource});
}

// A data connection resumes, as servers commonly require of it, and its
// end must be the server's close_notify: a bare TCP end may be a cut
// transfer. The control connection's bare end is simply the end of the
// session.
std::shared_ptr<SecureChannel> tlsChannel(net::tls::Context& context, std::int32_t socket,
                                          TlsUse use) {
    const bool data = use == TlsUse::Data;
    return context.channel(socket, {data, data});
}

} // namespace ftp

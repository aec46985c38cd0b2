#pragma once

// The FTP client's TLS policy over the TLS of net/: failures are its error
// 16013, one context per session with the checks the user chose, and each
// data connection resumes a session of the control connection's context
// and is whole only with the server's close_notify.

#include "ftp/ftp_errors.h"
#include "net/tls.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ftp {

// Failures of the TLS layer (handshake, certificate, records) are
// errors::TlsFailed; the description is the reason, as "TLS: certificate
// has expired".
using errors::TlsFailed;
constexpr const char* TlsSource = "CFtpClient.Tls";

// Throws platform::Error(TlsFailed) when the CA file cannot be read.
std::shared_ptr<net::tls::Context> makeTlsContext(const std::string& host,
                                                  const std::string& caFile, bool insecure);

enum class TlsUse { Control, Data };
std::shared_ptr<SecureChannel> tlsChannel(net::tls::Context& context, std::int32_t socket,
                                          TlsUse use);

} // namespace ftp

#pragma once

// What the FTP client's source files share and nobody else needs: the
// names of its error numbers and texts (ftp/ftp_errors.h), the error
// record of a caught exception, and small text helpers.

#include "ftp/ftp_errors.h"
#include "platform/error.h"

#include <cstdint>
#include <string>

namespace ftp::detail {

using ftp::errors::BusyError;
using ftp::errors::NoDirectory;
using ftp::errors::NoDirectoryText;
using ftp::errors::NotConnected;
using ftp::errors::NotConnectedText;
using ftp::errors::ReplySource;
constexpr const char* DispatcherSource = "CFtpClient.m_objControlSocket_OnDataArrival";

// Errors of the local file.
using platform::errors::DeviceIoError;
using platform::errors::FileNotFound;
using platform::errors::PathFileAccessError;

// The error as a record, whatever was thrown. Call from a catch block.
using platform::currentError;

// "what path: the system's reason".
platform::Error fileError(std::int32_t number, const std::string& source, const std::string& what,
                          const std::string& path, int error);

// The text without the line ends at its end.
std::string withoutLineEnd(std::string text);

bool hasLineBreak(const std::string& text);

} // namespace ftp::detail

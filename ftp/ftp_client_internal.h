#pragma once

// What the FTP client's source files share and nobody else needs: error
// numbers and texts of its own, and the error record of a caught exception.

#include "platform/error.h"

#include <cstdint>
#include <string>

namespace ftp::detail {

constexpr std::int32_t NotConnected = 16008;
constexpr const char* NotConnectedText = "The connection is not established.";
constexpr std::int32_t BusyError = 16007;
constexpr std::int32_t NoDirectory = 16001;
constexpr const char* NoDirectoryText =
    "Cannot retrieve the current directory path. Unexpected server response.";
constexpr const char* ReplySource = "Brindle.CFtpClient";
constexpr const char* DispatcherSource = "CFtpClient.m_objControlSocket_OnDataArrival";

// Errors of the local file.
constexpr std::int32_t FileNotFound = 53;
constexpr std::int32_t DeviceIoError = 57;
constexpr std::int32_t PathFileAccessError = 75;

// The error as a record, whatever was thrown. Call from a catch block.
platform::Error currentError();

// "what path: the system's reason".
platform::Error fileError(std::int32_t number, const std::string& source, const std::string& what,
                          const std::string& path, int error);

// The text without the line ends at its end.
std::string withoutLineEnd(std::string text);

bool hasLineBreak(const std::string& text);

} // namespace ftp::detail

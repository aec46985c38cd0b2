#pragma once

#include <cstdint>
#include <string>

// The English sentence for a socket-library error code; "Unknown error."
// for codes it does not know. Never fails.
std::string GetErrorDescription(std::int32_t code);

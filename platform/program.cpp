#include "platform/program.h"

#include <filesystem>
#include <system_error>

namespace platform {

namespace {
std::filesystem::path executable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}
} // namespace

std::string programName() {
    return executable().stem().string();
}

std::string programFolder() {
    return executable().parent_path().string();
}

} // namespace platform

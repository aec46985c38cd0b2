#include "platform/program.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {
std::filesystem::path executable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

bool buildTree(const std::string& folder) {
    std::error_code error;
    return !folder.empty() &&
           std::filesystem::is_regular_file(std::filesystem::path(folder) / BuildTreeMarker, error);
}

// The home folder from the password database, for a process started
// without HOME.
std::string accountHome() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "";
}
} // namespace

std::string programName() {
    return executable().stem().string();
}

std::string programFolder() {
    return executable().parent_path().string();
}

std::string localFileFolderFor(const std::string& programFolder, const char* xdgDataHome,
                               const char* home) {
    if (buildTree(programFolder))
        return programFolder;

    // A relative XDG_DATA_HOME is invalid and ignored, as is an empty one.
    std::filesystem::path dataHome;
    if (xdgDataHome && xdgDataHome[0] == '/') {
        dataHome = xdgDataHome;
    } else {
        std::string homeFolder = home && home[0] == '/' ? std::string(home) : accountHome();
        if (homeFolder.empty())
            return programFolder; // nowhere better: the download will report the failure
        dataHome = std::filesystem::path(homeFolder) / ".local" / "share";
    }
    std::filesystem::path folder = dataHome / "mitu";
    // A folder that cannot be made shows later, as a download that fails.
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder.lexically_normal().string();
}

std::string localFileFolder() {
    return localFileFolderFor(programFolder(), std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

} // namespace platform

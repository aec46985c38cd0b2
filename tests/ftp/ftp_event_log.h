#pragma once

#include "ftp/ftp_client.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ftptest {

// Records what a client raises, in order.
struct EventLog {
    std::vector<std::int32_t> states;
    // Completion events as "OnConnect 0", "OnRenameFile 3", ...
    std::vector<std::string> completions;
    // Protocol lines as "> USER anonymous" (sent) or "< 230 Welcome" / "! 550 No" (received).
    std::vector<std::string> protocol;

    explicit EventLog(CFtpClient& client) {
        client.OnStateChange.subscribe([this](std::int32_t s) { states.push_back(s); });
        client.SessionProtocolMessage.subscribe([this](std::string text, std::int32_t type) {
            protocol.push_back((type == 0 ? "> " : type == 1 ? "< " : "! ") + text);
        });
        watch(client.OnConnect, "OnConnect");
        watch(client.OnCreateDirectory, "OnCreateDirectory");
        watch(client.OnDeleteFile, "OnDeleteFile");
        watch(client.OnGetCurrentDirectory, "OnGetCurrentDirectory");
        watch(client.OnSetCurrentDirectory, "OnSetCurrentDirectory");
        watch(client.OnRemoveDirectory, "OnRemoveDirectory");
        watch(client.OnRenameFile, "OnRenameFile");
        watch(client.OnDownloadFile, "OnDownloadFile");
        watch(client.OnUploadFile, "OnUploadFile");
        watch(client.OnEnumFiles, "OnEnumFiles");
        watch(client.OnQuitSession, "OnQuitSession");
    }

    std::size_t count() const { return completions.size(); }
    std::string last() const { return completions.empty() ? std::string() : completions.back(); }
    void clear() {
        states.clear();
        completions.clear();
        protocol.clear();
    }

private:
    void watch(platform::Event<std::int32_t>& event, std::string name) {
        event.subscribe([this, name](std::int32_t status) {
            completions.push_back(name + " " + std::to_string(status));
        });
    }
};

} // namespace ftptest

#include "checks/bandwidth_test.h"

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/terminal_text.h"

#include <algorithm>
#include <cstdio>

namespace BandwidthTest {

namespace {

// The step names of a Failure.
constexpr const char* ConnectStep = "connect";
constexpr const char* DownloadStep = "download";
constexpr const char* UploadStep = "upload";

constexpr std::int32_t MillisecondsPerTick = 100; // of Timer3

} // namespace

void Controls::yieldToMessageLoop() {
    platform::EventLoop::instance().yield();
}

std::string DownloadVerdict(std::int32_t uploadTime) {
    // The tests run in this order and the last one that holds decides.
    std::string label;
    if (uploadTime > 30)
        label = "Download adequate: ";
    if (uploadTime > 60)
        label = "Download unsuccessful or to poor to qualify: ";
    if (uploadTime < 31)
        label = "Download Excellent: ";
    return label + std::to_string(uploadTime * MillisecondsPerTick) + " ms";
}

std::string UploadVerdict(std::int32_t uploadTime) {
    std::string label;
    if (uploadTime > 60)
        label = "Upload adequate: ";
    if (uploadTime > 120)
        label = "Upload unsuccessful or to poor to qualify: ";
    if (uploadTime < 61)
        label = "Upload Excellent: ";
    return label + std::to_string(uploadTime * MillisecondsPerTick) + " ms";
}

bool Qualifies(const std::string& verdictLine) {
    return verdictLine.find("unsuccessful or to poor to qualify") == std::string::npos;
}

std::optional<double> Throughput::megabitsPerSecond() const {
    if (seconds <= 0)
        return std::nullopt;
    return static_cast<double>(bytes) * 8 / seconds / 1e6;
}

std::string RateText(const Throughput& throughput) {
    const auto rate = throughput.megabitsPerSecond();
    if (!rate)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%.2f Mbit/s", *rate);
    return text;
}

std::shared_ptr<Test> Test::create(Controls& controls, Clock& timer3, Clock& timer4,
                                   Settings settings) {
    return std::shared_ptr<Test>(new Test(controls, timer3, timer4, std::move(settings)));
}

Test::Test(Controls& controls, Clock& timer3, Clock& timer4, Settings settings)
    : m_controls(controls), m_timer3(timer3), m_timer4(timer4), m_settings(std::move(settings)) {}

std::string Test::localFile() const {
    return m_settings.folder + "/" + LocalFileName;
}

void Test::Activate() {
    std::shared_ptr<CFtpClient> client;
    try {
        client = CFtpClient::create();
    } catch (const platform::Error& error) {
        // No socket library: the click will report that it cannot connect.
        m_activationError = error;
        m_objFtpClient.reset();
        return;
    }
    // Events count only while they come from the client the running click
    // uses; a replaced client's late events change nothing.
    std::weak_ptr<Test> weak = weak_from_this();
    const CFtpClient* source = client.get();
    auto fromClickClient = [weak, source]() -> std::shared_ptr<Test> {
        auto test = weak.lock();
        return test && test->m_clickClient.get() == source ? test : nullptr;
    };
    client->OnConnect.subscribe([fromClickClient](std::int32_t status) {
        if (auto test = fromClickClient())
            test->m_objFtpClient_OnConnect(status);
    });
    client->OnDownloadFile.subscribe([fromClickClient](std::int32_t status) {
        if (auto test = fromClickClient())
            test->m_objFtpClient_OnDownloadFile(status);
    });
    client->OnUploadFile.subscribe([fromClickClient](std::int32_t status) {
        if (auto test = fromClickClient())
            test->m_objFtpClient_OnUploadFile(status);
    });
    client->OnDataTransferProgress.subscribe([fromClickClient](std::int64_t bytes) {
        if (auto test = fromClickClient())
            test->m_objFtpClient_OnDataTransferProgress(bytes);
    });
    m_objFtpClient = std::move(client);
}

void Test::m_objFtpClient_OnConnect(std::int32_t status) {
    completed(status);
}
void Test::m_objFtpClient_OnDownloadFile(std::int32_t status) {
    completed(status);
}
void Test::m_objFtpClient_OnUploadFile(std::int32_t status) {
    completed(status);
}

void Test::completed(std::int32_t status) {
    m_ended = std::chrono::steady_clock::now();
    m_lastStatus = status;
    FTPConnected = 1;
}

void Test::m_objFtpClient_OnDataTransferProgress(std::int64_t lngBytesTransferred) {
    const auto now = std::chrono::steady_clock::now();
    if (!m_firstByte)
        m_firstByte = now;
    m_lastByte = now;
    m_bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(lngBytesTransferred, 0));
    TotalBytes = lngBytesTransferred;
    m_controls.setProgress(std::to_string(TotalBytes) + " bytes transferred");
}

void Test::Timer3_Timer(const std::function<void()>& yieldPass) {
    if (yieldPass)
        yieldPass();
    ++UploadTime;
    if (yieldPass)
        yieldPass();
}

bool Test::Wait(std::int32_t limit) {
    while (FTPConnected != 1) {
        m_controls.yieldToMessageLoop();
        if (ct > limit || m_controls.closed())
            return false;
    }
    return true;
}

bool Test::Transfer(const std::function<void()>& start, const char* step,
                    const char* failureMessage, std::optional<Throughput>& figures) {
    m_firstByte.reset();
    m_bytes = 0;
    m_controls.setProgress(std::string("Waiting for the ") + step + "...");
    try {
        start();
    } catch (const platform::Error& error) {
        Fail(step, failureMessage, true, &error);
        return false;
    }
    FTPConnected = 0; // only now: the completion event never comes inside the call
    ct = 0;
    m_timer4.start();
    if (!Wait(TransferLimit)) {
        Fail(step, failureMessage, true, nullptr, TransferLimit);
        return false;
    }
    if (m_lastStatus != static_cast<std::int32_t>(AsyncResultStatus::Succeeded)) {
        Fail(step, failureMessage, true);
        return false;
    }
    m_timer4.stop();
    m_timer3.stop();
    // An upload has arrived once the server confirms it; a download once
    // its last byte is in.
    Throughput moved;
    moved.bytes = m_bytes;
    if (m_firstByte) {
        const TimePoint end = step == std::string(UploadStep) ? m_ended : m_lastByte;
        moved.seconds = std::chrono::duration<double>(end - *m_firstByte).count();
    }
    figures = moved;
    std::string status = std::to_string(TotalBytes) + " bytes transferred";
    if (const std::string rate = RateText(moved); !rate.empty())
        status += ", " + rate;
    m_controls.setProgress(status);
    return true;
}

std::string FailureCause(std::optional<std::int32_t> number, const std::string& description) {
    const std::string shown = platform::terminalText(description);
    return number ? "error " + std::to_string(*number) + ": " + shown : shown;
}

void Test::Fail(const char* step, const char* message, bool closeConnection,
                const platform::Error* raised, std::int32_t limit) {
    // Why the step failed, before closing the connection can change it.
    Failure failure{step, std::nullopt, {}};
    const auto status = static_cast<AsyncResultStatus>(m_lastStatus);
    if (raised) {
        failure.number = raised->number();
        failure.description = raised->description();
    } else if (!m_clickClient && m_activationError) {
        failure.number = m_activationError->number();
        failure.description = m_activationError->description();
    } else if (auto error = m_clickClient ? m_clickClient->LastFtpError() : nullptr;
               !limit && error && error->Number() != 0) {
        failure.number = error->Number();
        failure.description = error->Description();
    } else if (limit) {
        failure.description = "the step did not end within " + std::to_string(limit) + " s";
    } else if (status == AsyncResultStatus::TimedOut) {
        failure.description =
            "the server did not answer within " + std::to_string(FtpTimeOut) + " s";
    } else if (status == AsyncResultStatus::Cancelled) {
        failure.description = "the step was cancelled";
    } else {
        failure.description = "the FTP client gave no reason";
    }
    m_failure = failure;
    if (!m_controls.closed())
        m_controls.showMessage(std::string(message) + ": " +
                               FailureCause(failure.number, failure.description));
    ct = 0;
    if (closeConnection && m_clickClient) {
        try {
            m_clickClient->CloseControlConnection();
        } catch (const platform::Error&) {
        }
    }
    m_controls.setButtonEnabled(true);
}

void Test::appendResult(const std::string& line) {
    m_controls.setResults(m_controls.results() + line + "\r\n\r\n");
}

void Test::Command4_Click() {
    if (m_running)
        return;
    m_running = true;
    struct Running {
        Test& test;
        ~Running() {
            test.m_running = false;
            test.m_clickClient.reset();
        }
    } running{*this};
    // The click holds the test and the client it starts with until it ends.
    auto self = shared_from_this();

    // A step ends the test when it cannot be started, when it does not end
    // within its limit, or when it ends with anything but success: the
    // test never rates a transfer that failed.
    try {
        m_failure.reset();
        m_downloaded.reset();
        m_uploaded.reset();
        m_lastStatus = 0;
        m_controls.setResults("");
        m_controls.setProgress("");
        TotalBytes = 0;
        m_controls.setButtonEnabled(false);

        // No client yet where the window was never activated (or the last
        // attempt to make one failed): the click makes its own.
        if (!m_objFtpClient)
            Activate();
        m_clickClient = m_objFtpClient;
        if (!m_clickClient) {
            Fail(ConnectStep, UnableToConnect, false);
            return;
        }
        CFtpClient& client = *m_clickClient;
        try {
            client.setPassiveMode(true);
            client.setFtpServer(m_settings.ftpServer);
            client.setRemotePort(m_settings.ftpPort);
            client.setUserName(m_settings.ftpUser);
            client.setPassword(m_settings.ftpPassword);
            client.setTimeOut(FtpTimeOut);
            m_controls.setProgress("Connecting to " + m_settings.ftpServer + "...");
            client.Connect();
        } catch (const platform::Error& error) {
            Fail(ConnectStep, UnableToConnect, true, &error);
            return;
        }
        UploadTime = 0;
        FTPConnected = 0;
        ct = 0;
        m_timer4.start();
        if (!Wait(ConnectLimit)) {
            Fail(ConnectStep, UnableToConnect, m_controls.closed(), nullptr, ConnectLimit);
            return;
        }
        if (m_lastStatus != static_cast<std::int32_t>(AsyncResultStatus::Succeeded)) {
            Fail(ConnectStep, UnableToConnect, true);
            return;
        }

        m_timer4.stop();
        UploadTime = 0;
        m_timer3.start();
        if (!Transfer([&] { client.DownloadFile(RemoteDownloadFile, localFile(), true); },
                      DownloadStep, UnableToDownload, m_downloaded))
            return;
        appendResult(DownloadVerdict(UploadTime));

        TotalBytes = 0;
        UploadTime = 0; // the upload is rated on its own time
        m_timer3.start();
        if (!Transfer([&] { client.UploadFile(localFile(), RemoteUploadFile, 0); }, UploadStep,
                      UnableToUpload, m_uploaded))
            return;
        appendResult(UploadVerdict(UploadTime));

        try {
            client.CloseControlConnection();
        } catch (const platform::Error&) {
        }
        m_controls.setButtonEnabled(true);
    } catch (...) {
        // Nothing may escape into the window's loop, and the button must
        // never stay disabled.
        m_controls.setButtonEnabled(true);
    }
}

} // namespace BandwidthTest

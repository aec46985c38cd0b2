#include "app/bandwidth_test.h"

#include "platform/error.h"
#include "platform/event_loop.h"

namespace BandwidthTest {

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
    return label + std::to_string(uploadTime) + " ms";
}

std::string UploadVerdict(std::int32_t uploadTime) {
    std::string label;
    if (uploadTime > 60)
        label = "Upload adequate: ";
    if (uploadTime > 120)
        label = "Upload unsuccessful or to poor to qualify: ";
    if (uploadTime < 61)
        label = "Upload Excellent: ";
    return label + std::to_string(uploadTime) + " ms";
}

bool Qualifies(const std::string& verdictLine) {
    return verdictLine.find("unsuccessful or to poor to qualify") == std::string::npos;
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
    } catch (const platform::Error&) {
        // No socket library: the click will report that it cannot connect.
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
    m_lastStatus = status;
    FTPConnected = 1;
}

void Test::m_objFtpClient_OnDataTransferProgress(std::int64_t lngBytesTransferred) {
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

bool Test::Transfer(const std::function<void()>& start, const char* failureMessage) {
    try {
        start();
    } catch (const platform::Error& error) {
        Fail(failureMessage, true, &error);
        return false;
    }
    FTPConnected = 0; // only now: the completion event never comes inside the call
    ct = 0;
    m_timer4.start();
    if (!Wait(TransferLimit) ||
        m_lastStatus != static_cast<std::int32_t>(AsyncResultStatus::Succeeded)) {
        Fail(failureMessage, true);
        return false;
    }
    m_timer4.stop();
    m_timer3.stop();
    return true;
}

std::string FailureCause(std::int32_t number, const std::string& description) {
    return "error " + std::to_string(number) + ": " + description;
}

void Test::Fail(const char* message, bool closeConnection, const platform::Error* raised) {
    // Why the step failed, before closing the connection can change it:
    // the error the call raised, else what the client's last method left.
    if (raised) {
        m_failureCause = FailureCause(raised->number(), raised->description());
    } else if (m_clickClient) {
        if (auto error = m_clickClient->LastFtpError(); error && error->Number() != 0)
            m_failureCause = FailureCause(error->Number(), error->Description());
    }
    if (!m_controls.closed())
        m_controls.showMessage(message);
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
        m_failureCause.clear();
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
            Fail(UnableToConnect, false);
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
            client.Connect();
        } catch (const platform::Error& error) {
            Fail(UnableToConnect, true, &error);
            return;
        }
        UploadTime = 0;
        FTPConnected = 0;
        ct = 0;
        m_timer4.start();
        if (!Wait(ConnectLimit)) {
            Fail(UnableToConnect, m_controls.closed());
            return;
        }
        if (m_lastStatus != static_cast<std::int32_t>(AsyncResultStatus::Succeeded)) {
            Fail(UnableToConnect, true);
            return;
        }

        m_timer4.stop();
        UploadTime = 0;
        m_timer3.start();
        if (!Transfer([&] { client.DownloadFile(RemoteDownloadFile, localFile(), true); },
                      UnableToDownload))
            return;
        appendResult(DownloadVerdict(UploadTime));

        TotalBytes = 0;
        m_timer3.start(); // counts on from the download's figure
        if (!Transfer([&] { client.UploadFile(localFile(), RemoteUploadFile, 0); }, UnableToUpload))
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

#pragma once

// The upload and download test behind the "Upload and Download Test"
// button: log in to the service's FTP server, download the test file into
// the program's folder, upload it again, and rate both times. The window
// and the command-line tool run this same logic over their own controls
// and clocks.

#include "ftp/ftp_client.h"
#include "platform/error.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace BandwidthTest {

// The controls the test writes: the result box `Text2`, the progress box
// `Text5`, the button `Command4`, and the message boxes.
class Controls {
public:
    virtual ~Controls() = default;
    virtual std::string results() = 0;                     // Text2
    virtual void setResults(const std::string& text) = 0;  // Text2
    virtual void setProgress(const std::string& text) = 0; // Text5
    virtual void setButtonEnabled(bool enabled) = 0;       // Command4
    // A modal box with an OK button, no icon, titled with the program's title.
    virtual void showMessage(const std::string& text) = 0;
    // One pass of "yield to the message loop": returns after the next event
    // has been handled. The default serves the program's event loop.
    virtual void yieldToMessageLoop();
    // True once the window has been closed: a waiting test then ends
    // quietly instead of waiting on for a window nobody sees.
    virtual bool closed() { return false; }
};

// A clock of the window: `Timer3` (100 ms) or `Timer4` (1 s). Its ticks
// call Test::Timer3_Timer or Test::Timer4_Timer.
class Clock {
public:
    virtual ~Clock() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// Where the test goes and what it logs in with.
struct Settings {
    std::string ftpServer;
    std::int32_t ftpPort = 21;
    std::string ftpUser;
    std::string ftpPassword;
    // The folder of the local test file (the program's folder).
    std::string folder;
};

inline constexpr const char* RemoteDownloadFile = "test2.txt";
inline constexpr const char* RemoteUploadFile = "incoming/test2up.txt";
inline constexpr const char* LocalFileName = "test2.txt";
inline constexpr std::int16_t FtpTimeOut = 100;     // seconds
inline constexpr std::int32_t ConnectLimit = 36000; // ticks of Timer4
inline constexpr std::int32_t TransferLimit = 320;  // ticks of Timer4
inline constexpr const char* UnableToConnect = "unable to connect";
inline constexpr const char* UnableToDownload = "unable to download file";
inline constexpr const char* UnableToUpload = "unable to upload file";

// The verdict lines for a transfer time in ticks of Timer3: the label
// follows the ticks, the figure is that time in milliseconds.
std::string DownloadVerdict(std::int32_t uploadTime);
std::string UploadVerdict(std::int32_t uploadTime);
// False for a verdict line that says the transfer does not qualify.
bool Qualifies(const std::string& verdictLine);
// An error as a failure message's cause: "error 16550: Requested action
// not taken.", or the description alone where there is no number. The
// description (a server's words may be among it) passes the terminal filter.
std::string FailureCause(std::optional<std::int32_t> number, const std::string& description);

// What a finished transfer moved, timed on a monotonic clock from its first
// byte to the server's confirmation (upload) or the last byte in (download).
struct Throughput {
    std::uint64_t bytes = 0;
    double seconds = 0;
    // Empty where the transfer was too short for the clock.
    std::optional<double> megabitsPerSecond() const;
};
// "12.34 Mbit/s", or empty when unmeasured.
std::string RateText(const Throughput& throughput);

// Why a step failed: the step ("connect", "download", "upload"), the
// error's number where there is one, and its description.
struct Failure {
    std::string step;
    std::optional<std::int32_t> number;
    std::string description;
};

// The test and the window's state that goes with it.
class Test : public std::enable_shared_from_this<Test> {
public:
    static std::shared_ptr<Test> create(Controls& controls, Clock& timer3, Clock& timer4,
                                        Settings settings);

    // The window's activation step: a new FTP client replaces the one held.
    void Activate();
    // The click: runs the whole test, waiting between its steps.
    void Command4_Click();
    // Clock ticks. Timer3 also yields, before and after counting, through
    // the given pass (the window handles what is pending without waiting).
    void Timer3_Timer(const std::function<void()>& yieldPass = {});
    void Timer4_Timer() { ++ct; }

    // The window's state variables.
    std::int32_t UploadTime = 0;   // ticks of Timer3 (tenths of a second)
    std::int32_t FTPConnected = 0; // 1 once the step waited on has completed
    std::int32_t ct = 0;           // ticks of Timer4 (seconds)
    std::int64_t TotalBytes = 0;   // progress shown in Text5
    std::shared_ptr<CFtpClient> m_objFtpClient;

    bool running() const { return m_running; }
    // Why the last click's failed step failed; empty after a success. The
    // failure message carries it too ("unable to connect: error 10061: ...").
    const std::optional<Failure>& failure() const { return m_failure; }
    // The last click's finished transfers; empty for one that did not finish.
    const std::optional<Throughput>& downloaded() const { return m_downloaded; }
    const std::optional<Throughput>& uploaded() const { return m_uploaded; }
    std::string localFile() const;

private:
    Test(Controls& controls, Clock& timer3, Clock& timer4, Settings settings);

    void m_objFtpClient_OnConnect(std::int32_t status);
    void m_objFtpClient_OnDownloadFile(std::int32_t status);
    void m_objFtpClient_OnUploadFile(std::int32_t status);
    void m_objFtpClient_OnDataTransferProgress(std::int64_t lngBytesTransferred);
    void completed(std::int32_t status);

    bool Wait(std::int32_t limit);
    // One transfer step: start it, wait for its end within the limit, stop
    // the clocks and time it. False (after Fail) unless it succeeded.
    bool Transfer(const std::function<void()>& start, const char* step, const char* failureMessage,
                  std::optional<Throughput>& figures);
    // Ends the click with the step's failure message and its cause: the
    // error the call raised, else what the client's last method left, else
    // why the wait ended (`limit` in seconds when it outlasted that).
    void Fail(const char* step, const char* message, bool closeConnection,
              const platform::Error* raised = nullptr, std::int32_t limit = 0);
    void appendResult(const std::string& line);

    Controls& m_controls;
    Clock& m_timer3;
    Clock& m_timer4;
    Settings m_settings;
    // The client the running click started with: its events, and only its,
    // end the click's waits, even if an activation replaces m_objFtpClient.
    std::shared_ptr<CFtpClient> m_clickClient;
    std::int32_t m_lastStatus = 0;
    std::optional<Failure> m_failure;
    std::optional<platform::Error> m_activationError; // why no client could be made
    // The transfer under way: when its first and latest bytes moved, and
    // when it ended.
    using TimePoint = std::chrono::steady_clock::time_point;
    std::optional<TimePoint> m_firstByte;
    TimePoint m_lastByte{}, m_ended{};
    std::uint64_t m_bytes = 0;
    std::optional<Throughput> m_downloaded, m_uploaded;
    bool m_running = false;
};

} // namespace BandwidthTest

#include "checks/bandwidth_check.h"

#include "platform/event_loop.h"

#include <functional>
#include <memory>
#include <optional>

namespace checks {

namespace {

// A clock of the test on the program's event loop.
class LoopClock : public BandwidthTest::Clock {
public:
    LoopClock(std::uint32_t milliseconds, std::function<void()> tick)
        : m_milliseconds(milliseconds), m_tick(std::move(tick)) {
        m_window = loop().createWindow("CLOCK", [](platform::WindowHandle, platform::MessageId,
                                                   std::intptr_t, std::intptr_t) {});
    }
    ~LoopClock() override { loop().destroyWindow(m_window); }
    void start() override {
        loop().setTimer(m_window, 1, m_milliseconds,
                        [this](platform::WindowHandle, platform::TimerId) { m_tick(); });
    }
    void stop() override { loop().killTimer(m_window, 1); }

private:
    static platform::EventLoop& loop() { return platform::EventLoop::instance(); }
    std::uint32_t m_milliseconds;
    std::function<void()> m_tick;
    platform::WindowHandle m_window = 0;
};

} // namespace

std::vector<std::string> measureBandwidth(const BandwidthTest::Settings& settings,
                                          BandwidthTest::Controls& controls,
                                          BandwidthReport& report) {
    report.server = settings.ftpServer;
    std::shared_ptr<BandwidthTest::Test> test;
    LoopClock timer3(100, [&test] { test->Timer3_Timer(); });
    LoopClock timer4(1000, [&test] { test->Timer4_Timer(); });
    test = BandwidthTest::Test::create(controls, timer3, timer4, settings);
    timer4.start(); // as in the window, where it runs from start-up
    test->Activate();
    test->Command4_Click();

    // One verdict a line: the box separates them with an empty line.
    const std::string results = controls.results();
    std::vector<std::string> verdicts;
    for (std::size_t start = 0; start < results.size();) {
        std::size_t end = results.find("\r\n", start);
        if (end == std::string::npos)
            end = results.size();
        if (end > start)
            verdicts.push_back(results.substr(start, end - start));
        start = end + 2;
    }
    // A verdict for each finished transfer, and only for those.
    const std::optional<BandwidthTest::Throughput>* figures[] = {&test->downloaded(),
                                                                 &test->uploaded()};
    for (std::size_t i = 0; i < verdicts.size() && i < 2; ++i)
        if (const auto& moved = *figures[i])
            (i == 0 ? report.download : report.upload) =
                TransferReport{verdicts[i], moved->bytes, moved->seconds};
    if (const auto& failure = test->failure())
        report.error = StepError{failure->step, failure->number,
                                 BandwidthTest::FailureCause(std::nullopt, failure->description)};
    return verdicts;
}

bool bandwidthPassed(const std::vector<std::string>& verdicts, const BandwidthReport& report) {
    if (report.error)
        return false;
    for (const std::string& verdict : verdicts)
        if (!BandwidthTest::Qualifies(verdict))
            return false;
    return true;
}

} // namespace checks

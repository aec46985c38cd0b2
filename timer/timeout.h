#pragma once

#include "platform/event.h"
#include "platform/event_loop.h"

#include <cstdint>
#include <memory>

// A periodic time-out: once started, raises `TimeOut` every `TimeOutValue`
// seconds until stopped or ended. Ticks arrive through the event loop.
// Create with `CTimeout::create()`.
class CTimeout : public std::enable_shared_from_this<CTimeout> {
public:
    // Raises 17001 ("MTimeOutSupport.CreateTimer") if the timer window cannot be made.
    static std::shared_ptr<CTimeout> create();
    ~CTimeout();
    CTimeout(const CTimeout&) = delete;
    CTimeout& operator=(const CTimeout&) = delete;

    // Starts the timer, or restarts its countdown. Does nothing for a
    // period below 1 second. The first start raises 6 for a period whose
    // milliseconds overflow, and 17002 if the timer cannot be set.
    void StartTimer();
    // Stops the timer; a later StartTimer or Reset arms it again.
    void StopTimer();
    // Re-arms the timer so its countdown begins again; never raises.
    void Reset();

    std::int32_t TimeOutValue() const { return m_TimeOutValue; }
    void setTimeOutValue(std::int32_t value) { m_TimeOutValue = value; }

    platform::Event<> TimeOut;

    // Called by the timer service only.
    void RaiseTimeOut() { TimeOut.raise(); }
    platform::TimerId timerIdentifier() const { return m_timerIdentifier; }

private:
    CTimeout() = default;

    std::int32_t m_TimeOutValue = 0;
    platform::TimerId m_timerIdentifier = 0; // 0 until the first start; kept after StopTimer
    platform::TimerId m_identity = 0;        // this object's key in the timer service
};

// The timer service: one hidden "TIMER_WINDOW" shared by every time-out
// object, whose periodic timers are routed back to their objects through a
// registry of weak references.
namespace MTimeOutSupport {

void CreateTimer();
platform::WindowHandle CreateTimerWindow();
platform::TimerId RegisterTimer(std::int32_t seconds, platform::TimerId identifier);
void ResetTimer(platform::TimerId identifier, std::int32_t seconds);
void UnregisterTimer(platform::TimerId identifier);
bool DestroyTimer();
void TimerProc(platform::WindowHandle window, platform::TimerId identifier);
std::shared_ptr<CTimeout> TimeoutFromIdentifier(platform::TimerId identifier);

// Registry of live objects; the timer window lives while any is registered.
platform::TimerId Register(const std::weak_ptr<CTimeout>& object);
void Unregister(platform::TimerId identifier);

platform::WindowHandle TimerWindow();
std::size_t LiveTimeouts();

} // namespace MTimeOutSupport

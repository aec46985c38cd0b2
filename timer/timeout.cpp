#include "timer/timeout.h"
#include "timer/timer_errors.h"

#include "platform/error.h"

#include <limits>
#include <map>
#include <optional>

namespace MTimeOutSupport {

namespace {

struct Service {
    platform::WindowHandle timerWindow = 0;
    std::map<platform::TimerId, std::weak_ptr<CTimeout>> registry;
    platform::TimerId lastIdentity = 0;
};

Service& service() {
    static Service* s = new Service;
    return *s;
}

platform::EventLoop& loop() {
    return platform::EventLoop::instance();
}

std::optional<std::uint32_t> milliseconds(std::int32_t seconds) {
    std::int64_t ms = static_cast<std::int64_t>(seconds) * 1000;
    if (ms > std::numeric_limits<std::int32_t>::max() ||
        ms < std::numeric_limits<std::int32_t>::min())
        return std::nullopt;
    return ms > 0 ? static_cast<std::uint32_t>(ms) : 0;
}

} // namespace

void CreateTimer() {
    Service& s = service();
    if (s.timerWindow != 0)
        return;
    s.timerWindow = CreateTimerWindow();
    if (s.timerWindow == 0)
        throw platform::Error(timer::errors::CreateTimerFailed, "MTimeOutSupport.CreateTimer",
                              timer::errors::CreateTimerFailedText);
}

platform::WindowHandle CreateTimerWindow() {
    return loop().createWindow("TIMER_WINDOW", [](platform::WindowHandle, platform::MessageId,
                                                  std::intptr_t, std::intptr_t) {});
}

platform::TimerId RegisterTimer(std::int32_t seconds, platform::TimerId identifier) {
    auto ms = milliseconds(seconds);
    if (!ms)
        throw platform::overflowError("MTimeOutSupport.RegisterTimer");
    if (!loop().setTimer(service().timerWindow, identifier, *ms, TimerProc))
        throw platform::Error(timer::errors::RegisterTimerFailed, "MTimeOutSupport.RegisterTimer",
                              timer::errors::RegisterTimerFailedText);
    return identifier;
}

void ResetTimer(platform::TimerId identifier, std::int32_t seconds) {
    auto ms = milliseconds(seconds);
    if (!ms || identifier == 0)
        return;
    loop().setTimer(service().timerWindow, identifier, *ms, TimerProc);
}

void UnregisterTimer(platform::TimerId identifier) {
    loop().killTimer(service().timerWindow, identifier);
}

bool DestroyTimer() {
    Service& s = service();
    bool destroyed = loop().destroyWindow(s.timerWindow);
    s.timerWindow = 0;
    return destroyed;
}

void TimerProc(platform::WindowHandle, platform::TimerId identifier) {
    try {
        // A counted reference for the length of the tick: a handler may
        // release the object. An object that has ended gets nothing.
        if (auto object = TimeoutFromIdentifier(identifier))
            object->RaiseTimeOut();
    } catch (...) {
    }
}

std::shared_ptr<CTimeout> TimeoutFromIdentifier(platform::TimerId identifier) {
    auto& registry = service().registry;
    auto it = registry.find(identifier);
    return it == registry.end() ? nullptr : it->second.lock();
}

platform::TimerId Register(const std::weak_ptr<CTimeout>& object) {
    Service& s = service();
    platform::TimerId identity = ++s.lastIdentity;
    s.registry[identity] = object;
    return identity;
}

void Unregister(platform::TimerId identifier) {
    Service& s = service();
    UnregisterTimer(identifier);
    s.registry.erase(identifier);
    // The shared window ends with the last time-out object, never earlier,
    // so ending one object cannot stop another's timer.
    if (s.registry.empty() && s.timerWindow != 0)
        DestroyTimer();
}

platform::WindowHandle TimerWindow() {
    return service().timerWindow;
}
std::size_t LiveTimeouts() {
    return service().registry.size();
}

} // namespace MTimeOutSupport

std::shared_ptr<CTimeout> CTimeout::create() {
    MTimeOutSupport::CreateTimer();
    std::shared_ptr<CTimeout> object(new CTimeout());
    object->m_identity = MTimeOutSupport::Register(object);
    return object;
}

CTimeout::~CTimeout() {
    MTimeOutSupport::Unregister(m_identity);
}

void CTimeout::StartTimer() {
    if (m_TimeOutValue < 1)
        return;
    if (m_timerIdentifier != 0)
        MTimeOutSupport::ResetTimer(m_timerIdentifier, m_TimeOutValue);
    else
        m_timerIdentifier = MTimeOutSupport::RegisterTimer(m_TimeOutValue, m_identity);
}

void CTimeout::StopTimer() {
    if (m_timerIdentifier != 0)
        MTimeOutSupport::UnregisterTimer(m_timerIdentifier);
}

void CTimeout::Reset() {
    MTimeOutSupport::ResetTimer(m_timerIdentifier, m_TimeOutValue);
}

#include "checks/connection_test.h"

#include "checks/request_aside.h"
#include "platform/event_loop.h"
#include "platform/icmp.h"

#include <chrono>

namespace ConnectionTest {

void Controls::yieldToMessageLoop() {
    platform::EventLoop::instance().processPendingEvents();
}

void Controls::waitForEvents() {
    platform::EventLoop::instance().yield(std::chrono::milliseconds(250));
}

std::string Rating(std::int32_t total) {
    if (total < 500)
        return "Excellent";
    if (total < 800)
        return "Good";
    if (total < 1000)
        return "Fair";
    if (total < 1500)
        return "Poor";
    return TooPoorText;
}

Reason ReasonOf(std::int32_t result) {
    namespace icmp = platform::icmp;
    switch (static_cast<std::uint32_t>(-static_cast<std::int64_t>(result))) {
    case PingMod::EchoNotPermitted:
        return Reason::EchoNotPermitted;
    case icmp::IP_REQ_TIMED_OUT:
        return Reason::TimedOut;
    case icmp::IP_DEST_PROT_UNREACHABLE: // also the platform's "prohibited"
    case icmp::IP_DEST_PORT_UNREACHABLE: // a firewall's plain reject
        return Reason::Refused;
    default:
        return Reason::Unreachable;
    }
}

const char* ReasonName(Reason reason) {
    switch (reason) {
    case Reason::EchoNotPermitted:
        return "echo_not_permitted";
    case Reason::TimedOut:
        return "timed_out";
    case Reason::Refused:
        return "refused";
    case Reason::Unreachable:
        break;
    }
    return "unreachable";
}

const char* ReasonText(Reason reason) {
    switch (reason) {
    case Reason::EchoNotPermitted:
        return "echo requests not permitted";
    case Reason::TimedOut:
        return "no answer within 10 s";
    case Reason::Refused:
        return "the echo request was refused";
    case Reason::Unreachable:
        break;
    }
    return "the address is unreachable";
}

void Run(Controls& controls, const EchoProbe& probe) {
    const EchoProbe send = probe ? probe : EchoProbe(PingMod::SendEchoRequestToAnyAddress);
    PingMod::EchoReply reply{}; // one record for the whole click
    std::string results;
    std::int32_t total = 0;

    controls.setResults("");
    controls.setTotal("");
    controls.setStatus("");
    controls.setButtonEnabled(false);
    controls.setRunning(true);
    controls.yieldToMessageLoop();
    std::optional<std::int32_t> answer = RequestAside(send, controls.address(), reply, controls);
    if (!answer)
        return; // the window has closed
    std::int32_t result = *answer;
    controls.yieldToMessageLoop();
    if (result < 0) {
        controls.setRunning(false);
        controls.setStatus(NoConnectionText);
        controls.setTotal(FailedTotalText);
        controls.showFailureReason(ReasonText(ReasonOf(result)));
        controls.setButtonEnabled(true);
        if (result == -static_cast<std::int32_t>(PingMod::EchoNotPermitted))
            controls.showEchoNotPermitted(EchoNotPermittedText);
        return;
    }
    // Five results are listed and added up; the request after the fifth
    // goes out too, and its answer is not used. A later request that fails
    // counts as the full time-out, so a dying connection cannot rate well.
    for (int pass = 0; pass < 5; ++pass) {
        if (result < 0) {
            total += FailedRequestTime;
            results += FailedLineText;
        } else {
            total += result;
            results += std::to_string(result) + " ms";
        }
        results += "\r\n";
        controls.setResults(results);
        controls.yieldToMessageLoop();
        answer = RequestAside(send, controls.address(), reply, controls);
        if (!answer)
            return;
        result = *answer;
    }
    controls.setRunning(false);
    controls.setTotal(std::to_string(total) + " ms");
    controls.setStatus(Rating(total));
    controls.setButtonEnabled(true);
    controls.focusStatus();
}

} // namespace ConnectionTest

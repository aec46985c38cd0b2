#pragma once

// The Internet connection test behind the "Test Connection" button: six
// echo requests to the address in the window, five of them listed and
// added up, and the total rated for voice-conferencing. The window and
// the command-line tool run the same logic over their own controls.

#include "ping/ping_mod.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ConnectionTest {

// The controls the test reads and writes: the address box `Text6`, the
// result boxes `Text1` (one line per time), `Text3` (total) and `Text4`
// (rating), and the button `Command2`.
class Controls {
public:
    virtual ~Controls() = default;
    // Text6; read again before every request.
    virtual std::string address() = 0;
    virtual void setResults(const std::string& text) = 0; // Text1
    virtual void setTotal(const std::string& text) = 0;   // Text3
    virtual void setStatus(const std::string& text) = 0;  // Text4
    virtual void setButtonEnabled(bool enabled) = 0;      // Command2
    // Gives the focus to Text4 once a rating is shown.
    virtual void focusStatus() {}
    // The system permits no echo request at all (see EchoNotPermittedText):
    // tells the user so. Called once the boxes show the missing connection.
    virtual void showEchoNotPermitted(const std::string& text) { (void)text; }
    // Why the first request failed (ReasonText), shown with the rating
    // "No Internet Connection".
    virtual void showFailureReason(const std::string& text) { (void)text; }
    // Handles the messages that are pending now, without waiting for more.
    // The default serves the program's event loop.
    virtual void yieldToMessageLoop();
    // Blocks until the next event has been handled, a quarter of a second
    // at most: the wait while a request is under way. The default serves
    // the program's event loop (and a toolkit's, through its yield hook).
    virtual void waitForEvents();
    // True once the window has been closed: a request under way is
    // abandoned and the test ends without writing anything more.
    virtual bool closed() { return false; }
    // The test starts (true) or has ended (false): the window shows that
    // it runs and holds back whatever would start a second test.
    virtual void setRunning(bool running) { (void)running; }
};

// One echo request: the round trip in ms, or a negative number on failure.
using EchoProbe = std::function<std::int32_t(const std::string& address, PingMod::EchoReply&)>;

inline constexpr std::int32_t FailedRequestTime = 10000; // ms, the probe's time-out
inline constexpr const char* NoConnectionText = "No Internet Connection";
inline constexpr const char* FailedTotalText = ">10000 ms";
inline constexpr const char* FailedLineText = ">10000 ms";
inline constexpr const char* TooPoorText = "No Connection or too poor to use voice-conferencing";
// What the user reads when the first request could not be sent because
// this system lets the program open no echo socket.
inline constexpr const char* EchoNotPermittedText =
    "This system does not permit echo requests for this user, so the connection cannot be "
    "tested. An administrator can allow them by admitting the user's groups in "
    "net.ipv4.ping_group_range or by giving the program the capability cap_net_raw.";

// The rating of a total of five round trips.
std::string Rating(std::int32_t totalMilliseconds);

// Why an echo request failed, from its negative result.
enum class Reason { EchoNotPermitted, Unreachable, TimedOut, Refused };
Reason ReasonOf(std::int32_t result);
// "echo_not_permitted", "unreachable", "timed_out", "refused".
const char* ReasonName(Reason reason);
// What the user reads: "no answer within 10 s" and the like.
const char* ReasonText(Reason reason);

// The click: clears the boxes, sends the requests, fills the boxes. Each
// request runs on a thread of its own while the caller's events go on
// (RequestAside). An empty probe means PingMod::SendEchoRequestToAnyAddress:
// an IPv4 text, an IPv6 address or a host name.
void Run(Controls& controls, const EchoProbe& probe = {});

} // namespace ConnectionTest

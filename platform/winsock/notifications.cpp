// Readiness notifications of the socket-library shim: the record kept per
// socket, how epoll readiness becomes FD_* notifications with the library's
// re-arming rules, and WSAAsyncSelect. Readiness has already waited for its
// turn in the loop's queue, so its notifications go to the window's
// procedure at once; only those that a call brings about are posted.

#include "platform/winsock/internal.h"

#include <array>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unordered_map>

namespace platform::winsock {

namespace detail {

namespace {

std::unordered_map<SOCKET, Record>& records() {
    static auto* map = new std::unordered_map<SOCKET, Record>;
    return *map;
}

EventLoop& loop() {
    return EventLoop::instance();
}

// Back-off timers live on the socket's notification window, under
// identifiers that no component uses there: this bit and the socket.
constexpr TimerId AcceptBackOffTimer = TimerId(1) << 40;

std::uint64_t lastLife = 0;

// Notifications posted for the socket and not yet dispatched.
void dropQueued(SOCKET s, const Record& r) {
    if (r.window == 0)
        return;
    loop().removeMessages([&](const Message& m) {
        return m.window == r.window && m.message == r.message && m.wParam == s;
    });
}

} // namespace

Record* find(SOCKET s) {
    auto it = records().find(s);
    return it == records().end() ? nullptr : &it->second;
}

Record& addRecord(SOCKET s, Kind kind) {
    Record& r = records()[s];
    r = Record{};
    r.kind = kind;
    r.life = ++lastLife;
    return r;
}

void dropRecord(SOCKET s) {
    auto it = records().find(s);
    if (it == records().end())
        return;
    Record r = it->second;
    records().erase(it);
    loop().unwatchFd(s);
    if (r.acceptBackingOff)
        loop().killTimer(r.window, AcceptBackOffTimer | static_cast<TimerId>(s));
    dropQueued(s, r);
}

void restartRecord(SOCKET s, Kind kind) {
    auto it = records().find(s);
    if (it == records().end())
        return;
    Record& r = it->second;
    loop().setFdEvents(s, 0);
    if (r.acceptBackingOff)
        loop().killTimer(r.window, AcceptBackOffTimer | static_cast<TimerId>(s));
    dropQueued(s, r);
    Record fresh;
    fresh.kind = kind;
    fresh.window = r.window;
    fresh.message = r.message;
    fresh.mask = r.mask;
    fresh.life = ++lastLife;
    r = fresh;
}

void post(SOCKET s, const Record& r, long event, int error) {
    if (r.window != 0 && (r.mask & event))
        loop().postMessage(r.window, r.message, s, makeSelectReply(event, error));
}

namespace {

// The epoll events that can lead to a notification the socket still owes.
constexpr std::uint32_t In = EPOLLIN, Out = EPOLLOUT, ReadHangUp = EPOLLRDHUP;

std::uint32_t interest(const Record& r) {
    if (r.window == 0 || r.mask == 0 || r.closeSent)
        return 0;
    switch (r.kind) {
    case Kind::Fresh:
        return 0; // an unconnected stream socket polls as hung up
    case Kind::Connecting:
        return Out;
    case Kind::Listening:
        return r.acceptArmed ? In : 0;
    case Kind::Datagram:
        return (r.readArmed ? In : 0) | (r.writeArmed ? Out : 0);
    case Kind::Connected:
        return (r.readArmed ? In : 0) | ReadHangUp | (r.writeArmed ? Out : 0);
    }
    return 0;
}

} // namespace

namespace {

// Sets the events the loop waits for; a refusal by the kernel ends the
// socket with an error rather than leave its owner waiting for ever.
void setEvents(SOCKET s, Record& r, std::uint32_t events) {
    if (loop().setFdEvents(s, events) || r.closeSent)
        return;
    r.closeSent = true;
    long event = r.kind == Kind::Connecting  ? FD_CONNECT
                 : r.kind == Kind::Listening ? FD_ACCEPT
                                             : FD_CLOSE;
    post(s, r, event, WSAENOBUFS);
    loop().setFdEvents(s, 0);
}

} // namespace

// Readiness the socket no longer wants is left in the wait set until it
// is reported once more: a read re-arms at once what its notification
// disarmed, so the pair would cost two changes per read for nothing.
// Only when nothing at all can lead to a notification does it leave now.
void update(SOCKET s, Record& r) {
    const std::uint32_t wanted = interest(r);
    const std::uint32_t current = loop().fdEvents(s);
    if (wanted == 0 || (wanted & ~current) != 0)
        setEvents(s, r, wanted == 0 ? 0 : wanted | current);
}

namespace {

void endAcceptBackOff(WindowHandle window, TimerId id) {
    loop().killTimer(window, id);
    SOCKET s = static_cast<SOCKET>(id & ~AcceptBackOffTimer);
    Record* r = find(s);
    if (!r || !r->acceptBackingOff)
        return;
    r->acceptBackingOff = false;
    r->acceptArmed = true;
    update(s, *r);
}

} // namespace

void backOffAccept(SOCKET s, Record& r) {
    r.acceptArmed = false;
    update(s, r);
    if (r.window == 0 || r.acceptBackingOff)
        return;
    r.acceptBackingOff = true;
    loop().setTimer(r.window, AcceptBackOffTimer | static_cast<TimerId>(s),
                    AcceptBackOffMilliseconds, endAcceptBackOff);
}

namespace {

int socketError(SOCKET s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

// The notifications one readiness gives, in the library's order.
class Notices {
public:
    void add(long event, int error) {
        if (m_count < m_notices.size())
            m_notices[m_count++] = {event, error};
    }
    // Hands each to the socket's window now. A handler may close the
    // socket, or close it and make another under the same handle: what
    // is left then belonged to the socket that has gone.
    void deliver(SOCKET s, std::uint64_t life) const {
        for (std::size_t i = 0; i < m_count; ++i) {
            const Record* r = find(s);
            if (!r || r->life != life)
                return;
            if (r->window != 0 && (r->mask & m_notices[i].event))
                loop().sendMessage(r->window, r->message, s,
                                   makeSelectReply(m_notices[i].event, m_notices[i].error));
        }
    }

private:
    struct Notice {
        long event = 0;
        int error = 0;
    };
    std::array<Notice, 3> m_notices{};
    std::size_t m_count = 0;
};

void onReady(SOCKET s, std::uint32_t events) {
    Record* r = find(s);
    if (!r)
        return;
    // Readiness reported while the socket did not want it: now it leaves.
    const std::uint32_t unwanted = events & (In | Out | ReadHangUp) & ~interest(*r);
    // The record is brought up to date before any handler runs, so a
    // handler that waits for the loop meets the socket as it now is.
    Notices notices;
    switch (r->kind) {
    case Kind::Connecting:
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
            int error = errorFromErrno(socketError(s));
            notices.add(FD_CONNECT, error);
            if (error == 0) {
                r->kind = Kind::Connected;
                notices.add(FD_WRITE, 0);
            } else {
                r->closeSent = true; // the attempt is over; nothing more to tell
            }
        }
        break;
    case Kind::Listening:
        if ((events & EPOLLIN) && r->acceptArmed) {
            r->acceptArmed = false;
            notices.add(FD_ACCEPT, 0);
        }
        break;
    case Kind::Datagram:
        if (events & EPOLLERR)
            socketError(s); // an ICMP error for an earlier datagram; nothing to report
        if ((events & EPOLLIN) && r->readArmed) {
            r->readArmed = false;
            notices.add(FD_READ, 0);
        }
        if ((events & EPOLLOUT) && r->writeArmed) {
            r->writeArmed = false;
            notices.add(FD_WRITE, 0);
        }
        break;
    case Kind::Connected: {
        if (events & EPOLLERR) {
            int error = errorFromErrno(socketError(s));
            if (error != 0) {
                r->closeSent = true;
                notices.add(FD_CLOSE, error);
                break;
            }
        }
        if ((events & EPOLLIN) && r->readArmed) {
            // Readable without a hang-up means data. With one, it may be
            // only the end of the stream, which FD_CLOSE tells.
            int waiting = 1;
            if ((events & (EPOLLRDHUP | EPOLLHUP)) && ::ioctl(s, FIONREAD, &waiting) != 0)
                waiting = 0;
            if (waiting > 0) {
                r->readArmed = false;
                notices.add(FD_READ, 0);
            }
        }
        if ((events & EPOLLOUT) && r->writeArmed) {
            r->writeArmed = false;
            notices.add(FD_WRITE, 0);
        }
        if (events & (EPOLLRDHUP | EPOLLHUP)) {
            r->closeSent = true;
            notices.add(FD_CLOSE, 0);
        }
        break;
    }
    case Kind::Fresh:
        break;
    }
    const std::uint32_t wanted = interest(*r);
    const std::uint32_t current = loop().fdEvents(s);
    if (wanted == 0 || (wanted & ~current) != 0 || (current & unwanted) != 0)
        setEvents(s, *r, wanted == 0 ? 0 : wanted | (current & ~unwanted));
    notices.deliver(s, r->life);
}

} // namespace

} // namespace detail

using namespace detail;

int WSAAsyncSelect(SOCKET s, WindowHandle window, MessageId message, long mask) {
    Record* r = find(s);
    if (!r)
        return fail(WSAENOTSOCK);
    if (mask != 0 && !loop().isWindow(window))
        return fail(WSAEINVAL);
    if (r->acceptBackingOff) { // its timer lives on the window asked for before
        loop().killTimer(r->window, AcceptBackOffTimer | static_cast<TimerId>(s));
        r->acceptBackingOff = false;
    }
    // Stopped means stopped: what was posted and not yet dispatched goes
    // too, or a socket that takes the descriptor number next would get it.
    if (mask == 0)
        dropQueued(s, *r);
    r->window = mask == 0 ? 0 : window;
    r->message = message;
    r->mask = mask;
    if (mask == 0) {
        loop().unwatchFd(s);
        return 0;
    }
    r->readArmed = true;
    r->acceptArmed = true;
    loop().watchFd(s, onReady);
    // A connected socket can take data at once: say so, as after a connect.
    if (r->kind == Kind::Connected && !r->closeSent)
        post(s, *r, FD_WRITE, 0);
    update(s, *r);
    return 0;
}

} // namespace platform::winsock

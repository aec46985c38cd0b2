#include "net/socket_support.h"

#include "net/socket.h"
#include "net/socket_errors.h"
#include "platform/program.h"
#include "platform/winsock.h"

#include <map>
#include <set>

namespace ws = platform::winsock;

namespace MSocketSupport {

namespace {

struct Lookup {
    std::weak_ptr<CSocket> object;
    // Receives the result. Each lookup has its own, so a newer lookup of the
    // same object never takes or frees the buffer of an older one.
    std::shared_ptr<ws::HostEntry> buffer;
};

struct Service {
    bool started = false;
    std::int32_t maximalDatagramSize = 0;
    platform::WindowHandle socketWindow = 0;
    platform::MessageId socketMessage = 0;
    platform::MessageId lookupMessage = 0;
    std::map<std::int32_t, std::weak_ptr<CSocket>> socketRegistry;
    std::map<std::int32_t, Lookup> lookupRegistry;
    std::set<std::int32_t> offeredRequests;
    platform::Error pendingError{0, "", ""};
};

Service& service() {
    static Service* s = new Service; // outlives every socket object, even static ones
    return *s;
}

platform::EventLoop& loop() {
    return platform::EventLoop::instance();
}

void setPending(std::int32_t number, const char* source, std::string description) {
    service().pendingError = platform::Error(number, source, std::move(description));
}

void setPendingFromLibrary(const char* source) {
    int code = ws::WSAGetLastError();
    setPending(code, source, GetErrorDescription(code));
}

} // namespace

std::int32_t InitWinsockService() {
    Service& s = service();
    if (s.started)
        return s.maximalDatagramSize;
    ws::WSAData data;
    int result = ws::WSAStartup(0x0101, data);
    if (result != 0) {
        int lastError = ws::WSAGetLastError();
        throw platform::Error(lastError, "MSocketSupport.InitWinsockService",
                              net::errors::StartupErrorDescription(result));
    }
    s.started = true;
    s.maximalDatagramSize = data.iMaxUdpDg;
    std::string program = platform::programName();
    s.lookupMessage = loop().registerMessage(program + ".ResolveMessage");
    s.socketMessage = loop().registerMessage(program + ".WinsockMessage");
    return s.maximalDatagramSize;
}

void CleanupWinsockService() {
    Service& s = service();
    if (s.socketRegistry.empty() && s.started) {
        ws::WSACleanup();
        s.started = false;
    }
}

bool RegisterSocket(std::int32_t socketHandle, const std::weak_ptr<CSocket>& object) {
    Service& s = service();
    if (s.socketWindow == 0) {
        s.socketWindow = CreateSocketWindow();
        if (s.socketWindow == 0) {
            setPending(ws::WSAEINTR, "MSocketSupport.RegisterSocket",
                       net::errors::SocketWindowFailedText);
            return false;
        }
    }
    if (!s.socketRegistry.emplace(socketHandle, object).second) {
        setPending(platform::errors::DuplicateKey, "MSocketSupport.RegisterSocket",
                   platform::errors::DuplicateKeyText);
        return false;
    }
    if (ws::WSAAsyncSelect(socketHandle, s.socketWindow, s.socketMessage,
                           ws::FD_READ | ws::FD_WRITE | ws::FD_ACCEPT | ws::FD_CONNECT |
                               ws::FD_CLOSE) != 0) {
        setPendingFromLibrary("MSocketSupport.RegisterSocket");
        return false; // the registry entry stays, as the caller closes the socket by handle
    }
    return true;
}

bool UnregisterSocket(std::int32_t socketHandle) {
    Service& s = service();
    if (s.socketRegistry.empty() || socketHandle == ws::INVALID_SOCKET)
        return false;
    ws::WSAAsyncSelect(socketHandle, s.socketWindow, 0, 0);
    if (s.socketRegistry.erase(socketHandle) == 0) {
        setPending(platform::errors::InvalidCall, "MSocketSupport.UnregisterSocket",
                   platform::errors::InvalidCallText);
        return false;
    }
    if (s.socketRegistry.empty())
        return DestroySocketWindow();
    return true;
}

platform::WindowHandle CreateSocketWindow() {
    return loop().createWindow("SOCKET_WINDOW", SocketWindowProc);
}

bool DestroySocketWindow() {
    Service& s = service();
    // Lookups still under way have nowhere to report once the window ends.
    for (const auto& entry : s.lookupRegistry)
        ws::WSACancelAsyncRequest(entry.first);
    s.lookupRegistry.clear();
    bool destroyed = loop().destroyWindow(s.socketWindow);
    s.socketWindow = 0;
    return destroyed;
}

std::int32_t ResolveHost(const std::string& hostName, const std::weak_ptr<CSocket>& object) {
    Service& s = service();
    auto buffer = std::make_shared<ws::HostEntry>();
    std::int32_t task =
        ws::WSAAsyncGetHostByName(s.socketWindow, s.lookupMessage, hostName, buffer);
    if (task == 0) {
        setPendingFromLibrary("MSocketSupport.ResolveHost");
        return 0;
    }
    s.lookupRegistry[task] = Lookup{object, std::move(buffer)};
    return task;
}

void CancelLookup(std::int32_t task) {
    if (service().lookupRegistry.erase(task) != 0)
        ws::WSACancelAsyncRequest(task);
}

void OfferRequest(std::int32_t socketHandle) {
    service().offeredRequests.insert(socketHandle);
}

bool TakeRequest(std::int32_t socketHandle) {
    return service().offeredRequests.erase(socketHandle) != 0;
}

bool WithdrawRequest(std::int32_t socketHandle) {
    return service().offeredRequests.erase(socketHandle) != 0;
}

bool IsOffered(std::int32_t socketHandle) {
    return service().offeredRequests.count(socketHandle) != 0;
}

const platform::Error& PendingError() {
    return service().pendingError;
}

void SocketWindowProc(platform::WindowHandle, platform::MessageId message, std::intptr_t first,
                      std::intptr_t second) {
    Service& s = service();
    // Nothing raised while a notification is handled reaches anyone.
    try {
        if (message == s.socketMessage) {
            auto it = s.socketRegistry.find(static_cast<std::int32_t>(first));
            if (it == s.socketRegistry.end())
                return; // closed since the notification was queued
            // A counted reference for the length of this one dispatch, so a
            // handler may release the object that raised the event.
            std::shared_ptr<CSocket> object = it->second.lock();
            if (!object)
                return;
            std::int32_t event = static_cast<std::int32_t>(second & 0xFFFF);
            std::int32_t error = static_cast<std::int32_t>((second >> 16) & 0xFFFF);
            object->HandleNotification(event, error);
        } else if (message == s.lookupMessage) {
            auto it = s.lookupRegistry.find(static_cast<std::int32_t>(first));
            if (it == s.lookupRegistry.end())
                return;
            Lookup lookup = std::move(it->second);
            s.lookupRegistry.erase(it);
            std::shared_ptr<CSocket> object = lookup.object.lock();
            if (!object)
                return;
            std::int32_t error = static_cast<std::int32_t>((second >> 16) & 0xFFFF);
            std::vector<ws::InetAddress> addresses;
            if (error == 0)
                addresses = ws::addressesToTry(*lookup.buffer);
            if (error == 0 && addresses.empty())
                error = ws::WSANO_DATA;
            // A failure carries its task too, so the object can tell whether
            // it still waits for this answer.
            if (error != 0)
                object->HandleLookupResult(static_cast<std::int32_t>(first), {}, std::string(),
                                           error);
            else
                object->HandleLookupResult(static_cast<std::int32_t>(first), addresses,
                                           lookup.buffer->name, 0);
        }
    } catch (...) {
    }
}

std::int16_t UnsignedToInteger(std::int64_t value) {
    if (value < 0 || value > 65535)
        throw platform::overflowError("MSocketSupport.UnsignedToInteger");
    return static_cast<std::int16_t>(value > 32767 ? value - 65536 : value);
}

std::int32_t IntegerToUnsigned(std::int16_t value) {
    return value < 0 ? value + 65536 : value;
}

bool IsStarted() {
    return service().started;
}
std::int32_t MaximalDatagramSize() {
    return service().maximalDatagramSize;
}
platform::WindowHandle SocketWindow() {
    return service().socketWindow;
}
platform::MessageId SocketMessage() {
    return service().socketMessage;
}
platform::MessageId LookupMessage() {
    return service().lookupMessage;
}
std::size_t RegisteredSockets() {
    return service().socketRegistry.size();
}
std::size_t PendingLookups() {
    return service().lookupRegistry.size();
}

} // namespace MSocketSupport

#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

namespace ws = platform::winsock;

TEST(WinsockErrors, ErrnoMapsToTheLibraryNumbers) {
    const std::pair<int, int> table[] = {
        {EINTR, 10004},
        {EACCES, 10013},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10035},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EBADF, 10038},
        {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},
        {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ENETRESET, 10052},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {ENOBUFS, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {EPIPE, 10058},
        {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        {0, 0},
    };
    for (auto [error, code] : table)
        EXPECT_EQ(ws::errorFromErrno(error), code) << error;
    EXPECT_EQ(ws::errorFromLookup(EAI_NONAME), 11001);
    EXPECT_EQ(ws::errorFromLookup(EAI_AGAIN), 11002);
    EXPECT_EQ(ws::errorFromLookup(EAI_FAIL), 11003);
    EXPECT_EQ(ws::errorFromLookup(EAI_NODATA), 11004);
}

TEST(WinsockStartup, GrantsVersionOneOneAndCountsUsers) {
    ws::WSAData data;
    ASSERT_EQ(ws::WSAStartup(0x0101, data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(data.iMaxUdpDg, 65507);
    EXPECT_GT(data.iMaxSockets, 0);
    ASSERT_EQ(ws::WSAStartup(0x0202, data), 0); // newer requests get 1.1 as well
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(ws::startupCount(), 2);
    EXPECT_EQ(ws::WSACleanup(), 0);
    // One user's clean-up leaves the other's sockets working.
    int s = ws::socket(ws::AF_INET_, ws::SOCK_DGRAM_, ws::IPPROTO_UDP_);
    ASSERT_NE(s, ws::INVALID_SOCKET);
    EXPECT_EQ(ws::closesocket(s), 0);
    EXPECT_EQ(ws::WSACleanup(), 0);
    EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), 10093);
}

TEST(WinsockStartup, TestsCanMakeStartUpAndCleanUpFail) {
    ws::WSAData data;
    ws::setStartupFailure(10091);
    EXPECT_EQ(ws::WSAStartup(0x0101, data), 10091);
    ws::setStartupFailure(0);
    EXPECT_EQ(ws::WSAStartup(0x0100, data), 10092); // older than 1.1
    ASSERT_EQ(ws::WSAStartup(0x0101, data), 0);
    ws::setCleanupFailure(10050);
    EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), 10050);
    ws::setCleanupFailure(0);
    EXPECT_EQ(ws::WSACleanup(), 0);
}

TEST(WinsockAddresses, OnlyStrictDottedAddressesParse) {
    std::uint32_t address = 0;
    EXPECT_TRUE(ws::parseDottedAddress("127.0.0.1", address));
    EXPECT_EQ(ws::addressToText(address), "127.0.0.1");
    EXPECT_TRUE(ws::parseDottedAddress("255.255.255.255", address));
    for (const char* text : {"", "localhost", "1.2.3", "1.2.3.256", "1.2.3.4 ", "a.b.c.d"})
        EXPECT_FALSE(ws::parseDottedAddress(text, address)) << text;
}

TEST(WinsockAddresses, LiteralsOfEitherFamilyParse) {
    ws::InetAddress address;
    ASSERT_TRUE(ws::parseAddress("[::1]", address));
    EXPECT_EQ(address.family, ws::AF_INET6_);
    EXPECT_EQ(ws::addressToText(address), "::1");
    ASSERT_TRUE(ws::parseAddress("2001:DB8:0:0::7", address));
    EXPECT_EQ(ws::addressToText(address), "2001:db8::7");
    ASSERT_TRUE(ws::parseAddress("10.0.0.1", address));
    EXPECT_EQ(address.family, ws::AF_INET_);
    EXPECT_EQ(ws::addressToText(address.ipv4()), "10.0.0.1");
    for (const char* text :
         {"", "localhost", "[::1", "::1]", "[[::1]]", "1::2::3", "::1%", "[10.0.0.1]", "::g"})
        EXPECT_FALSE(ws::parseAddress(text, address)) << text;
}

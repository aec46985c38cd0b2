#include "net/socket_errors.h"

#include <gtest/gtest.h>

TEST(GetErrorDescription, KnownCodesHaveTheirSentence) {
    EXPECT_EQ(GetErrorDescription(10061), "Connection refused.");
    EXPECT_EQ(GetErrorDescription(10054), "Connection reset by peer.");
    EXPECT_EQ(GetErrorDescription(11001), "Host not found.");
    EXPECT_EQ(GetErrorDescription(11004), "Valid name, no data record of requested type.");
    EXPECT_EQ(GetErrorDescription(10092), "Winsock.dll version out of range.");
}

TEST(GetErrorDescription, CodesOutsideTheTableAreUnknown) {
    for (int code : {0, -1, 10059, 10000, 11000, 11005, 40006})
        EXPECT_EQ(GetErrorDescription(code), "Unknown error.") << code;
}

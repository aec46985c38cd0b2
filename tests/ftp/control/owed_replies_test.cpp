// Which command an arriving reply answers, once methods have ended with
// their replies still owed.
#include "ftp/ftp_owed_replies.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Owner = ftp::OwedReplies::Owner;
constexpr Owner Current = Owner::Current;
constexpr Owner Ended = Owner::Ended;

struct Row {
    const char* what;
    std::vector<std::string> sent; // commands in order; "|": the method ends
    std::vector<std::pair<int, Owner>> replies;
    std::size_t left; // replies still owed afterwards
};

TEST(OwedReplies, RepliesGoToTheCommandsThatCanGetThem) {
    const std::vector<Row> rows = {
        {"in order", {"USER", "PASS"}, {{331, Current}, {230, Current}}, 0},
        {"unsolicited", {}, {{421, Current}}, 0},
        {"preliminary, then final", {"RETR"}, {{150, Current}, {226, Current}}, 0},
        {"late preliminary of an ended transfer", {"RETR", "|"}, {{150, Ended}}, 1},
        {"late answer to an ended command", {"CWD", "|", "CWD"}, {{250, Ended}, {250, Current}}, 0},
        {"ended command passed by", {"RNFR", "|", "PWD"}, {{257, Current}}, 0},
        {"ended transfer's end after the next answer",
         {"RETR", "|", "PWD"},
         {{257, Current}, {226, Ended}},
         0},
        {"ended command's only possible reply", {"SIZE", "|"}, {{213, Ended}}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ftp::OwedReplies owed;
        for (const std::string& verb : row.sent) {
            if (verb == "|")
                owed.abandon();
            else
                owed.sent(ftp::commandOf(verb));
        }
        for (const auto& [code, owner] : row.replies)
            EXPECT_EQ(owed.take(static_cast<std::int16_t>(code)), owner) << code;
        EXPECT_EQ(owed.size(), row.left);
    }
}

TEST(OwedReplies, OnlyThePendingMethodsCommandsAreOwedToIt) {
    ftp::OwedReplies owed;
    owed.sent(ftp::Command::Stor);
    EXPECT_TRUE(owed.owesCurrent(ftp::Command::Stor));
    EXPECT_TRUE(owed.owesCurrentTransfer());
    owed.abandon();
    owed.sent(ftp::Command::Pwd);
    EXPECT_FALSE(owed.owesCurrent(ftp::Command::Stor));
    EXPECT_FALSE(owed.owesCurrentTransfer());
    EXPECT_TRUE(owed.owesCurrent(ftp::Command::Pwd));
}

TEST(OwedReplies, ASilentServerLeavesABoundedList) {
    ftp::OwedReplies owed;
    for (int i = 0; i < 40; ++i) {
        owed.sent(ftp::Command::Other);
        owed.abandon();
    }
    EXPECT_EQ(owed.size(), ftp::OwedReplies::MaxEntries);
}

} // namespace

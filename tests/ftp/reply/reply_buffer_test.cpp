// The control connection's text turned into whole replies, whatever the
// pieces the network cuts it into.
#include "ftp/ftp_reply.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Expected {
    int code;
    std::string text;
    std::string message;
};

struct Row {
    const char* what;
    std::string stream;
    std::vector<Expected> replies;
    std::string open; // continuation text of a reply left open at the end
};

const std::vector<Row> Rows = {
    {"one line", "220 Ready\r\n", {{220, "220 Ready\r\n", ""}}, ""},
    {"bare LF", "200 OK\n", {{200, "200 OK\n", ""}}, ""},
    {"multi-line",
     "230-Welcome\r\n230-Second line\r\n230 Logged in\r\n",
     {{230, "230-Welcome\r\n230-Second line\r\n230 Logged in\r\n", "Welcome\r\nSecond line"}},
     ""},
    {"two replies",
     "150 Opening\r\n226 Done\r\n",
     {{150, "150 Opening\r\n", ""}, {226, "226 Done\r\n", ""}},
     ""},
    {"text that is no reply line",
     "hello\r\n099 no\r\n250 Done\r\n",
     {{250, "hello\r\n099 no\r\n250 Done\r\n", ""}},
     ""},
    {"reply then one left open",
     "200 Type set\r\n150-Opening\r\n150-more",
     {{200, "200 Type set\r\n", ""}},
     "Opening"},
};

// Feeds `pieces` one after the other, taking out every reply each makes whole.
std::vector<ftp::ReplyBuffer::Reply> feed(ftp::ReplyBuffer& buffer,
                                          const std::vector<std::string>& pieces) {
    std::vector<ftp::ReplyBuffer::Reply> out;
    for (const std::string& piece : pieces) {
        buffer.consume(piece);
        while (auto reply = buffer.pop())
            out.push_back(*reply);
    }
    return out;
}

void expectReplies(const Row& row, const ftp::ReplyBuffer& buffer,
                   const std::vector<ftp::ReplyBuffer::Reply>& got) {
    ASSERT_EQ(got.size(), row.replies.size());
    std::size_t taken = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].code, row.replies[i].code);
        EXPECT_EQ(got[i].text, row.replies[i].text);
        EXPECT_EQ(got[i].message, row.replies[i].message);
        taken += got[i].text.size();
    }
    EXPECT_EQ(buffer.size(), row.stream.size() - taken);
    EXPECT_EQ(buffer.openMessage(), row.open);
}

TEST(ReplyBuffer, EveryStreamCutAtEveryByteBoundary) {
    for (const Row& row : Rows) {
        SCOPED_TRACE(row.what);
        for (std::size_t cut = 0; cut <= row.stream.size(); ++cut) {
            SCOPED_TRACE(cut);
            ftp::ReplyBuffer buffer;
            auto got = feed(buffer, {row.stream.substr(0, cut), row.stream.substr(cut)});
            expectReplies(row, buffer, got);
        }
        std::vector<std::string> bytes;
        for (char c : row.stream)
            bytes.emplace_back(1, c);
        ftp::ReplyBuffer buffer;
        auto got = feed(buffer, bytes);
        expectReplies(row, buffer, got);
    }
}

// What a reply shows is what of it the latest piece brought: all of it when
// it came whole, its tail when it came in parts, its last line when only
// the line end was missing.
TEST(ReplyBuffer, ShownIsThePartOfTheLatestPiece) {
    struct Case {
        std::vector<std::string> pieces;
        std::vector<std::string> shown;
    };
    for (const Case& c : std::vector<Case>{
             {{"150 Opening\r\n226 Done\r\n"}, {"150 Opening", "226 Done"}},
             {{"226 Do", "ne\r\n"}, {"ne"}},
             {{"230-Hi\r\n230 In", "\r\n"}, {"230 In"}},
             {{"150 Opening\r\n226 D", "one\r\n"}, {"150 Opening", "one"}},
         }) {
        ftp::ReplyBuffer buffer;
        std::vector<std::string> shown;
        for (const auto& reply : feed(buffer, c.pieces))
            shown.push_back(reply.shown);
        EXPECT_EQ(shown, c.shown) << c.pieces.front();
    }
}

TEST(ReplyBuffer, ClearDropsAnOpenReply) {
    ftp::ReplyBuffer buffer;
    buffer.consume("150-Opening\r\n");
    buffer.clear();
    buffer.consume("226 Done\r\n");
    auto reply = buffer.pop();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "226 Done\r\n");
    EXPECT_EQ(reply->message, "");
    EXPECT_EQ(buffer.size(), 0u);
}

} // namespace

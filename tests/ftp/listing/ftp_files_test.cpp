#include "ftp/ftp_files.h"
#include "platform/error.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<CFtpFile> entry(const std::string& name) {
    auto file = CFtpFile::create();
    file->setFileName(name);
    return file;
}

std::vector<std::string> names(const CFtpFiles& files) {
    std::vector<std::string> result;
    for (const auto& file : files)
        result.push_back(file->FileName());
    return result;
}

TEST(CFtpFiles, NewCollectionIsEmptyAndNewEntryHoldsZeroValues) {
    auto files = CFtpFiles::create();
    EXPECT_EQ(files->Count(), 0);
    EXPECT_TRUE(names(*files).empty());

    auto file = CFtpFile::create();
    EXPECT_EQ(file->FileName(), "");
    EXPECT_EQ(file->FileSize(), 0);
    EXPECT_FALSE(file->IsDirectory());
    EXPECT_EQ(file->LastWriteTime().days, 0);
    EXPECT_EQ(file->Group(), "");
}

TEST(CFtpFiles, KeepsInsertionOrderAndAddReturnsTheEntry) {
    auto files = CFtpFiles::create();
    auto a = entry("a");
    EXPECT_EQ(files->Add(a, "a"), a);
    files->Add(entry("b"), "b");
    files->Add(entry("c"), "c");
    ASSERT_EQ(files->Count(), 3);
    EXPECT_EQ(files->Item(1), a);
    EXPECT_EQ(files->Item(2)->FileName(), "b");
    EXPECT_EQ(files->Item(3)->FileName(), "c");
    EXPECT_EQ(names(*files), (std::vector<std::string>{"a", "b", "c"}));

    files->Remove(1);
    EXPECT_EQ(files->Count(), 2);
    EXPECT_EQ(files->Item(1)->FileName(), "b");
    EXPECT_EQ(names(*files), (std::vector<std::string>{"b", "c"}));
}

TEST(CFtpFiles, RepeatedNamesAreKeptSideBySide) {
    auto files = CFtpFiles::create();
    files->Add(entry("same"), "same");
    files->Add(entry("same"), "same");
    EXPECT_EQ(files->Count(), 2);
    EXPECT_NE(files->Item(1), files->Item(2));
}

TEST(CFtpFiles, PositionsOutsideTheCollectionRaiseSubscriptOutOfRange) {
    auto files = CFtpFiles::create();
    files->Add(entry("a"), "a");
    for (int position : {0, 2, -1}) {
        try {
            files->Item(position);
            ADD_FAILURE() << "Item(" << position << ") did not raise";
        } catch (const platform::Error& e) {
            EXPECT_EQ(e.number(), 9);
            EXPECT_EQ(e.source(), "CFtpFiles.Item");
            EXPECT_EQ(e.description(), "Subscript out of range");
        }
    }
    EXPECT_THROW(files->Remove(2), platform::Error);
    EXPECT_THROW(files->Remove(0), platform::Error);
    EXPECT_EQ(files->Count(), 1);
}

} // namespace

#include "platform/program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::localFileFolderFor;

namespace {
// A fresh folder under the temporary folder, removed with the fixture.
class LocalFileFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "mitu-program-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
    }
    void TearDown() override {
        std::error_code error;
        fs::permissions(m_root / "locked", fs::perms::owner_all, error);
        fs::remove_all(m_root, error);
    }
    fs::path m_root;
};
} // namespace

TEST(ProgramFacts, NameAndFolderDescribeTheTestExecutable) {
    EXPECT_EQ(platform::programName(), "platform_tests");
    EXPECT_TRUE(fs::exists(fs::path(platform::programFolder()) / "platform_tests"));
}

TEST_F(LocalFileFolder, OnlyABuildTreeKeepsTheFileBesideTheProgram) {
    // A folder this process may write (root may write any) is no build tree.
    const std::string home = (m_root / "home").string();
    EXPECT_EQ(localFileFolderFor(m_root.string(), nullptr, home.c_str()),
              home + "/.local/share/mitu");
    fs::remove_all(m_root / "home");
    std::fclose(std::fopen((m_root / platform::BuildTreeMarker).c_str(), "w"));
    EXPECT_EQ(localFileFolderFor(m_root.string(), nullptr, home.c_str()), m_root.string());
    EXPECT_FALSE(fs::exists(m_root / "home")) << "no data folder is made when none is needed";
    // The tests themselves run from one.
    EXPECT_EQ(platform::localFileFolder(), platform::programFolder());
}

TEST_F(LocalFileFolder, OtherwiseTheUsersDataFolderIsMadeAndUsed) {
    const std::string missing = (m_root / "no-such-folder").string();
    const std::string home = (m_root / "home").string();
    const std::string data = (m_root / "data").string();

    // XDG_DATA_HOME, when absolute, names the data folder.
    EXPECT_EQ(localFileFolderFor(missing, data.c_str(), home.c_str()), data + "/mitu");
    EXPECT_TRUE(fs::is_directory(m_root / "data" / "mitu"));

    // Unset, empty or relative: the default under the home folder, made with its parents.
    const std::string fallback = home + "/.local/share/mitu";
    EXPECT_EQ(localFileFolderFor(missing, nullptr, home.c_str()), fallback);
    EXPECT_TRUE(fs::is_directory(fallback));
    EXPECT_EQ(localFileFolderFor(missing, "", home.c_str()), fallback);
    EXPECT_EQ(localFileFolderFor(missing, "relative/data", home.c_str()), fallback);
    EXPECT_FALSE(fs::exists("relative")) << "a relative XDG_DATA_HOME is ignored";

    // An existing data folder is used again.
    EXPECT_EQ(localFileFolderFor(missing, data.c_str(), home.c_str()), data + "/mitu");
}

TEST_F(LocalFileFolder, AFolderTheUserMayNotWriteIsPassedOver) {
    // Root may write anywhere, so as root the rule is tried as "nobody" in a
    // child process, as an installed program in /usr/bin meets it.
    const fs::path locked = m_root / "locked";
    const fs::path home = m_root / "home";
    ASSERT_TRUE(fs::create_directory(locked));
    ASSERT_TRUE(fs::create_directory(home));
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    fs::permissions(m_root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(home, fs::perms::all);
    const std::string expected = home.string() + "/.local/share/mitu";
    auto check = [&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            std::_Exit(2);
        std::_Exit(localFileFolderFor(locked.string(), nullptr, home.string().c_str()) == expected
                       ? 0
                       : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::is_directory(expected));
}

TEST_F(LocalFileFolder, AFileInTheWayOfTheDataFolderStillNamesIt) {
    // The folder cannot be made; the download into it reports the failure.
    const std::string data = (m_root / "data").string();
    ASSERT_TRUE(fs::create_directory(data));
    {
        std::FILE* f = std::fopen((data + "/mitu").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    EXPECT_EQ(localFileFolderFor((m_root / "missing").string(), data.c_str(), nullptr),
              data + "/mitu");
}

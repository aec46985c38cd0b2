// The service settings: built-in values, the variables, and settings files
// read by the program's reader (QSettings), each later source winning.

#include "checks/service_settings.h"
#include "platform/qt/settings_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using checks::ServiceSettings;

// The settings from `env` alone: no settings file exists where it points.
ServiceSettings withEnvironment(std::map<std::string, std::string> env) {
    env.emplace("XDG_CONFIG_DIRS", "/nonexistent/mitu-test");
    return ServiceSettings::load(platform::qt::readSettingsFile,
                                 [env](const char* name) -> const char* {
                                     auto it = env.find(name);
                                     return it == env.end() ? nullptr : it->second.c_str();
                                 });
}

TEST(ServiceSettings, DefaultsNameReservedPlaceholders) {
    ServiceSettings s = withEnvironment({});
    EXPECT_EQ(s.pingAddress.rfind("192.0.2.", 0), 0u) << s.pingAddress;
    EXPECT_TRUE(s.ftpServer.ends_with(".example")) << s.ftpServer;
    EXPECT_EQ(s.ftpPort, 21);
    EXPECT_EQ(s.ftpUser.rfind("anonymous@", 0), 0u);
    EXPECT_TRUE(s.ftpUser.ends_with(".example"));
    EXPECT_EQ(s.ftpPassword.rfind("anonymous@", 0), 0u);
    EXPECT_TRUE(s.ftpPassword.ends_with(".example"));
}

TEST(ServiceSettings, EveryValueCanBeReplacedFromTheEnvironment) {
    ServiceSettings s = withEnvironment({{"MITU_PING_ADDRESS", "127.0.0.1"},
                                         {"MITU_FTP_SERVER", "localhost"},
                                         {"MITU_FTP_PORT", "2121"},
                                         {"MITU_FTP_USER", "tester"},
                                         {"MITU_FTP_PASSWORD", "secret"},
                                         {"MITU_STUN_SERVER", "[::1]:3479"}});
    EXPECT_EQ(s.pingAddress, "127.0.0.1");
    EXPECT_EQ(s.ftpServer, "localhost");
    EXPECT_EQ(s.ftpPort, 2121);
    EXPECT_EQ(s.ftpUser, "tester");
    EXPECT_EQ(s.ftpPassword, "secret");
    EXPECT_EQ(s.stunServer, "[::1]:3479");
}

TEST(ServiceSettings, EmptyOrInvalidValuesKeepTheDefaults) {
    const ServiceSettings d = ServiceSettings::defaults();
    for (const char* port : {"", "0", "65536", "21x", "-1", " 21", "99999999999"}) {
        ServiceSettings s =
            withEnvironment({{"MITU_FTP_PORT", port},
                             {"MITU_FTP_SERVER", ""},
                             {"MITU_STUN_SERVER", std::string("localhost:") + port}});
        EXPECT_EQ(s.ftpPort, d.ftpPort) << port;
        EXPECT_EQ(s.ftpServer, d.ftpServer);
        EXPECT_EQ(s.stunServer, d.stunServer) << port;
    }
    EXPECT_EQ(withEnvironment({{"MITU_FTP_PORT", "65535"}}).ftpPort, 65535);
    EXPECT_EQ(withEnvironment({{"MITU_FTP_PORT", "21x"}}).problems,
              std::vector<std::string>{
                  "MITU_FTP_PORT: ftp_port: \"21x\" is not a port number (1 to 65535); ignored"});
}

// Settings files in a folder of the test's own, as XDG_CONFIG_DIRS and
// XDG_CONFIG_HOME name them.
class SettingsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "mitu-conf-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        env = {
            {"XDG_CONFIG_DIRS", (root / "org1").string() + ":relative:" + (root / "org2").string()},
            {"XDG_CONFIG_HOME", (root / "user").string()}};
    }
    void TearDown() override { std::filesystem::remove_all(root); }
    void write(const std::string& file, const std::string& text) {
        std::filesystem::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    }
    std::string at(const std::string& file, int line) {
        return (root / file).string() + ":" + std::to_string(line);
    }
    ServiceSettings load() {
        return ServiceSettings::load(platform::qt::readSettingsFile,
                                     [this](const char* name) -> const char* {
                                         auto it = env.find(name);
                                         return it == env.end() ? nullptr : it->second.c_str();
                                     });
    }
    std::filesystem::path root;
    std::map<std::string, std::string> env;
};

TEST_F(SettingsFiles, EachLaterSourceWins) {
    write("org2/mitu/mitu.conf", "[service]\nping_address = 10.0.0.2\nftp_server = two.example\n"
                                 "ftp_port = 2100\nftp_user = two\n");
    write("org1/mitu/mitu.conf", "; the help desk's\n[service]\nping_address = ::1\n"
                                 "ftp_user = \"desk, first\"\nftp_password = guest\n");
    write("user/mitu/mitu.conf", "[service]\nftp_password = typed\nftp_password_file = secret\n");
    write("user/mitu/secret", "from-file\nsecond line\n");
    env["MITU_FTP_PORT"] = "2121";
    const ServiceSettings s = load();
    EXPECT_EQ(s.problems, std::vector<std::string>{});
    const std::string u = "user/mitu/mitu.conf", o1 = "org1/mitu/mitu.conf",
                      o2 = "org2/mitu/mitu.conf";
    const std::vector<std::tuple<std::string, std::string, std::string>> expected{
        {"ping_address", s.pingAddress, at(o1, 3)},
        {"ftp_server", s.ftpServer, at(o2, 3)},
        {"ftp_port", std::to_string(s.ftpPort), "MITU_FTP_PORT"},
        {"ftp_user", s.ftpUser, at(o1, 4)},
        {"ftp_password", s.ftpPassword, at(u, 3) + " (ftp_password_file)"}};
    const std::vector<std::string> values{"::1", "two.example", "2121", "desk, first", "from-file"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [key, value, origin] = expected[i];
        EXPECT_EQ(value, values[i]) << key;
        EXPECT_EQ(s.origins.at(key), origin) << key;
    }
}

TEST_F(SettingsFiles, WhatCannotBeUsedIsReportedWithItsLineAndTheValueBeforeStays) {
    write("org1/mitu/mitu.conf", "[service]\nping_address = 10.0.0.1\nftp_port = 2100\n");
    write("user/mitu/mitu.conf", "[service]\n"
                                 "ftp_port = 21x\n"
                                 "just words\n"
                                 "ping_address = 999.1.1.1\n"
                                 "ftp_user = a,b\n"
                                 "colour = blue\n"
                                 "ftp_password_file = missing\n"
                                 "[other\n");
    const ServiceSettings s = load();
    EXPECT_EQ(s.pingAddress, "10.0.0.1");
    EXPECT_EQ(s.ftpPort, 2100);
    EXPECT_EQ(s.ftpUser, ServiceSettings::defaults().ftpUser);
    EXPECT_EQ(s.ftpPassword, ServiceSettings::defaults().ftpPassword);
    const std::string u = "user/mitu/mitu.conf";
    for (const std::string& problem :
         {at(u, 3) + ": not a setting (KEY = VALUE): just words",
          at(u, 6) + ": unknown key \"colour\" in [service]",
          at(u, 8) + ": a section name without its closing ]",
          at(u, 2) + ": ftp_port: \"21x\" is not a port number (1 to 65535); ignored",
          at(u, 4) + ": ping_address: \"999.1.1.1\" is not an IPv4 address (four numbers from 0 "
                     "to 255); ignored",
          at(u, 5) + ": ftp_user: a value with a comma must be in double quotes; ignored",
          at(u, 7) + ": ftp_password_file: cannot read " + (root / "user/mitu/missing").string() +
              ": No such file or directory; ignored"})
        EXPECT_NE(std::find(s.problems.begin(), s.problems.end(), problem), s.problems.end())
            << problem;
    EXPECT_EQ(s.problems.size(), 7u);
}

} // namespace

#pragma once

// Runs a program of the project as a user would, for end-to-end tests.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `path` with `args`, its input empty and its output in files; kills
// it after `seconds`.
inline Result runProgram(const char* path, const std::vector<std::string>& args, int seconds = 30) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/mitu-cli-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    const fs::path in = dir / "in", out = dir / "out", err = dir / "err";
    std::vector<char*> argv{const_cast<char*>(path)};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) { // only async-signal-safe calls from here on
        int i = ::open(in.c_str(), O_RDONLY | O_CREAT, 0644);
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(i, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execv(path, argv.data());
        ::_exit(127);
    }
    Result result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << path << " did not finish";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(out);
    result.err = slurp(err);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return result;
}

// Runs `commandLine` through the shell (so it may start with `ip netns exec
// NAME` or variables), capturing standard output and standard error.
inline Result runShell(const std::string& commandLine) {
    char errPath[] = "/tmp/mitu-cli-err-XXXXXX";
    const int errFile = ::mkstemp(errPath);
    if (errFile < 0)
        return {};
    ::close(errFile);
    const std::string command = commandLine + " 2>" + std::string(errPath);
    Result result;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe))
            result.out += chunk;
        int raw = ::pclose(pipe);
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    result.err = slurp(errPath);
    ::unlink(errPath);
    return result;
}

} // namespace

#pragma once

// Where mitu-ftp's login comes from besides --user and --password: a
// password file, the environment, ~/.netrc, a prompt on the terminal.

#include "cli/ftp_command_line.h"

#include <string>

namespace mituftp {

// The environment variable a password may come from.
inline constexpr const char* PasswordVariable = "MITU_FTP_PASSWORD";

// A login source that is there but must not be used; `message` says why.
struct LoginError {
    std::string message;
};

// Completes `options.user` and `options.password` for `options.host`. The
// password comes from the first of: --password (with a warning on a
// terminal), the first line of --password-file, MITU_FTP_PASSWORD,
// ~/.netrc, a prompt without echo when standard input is a terminal. The
// netrc entry for the host (its `machine` entry, else `default`) also gives
// the user name when --user was not given; its password counts only for
// its own login. With no user name at all the login is anonymous. Throws
// UsageError for a --password-file that cannot be read and LoginError for
// a netrc file that holds a password and others may read.
void completeLogin(Options& options);

} // namespace mituftp

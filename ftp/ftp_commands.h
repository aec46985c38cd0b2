#pragma once

// The commands the client sends, as one enumeration: the control side
// keeps the last one sent and hands each final reply to that command's
// handler. The greeting counts as the answer to a command of its own.

#include <cstdint>
#include <string_view>

namespace ftp {

enum class Command : std::uint8_t {
    Greeting,
    User,
    Pass,
    Auth,
    Pbsz,
    Prot,
    Pwd,
    Cwd,
    Mkd,
    Rmd,
    Dele,
    Rnfr,
    Rnto,
    Quit,
    Type,
    Size,
    Pasv,
    Epsv,
    Port,
    Eprt,
    Rest,
    Retr,
    Stor,
    List,
    Mlsd,
    Feat,
    Other, // any verb not in this list
};

// The command a verb names ("RETR": Command::Retr); Other for the rest.
Command commandOf(std::string_view verb);

// The commands whose reply comes after a data connection's transfer.
inline bool isTransfer(Command command) {
    return command == Command::Retr || command == Command::Stor || command == Command::List ||
           command == Command::Mlsd;
}

} // namespace ftp

#include "ftp/ftp_commands.h"

#include <array>
#include <utility>

namespace ftp {

Command commandOf(std::string_view verb) {
    static constexpr std::array<std::pair<std::string_view, Command>, 25> Verbs{{
        {"USER", Command::User}, {"PASS", Command::Pass}, {"AUTH", Command::Auth},
        {"PBSZ", Command::Pbsz}, {"PROT", Command::Prot}, {"PWD", Command::Pwd},
        {"CWD", Command::Cwd},   {"MKD", Command::Mkd},   {"RMD", Command::Rmd},
        {"DELE", Command::Dele}, {"RNFR", Command::Rnfr}, {"RNTO", Command::Rnto},
        {"QUIT", Command::Quit}, {"TYPE", Command::Type}, {"SIZE", Command::Size},
        {"PASV", Command::Pasv}, {"EPSV", Command::Epsv}, {"PORT", Command::Port},
        {"EPRT", Command::Eprt}, {"REST", Command::Rest}, {"RETR", Command::Retr},
        {"STOR", Command::Stor}, {"LIST", Command::List}, {"MLSD", Command::Mlsd},
        {"FEAT", Command::Feat},
    }};
    for (const auto& [text, command] : Verbs)
        if (text == verb)
            return command;
    return Command::Other;
}

} // namespace ftp

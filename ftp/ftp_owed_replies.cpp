// Which command an arriving reply answers. A server answers commands in
// order, so the oldest owed reply comes first; but the answer to a command
// whose method has ended may never come, or, after a transfer command, only
// once the server has noticed the end of the data connection, possibly
// after it has answered the next command. So an ended command's entry
// takes a reply only when it is one that command can get (for a transfer:
// the news of its end), or when no later command can get it.
#include "ftp/ftp_owed_replies.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace ftp {

namespace {

bool among(std::int16_t code, std::initializer_list<int> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// The final replies each command can get, besides the ones any command can
// (RFC 959 and 3659); a transfer command also gets its preliminary replies.
struct Answers {
    Command command;
    std::array<std::int16_t, 12> codes; // 0 ends the list
};

constexpr std::array<std::int16_t, 12> TransferEnds = {226, 250, 425, 426, 450, 451,
                                                       452, 532, 550, 551, 552, 553};

constexpr Answers AnswerTable[] = {
    {Command::User, {230, 331, 332}}, {Command::Pass, {202, 230, 332}},
    {Command::Cwd, {250, 550}},       {Command::Rmd, {250, 550}},
    {Command::Pwd, {257, 550}},       {Command::Mkd, {257, 550}},
    {Command::Dele, {250, 450, 550}}, {Command::Rnfr, {350, 450, 550}},
    {Command::Rnto, {250, 532, 553}}, {Command::Type, {200}},
    {Command::Port, {200}},           {Command::Eprt, {200}},
    {Command::Pasv, {227}},           {Command::Epsv, {229}},
    {Command::Rest, {350}},           {Command::Size, {213, 550}},
    {Command::Feat, {211}},           {Command::Quit, {221}},
    {Command::Retr, TransferEnds},    {Command::Stor, TransferEnds},
    {Command::List, TransferEnds},    {Command::Mlsd, TransferEnds},
};

} // namespace

bool OwedReplies::canAnswer(Command command, std::int16_t code) {
    // Every command can be refused as unknown, malformed or unauthorised,
    // and any reply can announce the end of the service.
    if (among(code, {421, 500, 501, 502, 503, 504, 530}))
        return true;
    if (isTransfer(command) && code < 200)
        return true;
    for (const Answers& row : AnswerTable)
        if (row.command == command)
            return std::find(row.codes.begin(), row.codes.end(), code) != row.codes.end();
    return true;
}

void OwedReplies::sent(Command command) {
    m_entries.push_back(Entry{command, false});
    while (m_entries.size() > MaxEntries)
        m_entries.pop_front();
}

void OwedReplies::abandon() {
    for (Entry& entry : m_entries)
        entry.ended = true;
}

bool OwedReplies::owesCurrent(Command command) const {
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const Entry& e) { return !e.ended && e.command == command; });
}

bool OwedReplies::owesCurrentTransfer() const {
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [](const Entry& e) { return !e.ended && isTransfer(e.command); });
}

OwedReplies::Owner OwedReplies::take(std::int16_t code) {
    if (code < 200) {
        // A preliminary reply opens a transfer: the pending method's, if it
        // has sent one, else the late opening of an ended one.
        bool ended = false;
        for (const Entry& entry : m_entries) {
            if (isTransfer(entry.command) && !entry.ended)
                return Owner::Current;
            ended = ended || isTransfer(entry.command);
        }
        return ended ? Owner::Ended : Owner::Current;
    }
    for (auto at = m_entries.begin(); at != m_entries.end();) {
        if (!at->ended) {
            m_entries.erase(at);
            return Owner::Current;
        }
        const bool later = std::any_of(std::next(at), m_entries.end(),
                                       [&](const Entry& e) { return canAnswer(e.command, code); });
        // An ended transfer is owed the news of its end; other replies it
        // could get go to a later command that can get them too.
        const bool its = isTransfer(at->command) ? among(code, {226, 250, 425, 426, 451})
                                                 : canAnswer(at->command, code);
        if (its || !later) {
            m_entries.erase(at);
            return Owner::Ended;
        }
        if (isTransfer(at->command))
            ++at; // its end may still come after this reply
        else
            at = m_entries.erase(at); // answered out of turn: the server has passed it by
    }
    return Owner::Current; // unsolicited
}

} // namespace ftp

// Which command an arriving reply answers. A server answers commands in
// order, so the oldest owed reply comes first; but the answer to a command
// whose method has ended may never come, or, after a transfer command, only
// once the server has noticed the end of the data connection, possibly
// after it has answered the next command. So an ended command's entry
// takes a reply only when it is one that command can get (for a transfer:
// the news of its end), or when no later command can get it.
#include "ftp/ftp_owed_replies.h"

#include <algorithm>
#include <initializer_list>

namespace ftp {

namespace {

bool among(std::int16_t code, std::initializer_list<int> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

} // namespace

bool OwedReplies::canAnswer(const std::string& verb, std::int16_t code) {
    // Every command can be refused as unknown, malformed or unauthorised,
    // and any reply can announce the end of the service.
    if (among(code, {421, 500, 501, 502, 503, 504, 530}))
        return true;
    if (verb == "USER")
        return among(code, {230, 331, 332});
    if (verb == "PASS")
        return among(code, {202, 230, 332});
    if (verb == "CWD" || verb == "RMD")
        return among(code, {250, 550});
    if (verb == "PWD" || verb == "MKD")
        return among(code, {257, 550});
    if (verb == "DELE")
        return among(code, {250, 450, 550});
    if (verb == "RNFR")
        return among(code, {350, 450, 550});
    if (verb == "RNTO")
        return among(code, {250, 532, 553});
    if (verb == "TYPE" || verb == "PORT" || verb == "EPRT")
        return code == 200;
    if (verb == "PASV")
        return code == 227;
    if (verb == "EPSV")
        return code == 229;
    if (verb == "REST")
        return code == 350;
    if (verb == "SIZE")
        return among(code, {213, 550});
    if (verb == "FEAT")
        return code == 211;
    if (verb == "QUIT")
        return code == 221;
    if (isTransfer(verb))
        return code < 200 ||
               among(code, {226, 250, 425, 426, 450, 451, 452, 532, 550, 551, 552, 553});
    return true;
}

void OwedReplies::sent(const std::string& verb) {
    m_entries.push_back(Entry{verb, false});
    while (m_entries.size() > MaxEntries)
        m_entries.pop_front();
}

void OwedReplies::abandon() {
    for (Entry& entry : m_entries)
        entry.ended = true;
}

bool OwedReplies::owesCurrent(const std::string& verb) const {
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const Entry& e) { return !e.ended && e.verb == verb; });
}

bool OwedReplies::owesCurrentTransfer() const {
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [](const Entry& e) { return !e.ended && isTransfer(e.verb); });
}

OwedReplies::Owner OwedReplies::take(std::int16_t code) {
    if (code < 200) {
        // A preliminary reply opens a transfer: the pending method's, if it
        // has sent one, else the late opening of an ended one.
        bool ended = false;
        for (const Entry& entry : m_entries) {
            if (isTransfer(entry.verb) && !entry.ended)
                return Owner::Current;
            ended = ended || isTransfer(entry.verb);
        }
        return ended ? Owner::Ended : Owner::Current;
    }
    for (auto at = m_entries.begin(); at != m_entries.end();) {
        if (!at->ended) {
            m_entries.erase(at);
            return Owner::Current;
        }
        const bool later = std::any_of(std::next(at), m_entries.end(),
                                       [&](const Entry& e) { return canAnswer(e.verb, code); });
        // An ended transfer is owed the news of its end; other replies it
        // could get go to a later command that can get them too.
        const bool its = isTransfer(at->verb) ? among(code, {226, 250, 425, 426, 451})
                                              : canAnswer(at->verb, code);
        if (its || !later) {
            m_entries.erase(at);
            return Owner::Ended;
        }
        if (isTransfer(at->verb))
            ++at; // its end may still come after this reply
        else
            at = m_entries.erase(at); // answered out of turn: the server has passed it by
    }
    return Owner::Current; // unsolicited
}

} // namespace ftp

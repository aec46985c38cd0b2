#pragma once

// The final replies the server still owes the client, oldest first, and
// whether each belongs to the method now pending or to one that has ended
// (cancelled, timed out and given up, failed on the data connection).

#include "ftp/ftp_commands.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace ftp {

class OwedReplies {
public:
    enum class Owner {
        Current, // act on it
        Ended    // show it only: its method has ended
    };

    // A command has gone out; its final reply is owed.
    void sent(Command command);
    // The pending method has ended: what it is still owed is left to come
    // and go unheeded.
    void abandon();
    // Whose reply an arriving reply is, and, for a final reply, takes it
    // off the list.
    Owner take(std::int16_t code);
    // The command of the pending method whose final reply is still owed.
    bool owesCurrent(Command command) const;
    // The pending method's transfer command (RETR, STOR, LIST, MLSD) still owes
    // its final reply.
    bool owesCurrentTransfer() const;
    void clear() { m_entries.clear(); }
    std::size_t size() const { return m_entries.size(); }

    // Whether `code` is among the replies `command` can get (RFC 959 and
    // 3659; any code for a command not in the table).
    static bool canAnswer(Command command, std::int16_t code);

    // A server that never answers, over and over, leaves no more than this
    // many ended entries behind.
    static constexpr std::size_t MaxEntries = 16;

private:
    struct Entry {
        Command command;
        bool ended = false;
    };
    std::deque<Entry> m_entries;
};

} // namespace ftp

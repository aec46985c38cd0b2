#pragma once

// A listing's text while it arrives: kept in pieces of at least 64 KiB, so
// that growing it never copies what came before, and joined once at its
// end into a string of exactly its length, each piece freed as it is
// copied. A listing thus costs about its own length in memory at any time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ftp {

class ListingText {
public:
    static constexpr std::size_t PieceSize = std::size_t(64) << 10;

    void append(const std::uint8_t* bytes, std::size_t count) {
        const char* at = reinterpret_cast<const char*>(bytes);
        m_size += count;
        if (!m_pieces.empty()) { // fill the last piece first
            std::string& last = m_pieces.back();
            const std::size_t room = std::min(count, last.capacity() - last.size());
            last.append(at, room);
            at += room;
            count -= room;
        }
        if (count > 0) {
            m_pieces.emplace_back();
            m_pieces.back().reserve(std::max(count, PieceSize));
            m_pieces.back().append(at, count);
        }
    }
    std::size_t size() const { return m_size; }
    void clear() {
        m_pieces = {};
        m_size = 0;
    }
    // The whole text; the pieces are gone afterwards.
    std::string take() {
        std::string text;
        text.reserve(m_size);
        for (std::string& piece : m_pieces) {
            text += piece;
            piece = std::string();
        }
        clear();
        return text;
    }

private:
    std::vector<std::string> m_pieces;
    std::size_t m_size = 0;
};

} // namespace ftp

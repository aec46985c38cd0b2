#pragma once
// Line ends of TYPE A transfers: CR LF on the wire, LF in the local file.
// Pure functions over one piece of data at a time. What a received piece
// leaves undecided, a CR at its end, is a state the caller keeps between
// pieces: it goes in with each piece and comes back out.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ftp {

// Appends `count` received bytes to `local`, each CR LF as LF; a CR
// followed by anything else is kept. `heldCR` tells that the previous
// piece ended in a CR not yet appended; the result tells the same of this
// piece, whose last CR waits for the next byte.
bool AsciiToLocal(const std::uint8_t* bytes, std::size_t count, bool heldCR,
                  std::vector<std::uint8_t>& local);
// The end of the data: a held CR is appended as it is.
void AsciiToLocalEnd(bool heldCR, std::vector<std::uint8_t>& local);

// Appends `count` bytes of the local file to `wire`, each LF as CR LF.
void AsciiToWire(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& wire);

} // namespace ftp

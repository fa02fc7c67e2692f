// The sizes that bound what a run holds in memory and how much it reads or writes at a time, one
// word a family:
//   BUFFER  a byte stream's buffer;
//   CHUNK   a patch file read again is checked chunk by chunk;
//   PIECE   what is read or copied at a time of something too long to hold whole;
//   SPAN    neighbouring blocks read back, or written, together;
//   VIEW    the two files compared a view at a time;
//   WINDOW  what is held of a patch at a time.
//
// What they add up to, beside names and the message (the README promises under 32 MiB):
// applying holds a patch WINDOW of records (4 MiB of their bytes, and 16 bytes of place a block:
// 8 MiB more for a window of the shortest records; twice that while the list grows), two CHUNKs
// of the patch (2 MiB), a long block's PIECE of each side (2 MiB), a verification SPAN and PIECE
// (1.25 MiB) and a write SPAN (1 MiB): some 14 MiB, 26 MiB at worst while a list grows. Creating
// holds its WINDOW of records (6 MiB), two VIEWs (2 MiB), an open block's PIECE of each side
// (2 MiB) and a WRITE_BUFFER: some 10 MiB.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte streams read in buffers that start small (many sources look at a few header fields only)
// and double up to READ_BUFFER; writes are gathered up to WRITE_BUFFER.
const std::size_t FIRST_READ_BUFFER = 4 * 1024;
const std::size_t READ_BUFFER = 64 * 1024;
const std::size_t WRITE_BUFFER = 256 * 1024;

// A patch read again is read in whole chunks, each checked against what it held at first.
const std::size_t CHECKED_CHUNK = 1024 * 1024;

// Files copied whole (packaging, an embedded patch) go through pieces of this size.
const std::size_t COPY_PIECE = 64 * 1024;
// A block whose record is larger than a patch window is read in pieces of each side.
const std::size_t LONG_BLOCK_PIECE = 1024 * 1024;
// A block too large for a verification span is read back in pieces of this size.
const std::size_t VERIFY_PIECE = 256 * 1024;
// Creating keeps up to this much of each side of a block open across views; a longer block goes
// out as it is found.
const std::size_t OPEN_BLOCK_PIECE = 1024 * 1024;
// Creating writes a block up to this long from the views in hand through a record of its own.
const std::size_t IN_HAND_PIECE = 64 * 1024;

// Neighbouring blocks are read back together, in one read of up to VERIFY_SPAN, when the
// unchanged bytes between them are at most VERIFY_GAP: reading a longer gap costs more than a
// read of its own.
const std::size_t VERIFY_SPAN = 1024 * 1024;
const std::uint64_t VERIFY_GAP = 16 * 1024;
// Neighbouring blocks at most WRITE_GAP apart are written together, with the target's bytes
// between them, in one write of up to WRITE_SPAN.
const std::size_t WRITE_SPAN = 1024 * 1024;
const std::uint64_t WRITE_GAP = 1024;

// The two files are compared a view at a time: what reads a file fastest. Windows reads into a
// buffer that stays in the processor's second-level cache until it is used.
#ifdef _WIN32
const std::size_t VIEW = 64 * 1024;
#else
const std::size_t VIEW = 1024 * 1024;
#endif

// Applying holds up to this many bytes of a patch's records at a time.
const std::uint64_t PATCH_WINDOW = 4 * 1024 * 1024;
// Creating keeps a patch's records in memory up to about this many bytes, written once the
// comparison is over; a larger patch goes into its output's fresh file as it is found.
const std::size_t CREATE_WINDOW = 6 * 1024 * 1024;

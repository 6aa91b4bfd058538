// Input format of the shared-ring target, shared with the seed writer.
//
//   u8 capacity (1 + value % 8), u8 frame length (1 + value % 64), u8 flags, u8 operation count N,
//   N operation bytes, then the hostile writes to the end: u32 word index (taken modulo the
//   object's words, or the header's 12 words with kHeaderOnly), u32 value.
//
// An operation byte: bits 0-2 select write, write-latest, read, read-latest, clear or a
// length-mismatched call; bits 3-7 are the read-latest bound.
#ifndef CORVESSA_FUZZ_RING_SCRIPT_H
#define CORVESSA_FUZZ_RING_SCRIPT_H

#include <cstdint>

namespace corvessa::fuzz {

enum RingFlags : std::uint8_t {
    kHeaderOnly = 1  ///< hostile writes touch only the header, so every slot holds whole frames
};

enum class RingOp : std::uint8_t { write, writeLatest, read, readLatest, clear, mismatch, count };

/// An operation byte for `op` with read-latest bound `bound` (0 ... 31).
constexpr std::uint8_t ringOpByte(RingOp op, std::uint8_t bound = 0) {
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(op) | (bound << 3));
}

}  // namespace corvessa::fuzz

#endif

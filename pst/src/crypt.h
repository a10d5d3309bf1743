// Block encodings of [bCryptMethod]: permute (1) and cyclic (2). Only data blocks are encoded;
// internal blocks (XBLOCK, XXBLOCK, SLBLOCK, SIBLOCK), pages and the header never are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pst::detail {

// Permute: a byte substitution; encode is the writer's direction, decode the reader's.
void permute_encode(uint8_t* data, size_t size);
void permute_decode(uint8_t* data, size_t size);
// Cyclic: keyed by the block's BID (its low 32 bits); the same call encodes and decodes.
void cyclic_code(uint8_t* data, size_t size, uint32_t key);

} // namespace pst::detail

#pragma once
// The scrambling of encrypted Paradox tables.
//
// Data blocks of an encrypted table (and its whole .MB file) are scrambled in 256-byte chunks with
// three fixed permutation tables; the key is the low word of the checksum stored in the header.
// The password itself is only checked: its checksum must equal the stored one.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrinth::paradox {

// The checksum a password gives (0 for an empty password).
std::uint32_t passwordChecksum(const std::string& password);

// Data block `blockNumber` (1-based) of a .DB or index file; size a multiple of 256.
void decryptBlock(std::uint8_t* block, std::size_t size, std::uint32_t checksum, std::uint32_t blockNumber);
void encryptBlock(std::uint8_t* block, std::size_t size, std::uint32_t checksum, std::uint32_t blockNumber);

// Any run of whole 256-byte chunks of a .MB file (the scrambling does not depend on the position).
void decryptBlobChunks(std::uint8_t* bytes, std::size_t size, std::uint32_t checksum);
void encryptBlobChunks(std::uint8_t* bytes, std::size_t size, std::uint32_t checksum);

}  // namespace tavrinth::paradox

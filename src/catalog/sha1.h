#pragma once
// SHA-1 digests, used to name binary values in dumps without writing their bytes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrinth {

// The 40 lower-case hexadecimal digits of the SHA-1 digest of the bytes.
std::string sha1Hex(const void* data, std::size_t size);
inline std::string sha1Hex(const std::string& bytes) { return sha1Hex(bytes.data(), bytes.size()); }

}  // namespace tavrinth

#pragma once
// Memos appended to a dBase memo file (.DBT of dBase III and IV/7, .FPT of FoxPro): the blocks of
// new memos, built in memory and handed over as they are finished.
//
//   dBase III  the text, then 0x1A 0x1A; blocks of 512 bytes
//   dBase IV   FF FF 08 00, u32 LE length + 8, the data; the header's block size (512 usually)
//   FoxPro     u32 BE type (1 text, 0 picture), u32 BE length, the data; the header's block size
//
// Each memo starts a new block; the header's first word names the next free block.

#include <cstdint>
#include <string>
#include <vector>

namespace tavrinth::dbase {

class MemoAppender {
public:
    enum class Kind { DBase3, DBase4, FoxPro };
    // Appends from block `nextBlock` on (a new file: 1, after its header block).
    MemoAppender(Kind kind, std::uint32_t blockSize, std::uint64_t nextBlock);
    // Appends one memo (text: a FoxPro text block, else a picture block); returns its block
    // number, or 0 with `why` set when the memo cannot be kept.
    std::uint64_t add(const std::string& data, bool text, std::string& why);
    // The bytes added since the last call, and in `offset` where they go in the file.
    std::vector<std::uint8_t> take(std::uint64_t& offset);
    // The block after the last memo: the header's next free block.
    std::uint64_t nextBlock() const { return next_; }
    std::size_t pending() const { return bytes_.size(); }

private:
    Kind kind_;
    std::uint32_t blockSize_;
    std::uint64_t next_;
    std::uint64_t start_;  // block of bytes_[0]
    std::vector<std::uint8_t> bytes_;
};

// The text a dBase record keeps for a memo pointer: the block number right-aligned in `width`
// characters, or as a 4-byte little-endian number when width is 4 (Visual FoxPro).
std::string memoPointerBytes(std::uint64_t block, std::uint32_t width);

}  // namespace tavrinth::dbase

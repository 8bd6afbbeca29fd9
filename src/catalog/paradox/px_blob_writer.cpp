// The BLOB file (.MB) of a new table, and BLOBs appended to an existing one.
//
// Layout (4 KB units): a header block, then the BLOBs in the order the records hold them. A BLOB
// shorter than 2 KB goes into a shared block (type 3: a 12-byte head, 64 five-byte entries used
// from the last one down, data in 16-byte chunks from offset 0x150); a longer one gets a block of
// its own (type 2: type, block count, length, modification number, then the data). Every BLOB
// carries modification number 1, as after a restructure, and so does the header.

#include <algorithm>
#include <cstring>

#include "../byte_order.h"
#include "px_crypt.h"
#include "px_writer_internal.h"

namespace tavrinth::paradox::writer {

namespace {

constexpr std::size_t kEntries = 64;
constexpr std::size_t kEntryTable = 12;
constexpr unsigned kChunk = 16;
constexpr unsigned kFirstChunk = 0x150 / kChunk;
constexpr unsigned kChunksPerBlock = BlobFile::kMbBlock / kChunk;
constexpr std::size_t kSingleHead = 9;
constexpr std::uint64_t kMaxFile = 0xFFFFFF00ull;  // offsets are 32-bit with the low byte free

}  // namespace

BlobFile::BlobFile() : bytes_(kMbBlock, 0) {
    std::uint8_t* h = bytes_.data();
    h[0x00] = 0;                    // header block
    storeLE16(h + 0x01, 1);         // one 4 KB unit
    storeLE16(h + 0x03, kModification);
    static const std::uint8_t kConstant[6] = {0x82, 0x73, 0x02, 0x00, 0x29, 0x00};  // in every .MB seen
    std::memcpy(h + 0x05, kConstant, sizeof kConstant);
    storeLE16(h + 0x0B, 0x1000);    // block unit
    storeLE16(h + 0x0D, 0x1000);    // shared block size
    h[0x0F] = 0;
    h[0x10] = kChunk;               // chunk size of shared blocks
    storeLE16(h + 0x11, kEntries);  // entries of a shared block
    storeLE16(h + 0x13, static_cast<std::uint16_t>(kSmallBlob));  // small/large threshold
    storeLE16(h + 0x29, 0x02A1);    // in every .MB seen; meaning unknown
    // Offsets 0x38..0x3F of the engine's files name a block with free space (offset | 2 and the
    // free chunks of a shared block, offset | 3 and the size of a free block). Left zero: no free
    // space is announced, so the engine starts new blocks for new BLOBs instead of reusing the
    // rest of ours. That wastes a little space but claims nothing that could be wrong.
}

BlobFile::BlobFile(std::uint64_t existingSize) : base_(existingSize) {}

std::vector<std::uint8_t> BlobFile::takeWritten(std::uint64_t& offset, bool all) {
    offset = base_;
    const std::size_t keep = all || !subOpen_ ? bytes_.size() : subBlock_;
    std::vector<std::uint8_t> out(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(keep));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(keep));
    base_ += keep;
    subBlock_ -= std::min(subBlock_, keep);
    if (all) subOpen_ = false;
    return out;
}

std::uint32_t BlobFile::add(const std::string& bytes, const std::string& what) {
    const std::size_t length = bytes.size();
    if (length < kSmallBlob) {
        const unsigned chunks = static_cast<unsigned>((length + kChunk - 1) / kChunk);
        if (!subOpen_ || nextEntry_ < 0 || nextChunk_ + chunks > kChunksPerBlock) {
            if (base_ + bytes_.size() + kMbBlock > kMaxFile) refuse(what + ": the BLOB file would exceed 4 GB");
            subBlock_ = bytes_.size();
            subOpen_ = true;
            bytes_.resize(bytes_.size() + kMbBlock, 0);
            bytes_[subBlock_] = 3;
            storeLE16(bytes_.data() + subBlock_ + 1, 1);
            nextEntry_ = kEntries - 1;
            nextChunk_ = kFirstChunk;
        }
        const auto index = static_cast<unsigned>(nextEntry_--);
        std::uint8_t* entry = bytes_.data() + subBlock_ + kEntryTable + 5 * index;
        entry[0] = static_cast<std::uint8_t>(nextChunk_);
        entry[1] = static_cast<std::uint8_t>(chunks);
        storeLE16(entry + 2, kModification);
        entry[4] = static_cast<std::uint8_t>(length - (chunks - 1) * kChunk);
        std::memcpy(bytes_.data() + subBlock_ + nextChunk_ * kChunk, bytes.data(), length);
        nextChunk_ += chunks;
        return static_cast<std::uint32_t>(base_ + subBlock_) | index;
    }
    const std::uint64_t units = (length + kSingleHead + kMbBlock - 1) / kMbBlock;
    if (units > 0xFFFF)
        refuse(what + ": a BLOB of " + std::to_string(length) +
               " bytes is larger than the 256 MB a Paradox BLOB can hold");
    if (base_ + bytes_.size() + units * kMbBlock > kMaxFile) refuse(what + ": the BLOB file would exceed 4 GB");
    const std::size_t offset = bytes_.size();
    bytes_.resize(offset + static_cast<std::size_t>(units) * kMbBlock, 0);
    std::uint8_t* block = bytes_.data() + offset;
    block[0] = 2;
    storeLE16(block + 1, static_cast<std::uint16_t>(units));
    storeLE32(block + 3, static_cast<std::uint32_t>(length));
    storeLE16(block + 7, kModification);
    std::memcpy(block + kSingleHead, bytes.data(), length);
    return static_cast<std::uint32_t>(base_ + offset) | 0xFFu;
}

OutputFile BlobFile::finish(const std::string& name, std::uint32_t checksum) {
    OutputFile out;
    out.name = name;
    out.bytes = std::move(bytes_);
    if (checksum != 0) encryptBlobChunks(out.bytes.data(), out.bytes.size(), checksum);
    bytes_.clear();
    return out;
}

std::string blobFieldBytes(std::uint8_t code, char letter, const CodePage& codePage, const FieldValue& v,
                           const std::string& where) {
    if (v.isNull()) return {};
    if (code == kMemo) {
        if (v.kind != ValueKind::String) refuse(where + ": a memo takes text");
        std::string bytes;
        if (!codePage.encode(v.text, bytes))
            refuse(where + ": the text has a character that code page " + codePage.name() + " cannot hold");
        return bytes;
    }
    if (v.kind != ValueKind::Binary) refuse(where + ": a '" + std::string(1, letter) + "' field takes binary data");
    if (code != kGraphic || v.text.empty()) return v.text;
    std::string bytes = std::string("\x01\x00\x00\x01", 4);
    std::uint8_t length[4];
    storeLE32(length, static_cast<std::uint32_t>(v.text.size()));
    bytes.append(reinterpret_cast<const char*>(length), 4);
    bytes += v.text;
    return bytes;
}

void storeBlobField(std::uint8_t code, unsigned length, const std::string& bytes, std::uint8_t* q, BlobFile& mb,
                    const std::string& mbPath, const std::string& where) {
    std::memset(q, 0, length);
    if (bytes.empty()) return;
    const std::size_t leader = length - 10;
    if (bytes.size() > 0xFFFFFFFFull) refuse(where + ": the value is larger than a BLOB can hold");
    if (bytes.size() <= leader) {
        if (code == kGraphic)
            // How the engine keeps a graphic short enough for the record is not known.
            refuse(where + ": a graphic of " + std::to_string(bytes.size() - 8) + " bytes fits the field's " +
                   std::to_string(leader) + "-byte leader, and how such a graphic is stored is not known; "
                   "give the field a smaller size");
        std::memcpy(q, bytes.data(), bytes.size());  // all in the record: no pointer
    } else {
        // The leader repeats the value's first bytes (a graphic's without its prefix).
        const std::size_t skip = code == kGraphic ? 8 : 0;
        std::memcpy(q, bytes.data() + skip, std::min(leader, bytes.size() - skip));
        storeLE32(q + leader, mb.add(bytes, where + ": " + mbPath));
        storeLE16(q + leader + 8, BlobFile::kModification);
    }
    storeLE32(q + leader + 4, static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace tavrinth::paradox::writer

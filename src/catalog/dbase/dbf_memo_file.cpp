#include "dbf_memo_file.h"

#include <cstdio>

#include "../byte_order.h"

namespace tavrinth::dbase {

MemoAppender::MemoAppender(Kind kind, std::uint32_t blockSize, std::uint64_t nextBlock)
    : kind_(kind), blockSize_(blockSize == 0 ? 512 : blockSize), next_(nextBlock), start_(nextBlock) {}

std::uint64_t MemoAppender::add(const std::string& data, bool text, std::string& why) {
    const std::uint64_t block = next_;
    const std::size_t at = bytes_.size();
    if (kind_ == Kind::DBase3) {
        if (data.find('\x1A') != std::string::npos) {
            why = "a dBase III memo cannot hold the byte 0x1A, which ends it";
            return 0;
        }
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        bytes_.push_back(0x1A);
        bytes_.push_back(0x1A);
    } else {
        if (data.size() > 0xFFFFFFFFull - 8) {
            why = "the memo is too long";
            return 0;
        }
        std::uint8_t head[8];
        if (kind_ == Kind::DBase4) {
            head[0] = 0xFF, head[1] = 0xFF, head[2] = 0x08, head[3] = 0x00;
            storeLE32(head + 4, static_cast<std::uint32_t>(data.size() + 8));
        } else {
            storeBE32(head, text ? 1 : 0);
            storeBE32(head + 4, static_cast<std::uint32_t>(data.size()));
        }
        bytes_.insert(bytes_.end(), head, head + 8);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
    }
    const std::size_t used = bytes_.size() - at;
    const std::uint64_t blocks = (used + blockSize_ - 1) / blockSize_;
    bytes_.resize(at + static_cast<std::size_t>(blocks) * blockSize_, 0);
    if (next_ + blocks > 0xFFFFFFFFull) {
        bytes_.resize(at);
        why = "the memo file would grow past the blocks a memo pointer can reach";
        return 0;
    }
    next_ += blocks;
    return block;
}

std::vector<std::uint8_t> MemoAppender::take(std::uint64_t& offset) {
    offset = start_ * blockSize_;
    start_ = next_;
    std::vector<std::uint8_t> out;
    out.swap(bytes_);
    return out;
}

std::string memoPointerBytes(std::uint64_t block, std::uint32_t width) {
    if (width == 4) {
        std::string out(4, '\0');
        storeLE32(reinterpret_cast<std::uint8_t*>(out.data()), static_cast<std::uint32_t>(block));
        return out;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%*llu", static_cast<int>(width), static_cast<unsigned long long>(block));
    return buf;
}

}  // namespace tavrinth::dbase

#include "dbf_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../byte_order.h"
#include "../engine_error.h"
#include "dbf_index.h"
#include "dbf_props.h"

namespace tavrinth::dbase {

namespace {

constexpr std::uint32_t kStretch = 1024;        // physical records per entry of the live index
constexpr std::size_t kBufferBytes = 64 * 1024;  // records read at a time

[[noreturn]] void corrupt(const std::string& file, const std::string& what) {
    throw EDBEngineError(EDBEngineError::Code::Corrupt, "Corrupt table file " + file + ": " + what);
}

bool isSpaceOrNul(std::uint8_t c) { return c == ' ' || c == 0; }

// The bytes with spaces and NULs removed at both ends.
std::string_view trimmed(const std::uint8_t* p, std::size_t n) {
    std::size_t b = 0, e = n;
    while (b < e && isSpaceOrNul(p[b])) ++b;
    while (e > b && isSpaceOrNul(p[e - 1])) --e;
    return {reinterpret_cast<const char*>(p + b), e - b};
}

void setInvalid(const std::uint8_t* p, std::size_t n, FieldValue& out) {
    out.setText(ValueKind::Invalid);
    out.text.assign(reinterpret_cast<const char*>(p), n);
}

bool invalidValue(const std::uint8_t* p, std::size_t n, FieldValue& out) {
    setInvalid(p, n, out);
    return true;
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A Python-style integer literal: optional sign, digits.
bool parseInteger(std::string_view s, std::int64_t& v) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    // Up to 18 digits cannot overflow: read them here (from_chars gives the same, more slowly).
    if (const std::size_t start = s[0] == '-' ? 1 : 0; s.size() > start && s.size() - start <= 18) {
        std::int64_t magnitude = 0;
        for (std::size_t i = start; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9') return false;
            magnitude = magnitude * 10 + (s[i] - '0');
        }
        v = start ? -magnitude : magnitude;
        return true;
    }
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && !(s.size() > 1 && s[0] == '-' && s[1] == '+');
}

bool parseReal(std::string_view s, double& v) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    // The common form [-]digits.digits with at most 15 digits: the digits as an integer are exact
    // in a double, and so is the power of ten, so one division gives the correctly rounded value,
    // the same double from_chars gives.
    {
        static const double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        std::size_t i = s[0] == '-' ? 1 : 0;
        std::uint64_t digits = 0;
        int intDigits = 0, fracDigits = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++intDigits) digits = digits * 10 + static_cast<unsigned>(s[i] - '0');
        if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
            for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++fracDigits)
                digits = digits * 10 + static_cast<unsigned>(s[i] - '0');
        }
        if (i == s.size() && intDigits > 0 && fracDigits > 0 && intDigits + fracDigits <= 15) {
            const double magnitude = static_cast<double>(digits) / kPow10[fracDigits];
            v = s[0] == '-' ? -magnitude : magnitude;
            return true;
        }
    }
    char buf[64];
    std::string long_;
    char* t = buf;
    if (s.size() > sizeof buf) {
        long_.assign(s);
        t = long_.data();
    } else {
        std::memcpy(buf, s.data(), s.size());
    }
    std::replace(t, t + s.size(), ',', '.');
    const auto r = std::from_chars(t, t + s.size(), v);
    return r.ec == std::errc() && r.ptr == t + s.size();
}

// Numbers of an ASCII field of a date, Python int() style (blanks around the digits allowed).
bool parseDatePart(const std::uint8_t* p, std::size_t n, int& v) {
    std::string_view s = trimmed(p, n);
    if (!allDigits(s)) return false;
    v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return true;
}

}  // namespace

// --- memo files ---------------------------------------------------------------------------------

class DBaseTable::Memo {
public:
    enum class Kind { DBase3, DBase4, FoxPro };

    Memo(std::unique_ptr<ByteSource> src, Kind kind) : src_(std::move(src)), kind_(kind) {
        std::uint8_t head[8] = {};
        src_->readZeroFilled(0, head, sizeof head);
        if (kind_ == Kind::FoxPro) {
            blockSize_ = loadBE16(head + 6);
        } else if (kind_ == Kind::DBase4) {
            std::uint8_t b[2] = {};
            src_->readZeroFilled(20, b, 2);
            blockSize_ = loadLE16(b);
        }
        if (blockSize_ == 0) blockSize_ = 512;
    }

    // Reads memo `block`; false when the pointer is broken (outside the file, cut short).
    // `binary` tells a FoxPro memo whose block type is not text.
    bool read(std::uint64_t block, std::string& data, bool& binary) {
        data.clear();
        binary = false;
        const std::uint64_t size = src_->size();
        const std::uint64_t at = block * blockSize_;
        if (block == 0 || at >= size) return false;
        if (kind_ == Kind::FoxPro) {
            std::uint8_t h[8];
            if (src_->readAt(at, h, 8) != 8) return false;
            const std::uint32_t type = loadBE32(h), length = loadBE32(h + 4);
            if (length > size - at - 8) return false;
            binary = type != 1;
            data.resize(length);
            return src_->readAt(at + 8, data.data(), length) == length;
        }
        std::uint8_t h[8] = {};
        src_->readZeroFilled(at, h, 8);
        if (h[0] == 0xFF && h[1] == 0xFF && h[2] == 0x08 && h[3] == 0x00) {
            const std::uint32_t length = loadLE32(h + 4);
            if (length < 8 || length > size - at) return false;
            data.resize(length - 8);
            return src_->readAt(at + 8, data.data(), data.size()) == data.size();
        }
        // dBase III: the text runs to 1A 1A (or 1A 00, or the end of the file).
        std::uint64_t pos = at;
        char chunk[512];
        while (pos < size) {
            const std::size_t n = src_->readAt(pos, chunk, sizeof chunk);
            if (n == 0) break;
            for (std::size_t i = 0; i < n; ++i) {
                if (chunk[i] != 0x1A) continue;
                std::uint8_t after = 0;
                const bool atEnd = pos + i + 1 >= size;
                if (!atEnd) {
                    if (i + 1 < n)
                        after = static_cast<std::uint8_t>(chunk[i + 1]);
                    else
                        src_->readAt(pos + i + 1, &after, 1);
                }
                if (atEnd || after == 0x1A || after == 0x00) {
                    data.append(chunk, i);
                    return true;
                }
            }
            data.append(chunk, n);
            pos += n;
        }
        return true;
    }

private:
    std::unique_ptr<ByteSource> src_;
    Kind kind_;
    std::uint32_t blockSize_ = 512;
};

// --- the table ----------------------------------------------------------------------------------

DBaseTable::DBaseTable(std::unique_ptr<ByteSource> dbf, std::unique_ptr<FileFamily> family, const OpenOptions& options)
    : dbf_(std::move(dbf)), family_(std::move(family)) {
    fileName_ = dbf_->name();
    readHeader();
    ownCodePageChoice_ = dbaseCodePage(header_.version, header_.languageDriver, header_.languageDriverName);
    if (!CodePage::find(ownCodePageChoice_.name)) ownCodePageChoice_ = {CodePage::kDefaultName, "default", true};
    if (!options.codePage.empty()) {
        codePage_ = CodePage::find(options.codePage);
        codePageChoice_ = {options.codePage, "code page given by the user", false};
    }
    if (!codePage_) {
        codePageChoice_ = ownCodePageChoice_;
        codePage_ = CodePage::find(codePageChoice_.name);
        if (codePageChoice_.fallback) warn(codePageChoice_.reason);
    }
    buildFields();
    checks_ = readFieldProperties(*dbf_, header_, raw_, fields_, *codePage_, warnings_);
    applyRequiredFlags();
    scanRecords();
}

std::vector<TIndexDef> DBaseTable::readIndexes() {
    return dbase::readIndexes(header_, fields_, *family_, *codePage_, warnings_);
}

DBaseTable::~DBaseTable() = default;

void DBaseTable::readHeader() {
    const std::uint64_t fileSize = dbf_->size();
    if (fileSize < 32) corrupt(fileName_, "the file is too short for a dBase header");
    std::uint8_t h[68] = {};
    dbf_->readZeroFilled(0, h, sizeof h);
    std::memcpy(loadedHeader_, h, sizeof loadedHeader_);
    Header& hd = header_;
    hd.version = h[0];
    hd.year = 1900 + h[1];
    hd.month = h[2];
    hd.day = h[3];
    hd.numRecords = loadLE32(h + 4);
    hd.headerLength = loadLE16(h + 8);
    hd.recordLength = loadLE16(h + 10);
    hd.transactionFlag = h[14];
    hd.encryptionFlag = h[15];
    hd.tableFlags = h[28];
    hd.languageDriver = h[29];
    hd.visualFoxPro = hd.version == 0x30 || hd.version == 0x31 || hd.version == 0x32;
    hd.foxPro = hd.visualFoxPro || hd.version == 0xF5 || hd.version == 0xFB;
    hd.level7 = (hd.version & 0x07) == 0x04 && !hd.foxPro;

    if (hd.version == 0x02 && (hd.headerLength > fileSize || hd.headerLength < 33))
        throw EDBEngineError(EDBEngineError::Code::Unsupported,
                             "Unsupported table " + fileName_ + ": dBase II tables cannot be read");
    const bool knownVersion = (hd.version & 0x07) == 0x03 || hd.level7 || hd.foxPro || hd.version == 0x02 ||
                              hd.version == 0x05 || hd.version == 0xE5;
    if (!knownVersion) {
        char what[64];
        std::snprintf(what, sizeof what, "unknown version byte 0x%02X (not a dBase file?)", hd.version);
        corrupt(fileName_, what);
    }
    if (hd.encryptionFlag == 1 && !hd.foxPro)
        throw EDBEngineError(EDBEngineError::Code::Unsupported,
                             "Unsupported table " + fileName_ + ": the table is encrypted by dBase");
    if (hd.headerLength > fileSize) corrupt(fileName_, "the file ends inside its header");
    if (hd.recordLength == 0) corrupt(fileName_, "the record length is 0");
    if (hd.level7) {
        std::size_t n = 0;
        while (n < 32 && h[32 + n] != 0) ++n;
        hd.languageDriverName.assign(reinterpret_cast<const char*>(h + 32), n);
    }

    // Field descriptors up to 0x0D, a NUL, the end of the header or the end of the file.
    const std::size_t descSize = hd.level7 ? 48 : 32;
    std::size_t pos = hd.level7 ? 68 : 32;
    const std::size_t limit = std::min<std::uint64_t>(hd.headerLength, fileSize);
    std::vector<std::uint8_t> d(descSize);
    bool terminated = false;
    while (pos < limit) {
        std::uint8_t first = 0;
        dbf_->readAt(pos, &first, 1);
        if (first == 0x0D) {
            terminated = true;
            break;
        }
        if (first == 0x00 || pos + descSize > limit) break;
        dbf_->readZeroFilled(pos, d.data(), descSize);
        RawField f;
        const std::size_t nameBytes = hd.level7 ? 32 : 11;
        std::size_t n = 0;
        while (n < nameBytes && d[n] != 0) ++n;
        f.name.assign(reinterpret_cast<const char*>(d.data()), n);
        if (hd.level7) {
            f.type = static_cast<char>(d[32]);
            f.length = d[33];
            f.decimals = d[34];
            f.mdxFlag = d[37];
        } else {
            f.type = static_cast<char>(d[11]);
            f.length = d[16];
            f.decimals = d[17];
            f.flags = hd.visualFoxPro ? d[18] : 0;
            f.mdxFlag = d[31];
        }
        if (f.type >= 'a' && f.type <= 'z') f.type = static_cast<char>(f.type - 'a' + 'A');
        raw_.push_back(std::move(f));
        pos += descSize;
        if (raw_.size() > 2048) corrupt(fileName_, "too many field descriptors");
    }
    hd.terminatorMissing = !terminated;
    hd.descriptorsEnd = static_cast<std::uint32_t>(pos);
    if (!terminated) warn("the field descriptors do not end with 0x0D; they are taken up to the end of the header");
    if (raw_.empty()) warn("the table has no fields");

    // Character fields of FoxPro and Clipper keep the high byte of their length in the decimals byte.
    std::uint64_t plain = 1, wide = 1;
    for (const RawField& f : raw_) {
        plain += f.length;
        wide += f.length + (f.type == 'C' ? 256u * f.decimals : 0u);
    }
    if (plain != hd.recordLength && wide == hd.recordLength) {
        for (RawField& f : raw_)
            if (f.type == 'C') {
                f.length += 256u * f.decimals;
                f.decimals = 0;
            }
        plain = wide;
    }
    if (plain != hd.recordLength)
        warn("the fields take " + std::to_string(plain) + " bytes but the record length is " +
             std::to_string(hd.recordLength));
}

void DBaseTable::buildFields() {
    const Header& hd = header_;
    std::uint32_t offset = 1;
    int nullBit = 0;
    for (std::size_t i = 0; i < raw_.size(); ++i) {
        RawField& rf = raw_[i];
        FieldDef f;
        f.name = codePage_->decode(rf.name);
        f.typeLetter = rf.type;
        f.offset = offset;
        // A field that runs past the record keeps only the bytes the record has.
        f.length = offset >= hd.recordLength ? 0 : std::min<std::uint32_t>(rf.length, hd.recordLength - offset);
        f.decimals = rf.decimals;
        offset += rf.length;

        const bool memoPointer = rf.length == 4 || hd.foxPro;
        switch (rf.type) {
            case 'C':
                f.dataType = ftString; f.logicalType = fld::ZSTRING; f.size = static_cast<int>(rf.length);
                break;
            case 'V':
                if (hd.visualFoxPro) {
                    f.dataType = ftString; f.logicalType = fld::ZSTRING; f.size = static_cast<int>(rf.length);
                } else {
                    f.dataType = ftUnknown;
                }
                break;
            case 'N': case 'F':
                if (rf.type == 'N' && rf.decimals == 0 && rf.length <= 4 && rf.length > 0) {
                    f.dataType = ftSmallint; f.logicalType = fld::INT16;
                } else {
                    f.dataType = ftFloat; f.logicalType = fld::FLOAT;
                }
                break;
            case 'D': f.dataType = ftDate; f.logicalType = fld::DATE; break;
            case 'L': f.dataType = ftBoolean; f.logicalType = fld::BOOL; break;
            case 'M': f.dataType = ftMemo; f.logicalType = fld::BLOB; f.subType = fld::stMEMO; memoNeeded_ = true; break;
            case 'B':
                if (hd.visualFoxPro) {
                    f.dataType = ftFloat; f.logicalType = fld::FLOAT;
                } else {
                    f.dataType = ftBlob; f.logicalType = fld::BLOB; f.subType = fld::stBINARY; memoNeeded_ = true;
                }
                break;
            case 'G': f.dataType = ftDBaseOle; f.logicalType = fld::BLOB; f.subType = fld::stDBSOLEOBJ; memoNeeded_ = true; break;
            case 'P': case 'W':
                f.dataType = ftBlob; f.logicalType = fld::BLOB; f.subType = fld::stBINARY; memoNeeded_ = true;
                break;
            case 'I': f.dataType = ftInteger; f.logicalType = fld::INT32; break;
            case '+': f.dataType = ftAutoInc; f.logicalType = fld::INT32; f.subType = fld::stAUTOINC; break;
            case 'O': f.dataType = ftFloat; f.logicalType = fld::FLOAT; break;
            case '@': case 'T': f.dataType = ftDateTime; f.logicalType = fld::TIMESTAMP; break;
            case 'Y': f.dataType = ftCurrency; f.logicalType = fld::FLOAT; f.subType = fld::stMONEY; break;
            case 'Q':
                f.dataType = ftVarBytes; f.logicalType = fld::VARBYTES; f.size = static_cast<int>(rf.length);
                break;
            case '0':
                f.dataType = ftBytes; f.logicalType = fld::BYTES; f.size = static_cast<int>(rf.length);
                break;
            default: f.dataType = ftUnknown; break;
        }
        (void)memoPointer;
        switch (f.dataType) {
            case ftString: f.dataSize = f.size + 1; break;
            case ftVarBytes: f.dataSize = f.size + 2; break;
            case ftBytes: f.dataSize = f.size; break;
            case ftSmallint: case ftBoolean: f.dataSize = 2; break;
            case ftInteger: case ftAutoInc: case ftDate: f.dataSize = 4; break;
            case ftFloat: case ftCurrency: case ftDateTime: f.dataSize = 8; break;
            default: f.dataSize = 0; break;
        }
        if (f.dataType == ftUnknown) {
            char what[96];
            std::snprintf(what, sizeof what, "field %s has the unknown type '%c'; its values are shown as raw bytes",
                          f.name.c_str(), rf.type >= 0x20 && rf.type < 0x7F ? rf.type : '?');
            warn(what);
        }
        // Visual FoxPro: system columns are hidden; _NullFlags carries NULL and length bits.
        if (hd.visualFoxPro) {
            if (rf.flags & 0x01) f.visible = false;
            if (rf.type == '0' && equalsIgnoreCase(rf.name, "_NullFlags")) {
                nullFlagsField_ = static_cast<int>(i);
                f.visible = false;
            }
            if (rf.type == 'V' || rf.type == 'Q') rf.varLengthBit = nullBit++;
            if (rf.flags & 0x02) rf.nullBit = nullBit++;
        }
        fields_.push_back(std::move(f));
    }
    if (nullFlagsField_ < 0)
        for (RawField& rf : raw_) rf.nullBit = rf.varLengthBit = -1;

    if (memoNeeded_) {
        openMemo();
        if (!memo_) warn("the memo file of " + fileName_ + " is missing; memo values cannot be shown");
    }
}

void DBaseTable::openMemo() {
    memo_.reset();
    if (header_.foxPro) {
        if (auto src = family_->open(".fpt")) memo_ = std::make_unique<Memo>(std::move(src), Memo::Kind::FoxPro);
    } else if (auto src = family_->open(".dbt")) {
        memo_ = std::make_unique<Memo>(std::move(src), header_.version == 0x83 ? Memo::Kind::DBase3 : Memo::Kind::DBase4);
    }
}

void DBaseTable::scanRecords() {
    const Header& hd = header_;
    const std::uint64_t room = (dbf_->size() - hd.headerLength) / hd.recordLength;
    std::uint32_t count = hd.numRecords;
    if (count > room) {
        warn("the header counts " + std::to_string(hd.numRecords) + " records but the file holds only " +
             std::to_string(room));
        count = static_cast<std::uint32_t>(room);
    } else if (count < room) {
        warn("the header counts " + std::to_string(hd.numRecords) + " records but the file has room for " +
             std::to_string(room) + "; the records past the count are not read");
    }
    // Deletion flags: a 0x1A ends the records early; '*' marks a deleted one.
    physicalCount_ = count;
    std::uint32_t live = 0;
    std::vector<std::uint32_t> liveBefore;
    bool anyDeleted = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i % kStretch == 0) liveBefore.push_back(live);
        const std::uint8_t flag = physicalRecord(i)[0];
        if (flag == 0x1A) {
            warn("the records end with an end-of-file mark after record " + std::to_string(i) + " of " +
                 std::to_string(count));
            physicalCount_ = i;
            break;
        }
        if (flag == '*')
            anyDeleted = true;
        else
            ++live;
    }
    liveBefore.push_back(live);
    liveCount_ = live;
    if (anyDeleted) liveBefore_ = std::move(liveBefore);
    bufferCount_ = 0;
}

const std::uint8_t* DBaseTable::physicalRecord(std::uint32_t index) {
    if (index < bufferFirst_ || index >= bufferFirst_ + bufferCount_) {
        const std::uint32_t perBuffer = std::max<std::uint32_t>(1, kBufferBytes / header_.recordLength);
        const std::uint64_t total = std::max<std::uint64_t>(physicalCount_, index + 1);
        bufferFirst_ = index;
        bufferCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(perBuffer, total - index));
        buffer_.resize(static_cast<std::size_t>(bufferCount_) * header_.recordLength);
        dbf_->readZeroFilled(header_.headerLength + static_cast<std::uint64_t>(index) * header_.recordLength,
                             buffer_.data(), buffer_.size());
    }
    return buffer_.data() + static_cast<std::size_t>(index - bufferFirst_) * header_.recordLength;
}

std::uint32_t DBaseTable::physicalIndex(std::uint32_t liveIndex) {
    if (liveBefore_.empty()) return liveIndex;
    // Sequential reading: step on from the last answer.
    if (!cursorValid_ || liveIndex < cursorLive_ || liveIndex - cursorLive_ >= kStretch) {
        auto it = std::upper_bound(liveBefore_.begin(), liveBefore_.end() - 1, liveIndex);
        const std::size_t stretch = static_cast<std::size_t>(it - liveBefore_.begin()) - 1;
        cursorPhysical_ = static_cast<std::uint32_t>(stretch) * kStretch;
        cursorLive_ = liveBefore_[stretch];
        // Move to the first live record of the stretch.
        while (cursorPhysical_ < physicalCount_ && physicalRecord(cursorPhysical_)[0] == '*') ++cursorPhysical_;
        cursorValid_ = true;
    }
    while (cursorLive_ < liveIndex) {
        ++cursorPhysical_;
        while (cursorPhysical_ < physicalCount_ && physicalRecord(cursorPhysical_)[0] == '*') ++cursorPhysical_;
        ++cursorLive_;
    }
    return cursorPhysical_;
}

const std::uint8_t* DBaseTable::record(std::uint32_t index) {
    if (index >= liveCount_)
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Record " + std::to_string(index + 1) + " is beyond the end of " + fileName_);
    return physicalRecord(physicalIndex(index));
}

bool DBaseTable::nullFlag(const std::uint8_t* rec, int bit) const {
    if (bit < 0 || nullFlagsField_ < 0) return false;
    const FieldDef& nf = fields_[static_cast<std::size_t>(nullFlagsField_)];
    if (static_cast<std::uint32_t>(bit / 8) >= nf.length) return false;
    return (rec[nf.offset + bit / 8] >> (bit % 8)) & 1;
}

void DBaseTable::decodeMemo(const RawField& rf, const std::uint8_t* p, std::size_t n, FieldValue& out) {
    std::uint64_t block = 0;
    if (rf.length == 4) {
        if (n < 4) return setInvalid(p, n, out);  // the record ends inside the pointer
        block = loadLE32(p);
    } else {
        const std::string_view s = trimmed(p, n);
        if (s.empty()) {
            out.setNull();
            return;
        }
        if (!allDigits(s)) return setInvalid(p, n, out);
        block = std::strtoull(std::string(s).c_str(), nullptr, 10);
    }
    if (block == 0) {
        out.setNull();
        return;
    }
    if (!memo_) {
        out.setText(ValueKind::MissingBlob);
        return;
    }
    std::string data;
    bool binary = false;
    if (!memo_->read(block, data, binary)) return setInvalid(p, n, out);
    if (rf.type == 'M' && !binary) {
        out.setText(ValueKind::String);
        codePage_->decode(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), out.text);
    } else {
        out.setText(ValueKind::Binary);
        out.text = std::move(data);
    }
}

int DBaseTable::rawMemo(const std::uint8_t* rec, std::size_t field, std::string& data, bool& binary) {
    const RawField& rf = raw_[field];
    const FieldDef& f = fields_[field];
    const std::uint8_t* p = rec + f.offset;
    std::uint64_t block = 0;
    if (rf.length == 4) {
        block = loadLE32(p);
    } else {
        const std::string_view s = trimmed(p, f.length);
        if (s.empty()) return 0;
        if (!allDigits(s)) return -1;
        block = std::strtoull(std::string(s).c_str(), nullptr, 10);
    }
    if (block == 0) return 0;
    if (!memo_ || !memo_->read(block, data, binary)) return -1;
    return 1;
}

void DBaseTable::decode(const std::uint8_t* rec, std::size_t field, FieldValue& out) {
    if (decodeFromRecord(rec, field, out)) return;
    const FieldDef& f = fields_[field];
    decodeMemo(raw_[field], rec + f.offset, f.length, out);
}

bool DBaseTable::decodeFromRecord(const std::uint8_t* rec, std::size_t field, FieldValue& out) const {
    const FieldDef& f = fields_[field];
    const RawField& rf = raw_[field];
    const std::uint8_t* p = rec + f.offset;
    std::size_t n = f.length;
    if (rf.nullBit >= 0 && nullFlag(rec, rf.nullBit)) {
        out.setNull();
        return true;
    }
    // A Varchar / Varbinary whose length bit is set keeps its length in its last byte.
    const bool varLength = rf.type == 'Q' || (rf.type == 'V' && header_.visualFoxPro);
    if (varLength && rf.varLengthBit >= 0 && n > 0 && nullFlag(rec, rf.varLengthBit))
        n = std::min<std::size_t>(p[n - 1], n - 1);
    return decodeStoredValue(rf.type, header_, *codePage_, p, n, out);
}

bool keptInMemoFile(char type, const Header& header) {
    switch (type) {
        case 'M': case 'G': case 'P': case 'W': return true;
        case 'B': return !header.visualFoxPro;  // a double in Visual FoxPro, a memo elsewhere
        default: return false;
    }
}

bool DBaseTable::valueInRecord(std::size_t field) const { return !keptInMemoFile(raw_[field].type, header_); }

bool decodeStoredValue(char type, const Header& header, const CodePage& codePage, const std::uint8_t* p,
                       std::size_t n, FieldValue& out) {
    if (keptInMemoFile(type, header)) return false;
    switch (type) {
        case 'C': case 'V': {
            if (type == 'V' && !header.visualFoxPro) break;
            // Character fields are padded; a Varchar holds exactly its bytes (its length byte says
            // how many when it is shorter than the field).
            std::size_t e = n;
            if (type == 'C') {
                // Padding eight bytes at a time while they are all blanks or all NULs.
                for (std::uint64_t w; e >= 8; e -= 8) {
                    std::memcpy(&w, p + e - 8, 8);
                    if (w != 0x2020202020202020ull && w != 0) break;
                }
                while (e > 0 && isSpaceOrNul(p[e - 1])) --e;
            }
            out.setText(ValueKind::String);
            codePage.decode(p, e, out.text);
            return true;
        }
        case 'N': case 'F': {
            std::string_view s = trimmed(p, n);
            while (!s.empty() && s.front() == '*') s.remove_prefix(1);
            while (!s.empty() && s.back() == '*') s.remove_suffix(1);
            if (s.empty() || s == ".") {
                out.setNull();
                return true;
            }
            std::int64_t iv;
            double dv;
            if (parseInteger(s, iv))
                out.setInteger(iv);
            else if (parseReal(s, dv))
                out.setReal(dv);
            else
                setInvalid(p, n, out);
            return true;
        }
        case 'D': {
            if (n != 8) return invalidValue(p, n, out);
            int y, m, d;
            bool eightDigits = true;
            for (std::size_t i = 0; i < 8; ++i) eightDigits = eightDigits && p[i] >= '0' && p[i] <= '9';
            if (eightDigits) {  // the usual YYYYMMDD
                y = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
                m = (p[4] - '0') * 10 + (p[5] - '0');
                d = (p[6] - '0') * 10 + (p[7] - '0');
            }
            if (!(eightDigits || (parseDatePart(p, 4, y) && parseDatePart(p + 4, 2, m) && parseDatePart(p + 6, 2, d))) ||
                !isValidCivilDate(y, m, d)) {
                bool blank = true;
                for (std::size_t i = 0; i < n; ++i) blank = blank && (p[i] == ' ' || p[i] == '0' || p[i] == 0);
                if (blank) {
                    out.setNull();
                    return true;
                }
                return invalidValue(p, n, out);
            }
            out.setInteger(dayNumberFromCivil(y, m, d), ValueKind::Date);
            return true;
        }
        case 'L': {
            if (n != 1) return invalidValue(p, n, out);
            switch (p[0]) {
                case 'T': case 't': case 'Y': case 'y': out.setInteger(1, ValueKind::Boolean); break;
                case 'F': case 'f': case 'N': case 'n': out.setInteger(0, ValueKind::Boolean); break;
                case '?': case ' ': case 0: out.setNull(); break;
                default: setInvalid(p, n, out); break;
            }
            return true;
        }
        case 'B':
            if (n != 8) return invalidValue(p, n, out);
            out.setReal(bitsToDouble(loadLE64(p)));
            return true;
        case 'I': case '+': {
            if (n != 4) return invalidValue(p, n, out);
            if (header.level7) {
                if (loadBE32(p) == 0) {
                    out.setNull();
                    return true;
                }
                out.setInteger(static_cast<std::int32_t>(loadBE32(p) ^ 0x80000000u));
            } else {
                out.setInteger(static_cast<std::int32_t>(loadLE32(p)));
            }
            return true;
        }
        case 'O': {
            if (n != 8) return invalidValue(p, n, out);
            std::uint64_t bits = loadBE64(p);
            if (bits == 0) {
                out.setNull();
                return true;
            }
            bits = (bits & 0x8000000000000000ull) ? (bits & 0x7FFFFFFFFFFFFFFFull) : ~bits;
            out.setReal(bitsToDouble(bits));
            return true;
        }
        case '@': {
            if (n != 8) return invalidValue(p, n, out);
            if (loadBE32(p) == 0 && loadBE32(p + 4) == 0) {
                out.setNull();
                return true;
            }
            out.setReal(bitsToDouble(loadBE64(p)), ValueKind::DateTime);
            return true;
        }
        case 'T': {
            if (n != 8) return invalidValue(p, n, out);
            const std::int64_t julian = static_cast<std::int32_t>(loadLE32(p));
            const std::int64_t ms = static_cast<std::int32_t>(loadLE32(p + 4));
            bool spaces = true;
            for (std::size_t i = 0; i < 8; ++i) spaces = spaces && p[i] == ' ';
            if (julian == 0 || spaces) {
                out.setNull();
                return true;
            }
            // Julian day 1721426 is 1 January 0001 (day number 1).
            out.setReal(static_cast<double>((julian - 1721425) * kMillisecondsPerDay + ms), ValueKind::DateTime);
            return true;
        }
        case 'Y':
            if (n != 8) return invalidValue(p, n, out);
            out.setInteger(static_cast<std::int64_t>(loadLE64(p)), ValueKind::Currency);
            return true;
        case 'Q': case '0':
            out.setText(ValueKind::Binary);
            out.text.assign(reinterpret_cast<const char*>(p), n);
            return true;
        default:
            break;
    }
    setInvalid(p, n, out);
    return true;
}

}  // namespace tavrinth::dbase

#pragma once
// Code pages: decoding table text to UTF-8 and encoding it back.
//
// Each table carries a code page (the Paradox header, the dBase language driver). Text is decoded
// with iconv; for single-byte code pages iconv is asked once per code page for a 256-entry table,
// so decoding a value is a table lookup. A byte the code page does not define becomes U+FFFD.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace tavrinth {

class CodePage {
public:
    // The code page by name: an iconv name ("CP437", "CP1252", "GBK", "UTF-8", "HP-ROMAN8" ...) or
    // "MAZOVIA" (Polish DOS, kept in a table of our own). Names are case-insensitive. The objects are
    // built once and shared. Returns null when the name is unknown here.
    static std::shared_ptr<const CodePage> find(const std::string& name);

    // The code page used when a table names none, or names one this system cannot decode.
    static constexpr const char* kDefaultName = "CP437";

    const std::string& name() const { return name_; }
    bool isSingleByte() const { return singleByte_; }

    // Appends the UTF-8 form of n bytes to out.
    void decode(const std::uint8_t* bytes, std::size_t n, std::string& out) const;
    std::string decode(const std::uint8_t* bytes, std::size_t n) const {
        std::string s;
        decode(bytes, n, s);
        return s;
    }
    std::string decode(const std::string& bytes) const {
        return decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }

    // Encodes UTF-8 text; returns false (out unspecified) when a character has no code in this
    // code page or the text is not valid UTF-8.
    bool encode(const std::string& utf8, std::string& out) const;

    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;
    ~CodePage();

private:
    CodePage() = default;
    static std::shared_ptr<const CodePage> build(const std::string& upperName);

    std::string name_;
    std::string iconvName_;
    bool singleByte_ = false;
    bool asciiCompatible_ = false;  // bytes 0x00-0x7F decode to themselves
    // Single-byte: UTF-8 of each byte (up to 3 bytes; U+FFFD for undefined bytes).
    char utf8_[256][4] = {};
    std::uint8_t utf8Len_[256] = {};
    // Single-byte encoding: code point -> byte.
    std::unordered_map<std::uint32_t, std::uint8_t> reverse_;
};

// How a table's code page was chosen, for the user and the logs.
struct CodePageChoice {
    std::string name;    // a name CodePage::find knows
    std::string reason;  // "header code page 850", "language driver byte 0x03" ...
    bool fallback = false;  // the table named none we know: the default was taken
    bool guessed = false;   // the table names no code page at all: the default was taken
};

// Paradox: the header's code page (level 4+, offset 0x6A), else the sort order where it names a
// code page, else the default.
CodePageChoice paradoxCodePage(std::uint16_t headerCodePage, std::uint8_t sortOrderByte,
                               const std::string& sortOrderName);

// dBase: the language driver name (level 7), else the language driver byte; Visual FoxPro tables
// without one default to CP1252, all others to the default.
CodePageChoice dbaseCodePage(std::uint8_t version, std::uint8_t languageDriverByte,
                             const std::string& languageDriverName);

// The code page of an iconv-style name given by the user ("cp866", "CP1251", "utf-8"), or a
// Windows/DOS number ("866"). Returns an empty choice name when unknown.
CodePageChoice userCodePage(const std::string& name);

}  // namespace tavrinth

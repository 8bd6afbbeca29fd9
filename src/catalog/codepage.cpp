#include "codepage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <map>
#include <mutex>
#include <vector>

#include "file_io.h"

namespace tavrinth {

namespace {

void appendUtf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Decodes one UTF-8 sequence at s[i]; returns false on a malformed one.
bool nextCodePoint(const std::string& s, std::size_t& i, std::uint32_t& cp) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    int extra;
    if (b0 < 0x80) {
        cp = b0;
        extra = 0;
    } else if ((b0 & 0xE0) == 0xC0) {
        cp = b0 & 0x1F;
        extra = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
        cp = b0 & 0x0F;
        extra = 2;
    } else if ((b0 & 0xF8) == 0xF0) {
        cp = b0 & 0x07;
        extra = 3;
    } else {
        return false;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size() && extra > 0) return false;
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    static const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
    return true;
}

// Polish DOS code page: code page 437 with the Polish letters in place of some symbols.
const std::pair<std::uint8_t, std::uint32_t> kMazoviaChanges[] = {
    {0x86, 0x0105}, {0x8D, 0x0107}, {0x8F, 0x0104}, {0x90, 0x0118}, {0x91, 0x0119}, {0x92, 0x0142},
    {0x95, 0x0106}, {0x98, 0x015A}, {0x9C, 0x0141}, {0x9E, 0x015B}, {0xA0, 0x0179}, {0xA1, 0x017B},
    {0xA3, 0x00D3}, {0xA4, 0x0144}, {0xA5, 0x0143}, {0xA6, 0x017A}, {0xA7, 0x017C},
};

struct IconvHandle {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    IconvHandle(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (ok()) iconv_close(cd);
    }
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// Converts one byte with iconv: 1 = converted (cp set), 0 = not defined, -1 = needs more bytes.
int probeByte(IconvHandle& h, std::uint8_t byte, std::uint32_t& cp) {
    iconv(h.cd, nullptr, nullptr, nullptr, nullptr);
    char in[1] = {static_cast<char>(byte)};
    char outBuf[16];
    char* ip = in;
    char* op = outBuf;
    std::size_t il = 1, ol = sizeof outBuf;
    const std::size_t r = iconv(h.cd, &ip, &il, &op, &ol);
    if (r == static_cast<std::size_t>(-1)) return errno == EINVAL ? -1 : 0;
    const std::string utf8(outBuf, static_cast<std::size_t>(op - outBuf));
    std::size_t i = 0;
    if (utf8.empty() || !nextCodePoint(utf8, i, cp) || i != utf8.size()) return 0;
    return 1;
}

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}

// iconv descriptors of multi-byte code pages; used under the registry mutex.
std::map<std::string, std::unique_ptr<IconvHandle>>& decoders() {
    static std::map<std::string, std::unique_ptr<IconvHandle>> d;
    return d;
}

}  // namespace

CodePage::~CodePage() = default;

std::shared_ptr<const CodePage> CodePage::find(const std::string& name) {
    static std::map<std::string, std::shared_ptr<const CodePage>> cache;
    const std::string key = toUpperAscii(name);
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    std::shared_ptr<const CodePage> page = build(key);
    cache.emplace(key, page);
    return page;
}

std::shared_ptr<const CodePage> CodePage::build(const std::string& upperName) {
    const bool mazovia = upperName == "MAZOVIA";
    const std::string iconvName = mazovia ? "CP437" : upperName;
    IconvHandle probe("UTF-8", iconvName.c_str());
    if (!probe.ok()) return nullptr;

    std::shared_ptr<CodePage> page(new CodePage());
    page->name_ = upperName;
    page->iconvName_ = iconvName;
    std::uint32_t points[256];
    bool single = upperName != "UTF-8" && upperName != "UTF8";
    for (int b = 0; b < 256 && single; ++b) {
        const int r = probeByte(probe, static_cast<std::uint8_t>(b), points[b]);
        if (r < 0) single = false;
        if (r == 0) points[b] = 0xFFFD;
    }
    page->singleByte_ = single;
    if (single) {
        if (mazovia)
            for (const auto& change : kMazoviaChanges) points[change.first] = change.second;
        page->asciiCompatible_ = true;
        for (int b = 0; b < 256; ++b) {
            if (b < 0x80 && points[b] != static_cast<std::uint32_t>(b)) page->asciiCompatible_ = false;
            std::string u;
            appendUtf8(points[b], u);
            std::copy(u.begin(), u.end(), page->utf8_[b]);
            page->utf8Len_[b] = static_cast<std::uint8_t>(u.size());
            if (points[b] != 0xFFFD) page->reverse_.emplace(points[b], static_cast<std::uint8_t>(b));
        }
    } else {
        decoders()[upperName] = std::make_unique<IconvHandle>("UTF-8", iconvName.c_str());
    }
    return page;
}

void CodePage::decode(const std::uint8_t* bytes, std::size_t n, std::string& out) const {
    if (singleByte_) {
        const bool ascii = asciiCompatible_;  // a local: the stores into buf may alias members
        std::size_t i = 0;
        if (ascii) {
            // The ASCII bytes before the first other one are their own UTF-8: appended as they are.
            for (std::uint64_t w; i + 8 <= n; i += 8) {
                std::memcpy(&w, bytes + i, 8);
                if (w & 0x8080808080808080ull) break;
            }
            while (i < n && bytes[i] < 0x80) ++i;
            out.append(reinterpret_cast<const char*>(bytes), i);
        }
        // The rest through a buffer on the stack, 256 bytes at a time: one append per piece.
        char buf[256 * 4];
        while (i < n) {
            const std::size_t end = std::min(n, i + 256);
            std::size_t k = 0;
            while (i < end) {
                if (ascii && end - i >= 8) {  // eight ASCII bytes at a time
                    std::uint64_t w;
                    std::memcpy(&w, bytes + i, 8);
                    if ((w & 0x8080808080808080ull) == 0) {
                        std::memcpy(buf + k, &w, 8);
                        k += 8;
                        i += 8;
                        continue;
                    }
                }
                const std::uint8_t b = bytes[i++];
                if (b < 0x80 && ascii) {
                    buf[k++] = static_cast<char>(b);
                } else {
                    std::memcpy(buf + k, utf8_[b], 4);
                    k += utf8Len_[b];
                }
            }
            out.append(buf, k);
        }
        return;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    IconvHandle& h = *decoders()[name_];
    iconv(h.cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    std::size_t il = n;
    char buf[1024];
    while (il > 0) {
        char* op = buf;
        std::size_t ol = sizeof buf;
        const std::size_t r = iconv(h.cd, &ip, &il, &op, &ol);
        out.append(buf, static_cast<std::size_t>(op - buf));
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // An undefined or cut-off sequence: one replacement character per byte skipped.
            out.append(kReplacement);
            ++ip;
            --il;
            iconv(h.cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
}

bool CodePage::encode(const std::string& utf8, std::string& out) const {
    out.clear();
    if (singleByte_) {
        std::size_t i = 0;
        out.reserve(utf8.size());
        while (i < utf8.size()) {
            const auto c = static_cast<unsigned char>(utf8[i]);
            if (c < 0x80 && asciiCompatible_) {
                out.push_back(static_cast<char>(c));
                ++i;
                continue;
            }
            std::uint32_t cp;
            if (!nextCodePoint(utf8, i, cp)) return false;
            auto it = reverse_.find(cp);
            if (it == reverse_.end()) return false;
            out.push_back(static_cast<char>(it->second));
        }
        return true;
    }
    IconvHandle h(iconvName_.c_str(), "UTF-8");
    if (!h.ok()) return false;
    char* ip = const_cast<char*>(utf8.data());
    std::size_t il = utf8.size();
    char buf[1024];
    while (il > 0) {
        char* op = buf;
        std::size_t ol = sizeof buf;
        const std::size_t r = iconv(h.cd, &ip, &il, &op, &ol);
        out.append(buf, static_cast<std::size_t>(op - buf));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
    }
    return true;
}

// --- choosing the code page of a table ----------------------------------------------------------

namespace {

std::string hexByte(std::uint8_t b) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", b);
    return s;
}

CodePageChoice fallbackChoice(const std::string& why, const char* name = CodePage::kDefaultName) {
    CodePageChoice c;
    c.name = name;
    c.reason = why + "; text decoded as " + toLowerAscii(name);
    c.fallback = true;
    return c;
}

// Windows and DOS code page numbers (as Paradox headers store them) to iconv names.
std::string codePageNumberName(unsigned number) {
    switch (number) {
        case 936: return "CP936";
        case 932: return "CP932";
        case 949: return "CP949";
        case 950: return "BIG5";
        case 65001: return "UTF-8";
        case 10000: return "MACINTOSH";
        case 10007: return "MAC-CYRILLIC";
        case 10029: return "MAC-CENTRALEUROPE";
        case 620: return "MAZOVIA";
        default: return "CP" + std::to_string(number);
    }
}

}  // namespace

CodePageChoice paradoxCodePage(std::uint16_t headerCodePage, std::uint8_t sortOrderByte,
                               const std::string& sortOrderName) {
    if (headerCodePage != 0) {
        const std::string name = codePageNumberName(headerCodePage);
        if (CodePage::find(name)) return {name, "header code page " + std::to_string(headerCodePage), false};
        return fallbackChoice("header code page " + std::to_string(headerCodePage) + " is not known here");
    }
    // Sort orders that name a code page of their own.
    const std::string order = toLowerAscii(sortOrderName);
    if (order == "cyrr" || (order.empty() && sortOrderByte == 0xC0))
        return {"CP866", "sort order " + hexByte(sortOrderByte) + " 'cyrr'", false};
    if (order == "blrom800" || (order.empty() && sortOrderByte == 0x14))
        return {"HP-ROMAN8", "sort order " + hexByte(sortOrderByte) + " 'BLROM800' (HP Roman-8)", false};
    if (order == "ancyrr") return {"CP1251", "sort order 'ancyrr'", false};
    CodePageChoice c;
    c.name = CodePage::kDefaultName;
    c.reason = "no code page in the header; default cp437";
    c.guessed = true;
    return c;
}

CodePageChoice dbaseCodePage(std::uint8_t version, std::uint8_t languageDriverByte,
                             const std::string& languageDriverName) {
    const bool visualFoxPro = version == 0x30 || version == 0x31 || version == 0x32;
    const char* defaultName = visualFoxPro ? "CP1252" : CodePage::kDefaultName;
    if (!languageDriverName.empty()) {
        const std::string n = toUpperAscii(languageDriverName);
        std::string name;
        if (n.compare(0, 5, "DBWIN") == 0) name = "CP1252";
        else if (n == "DBHEBREW") name = "CP1255";
        else if (n == "BGDB868") name = "CP868";
        else if (n.size() >= 5 && n.compare(0, 2, "DB") == 0 && std::isdigit(static_cast<unsigned char>(n[2])) &&
                 std::isdigit(static_cast<unsigned char>(n[3])) && std::isdigit(static_cast<unsigned char>(n[4])))
            name = "CP" + n.substr(2, 3);
        if (!name.empty() && CodePage::find(name))
            return {name, "language driver name '" + languageDriverName + "'", false};
        return fallbackChoice("language driver name '" + languageDriverName + "' is not known", "CP1252");
    }
    static const std::map<std::uint8_t, unsigned> table = {
        {0x01, 437},  {0x02, 850},  {0x03, 1252}, {0x04, 10000}, {0x08, 865},  {0x09, 437},  {0x0A, 850},
        {0x0B, 437},  {0x0C, 850},  {0x0D, 437},  {0x0E, 850},   {0x0F, 437},  {0x10, 850},  {0x11, 437},
        {0x12, 850},  {0x13, 932},  {0x14, 850},  {0x15, 437},   {0x16, 850},  {0x17, 865},  {0x18, 437},
        {0x19, 437},  {0x1A, 850},  {0x1B, 437},  {0x1C, 863},   {0x1D, 850},  {0x1F, 852},  {0x22, 852},
        {0x23, 852},  {0x24, 860},  {0x25, 850},  {0x26, 866},   {0x37, 850},  {0x40, 852},  {0x4D, 936},
        {0x4E, 949},  {0x4F, 950},  {0x50, 874},  {0x56, 932},   {0x57, 1252}, {0x58, 1252}, {0x59, 1252},
        {0x5E, 437},  {0x5F, 437},  {0x60, 850},  {0x61, 1252},  {0x62, 1252}, {0x64, 852},  {0x65, 866},
        {0x66, 865},  {0x67, 861},  {0x69, 620},  {0x6A, 737},   {0x6B, 857},  {0x78, 950},  {0x79, 949},
        {0x7A, 936},  {0x7B, 932},  {0x7C, 874},  {0x7D, 1255},  {0x7E, 1256}, {0x85, 862},  {0x86, 737},
        {0x87, 852},  {0x88, 857},  {0x8E, 868},  {0x96, 10007}, {0x97, 10029}, {0x9B, 1250}, {0x9C, 850},
        {0xC8, 1250}, {0xC9, 1251}, {0xCA, 1254}, {0xCB, 1253},  {0xF0, 65001},
    };
    if (languageDriverByte == 0) {
        CodePageChoice c;
        c.name = defaultName;
        c.reason = std::string("no language driver; default ") + toLowerAscii(defaultName);
        c.guessed = true;
        return c;
    }
    auto it = table.find(languageDriverByte);
    if (it != table.end()) {
        const std::string name = codePageNumberName(it->second);
        if (CodePage::find(name)) return {name, "language driver byte " + hexByte(languageDriverByte), false};
    }
    return fallbackChoice("language driver byte " + hexByte(languageDriverByte) + " is not known", defaultName);
}

CodePageChoice userCodePage(const std::string& name) {
    std::string n = toUpperAscii(name);
    bool digits = !n.empty();
    for (char c : n) digits = digits && std::isdigit(static_cast<unsigned char>(c));
    if (digits) n = codePageNumberName(static_cast<unsigned>(std::stoul(n)));
    if (n == "CP620") n = "MAZOVIA";
    if (n == "HP_ROMAN8") n = "HP-ROMAN8";
    if (!CodePage::find(n)) return {};
    return {n, "code page given by the user (" + name + ")", false};
}

}  // namespace tavrinth

#include "binding/words.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace vollan::py {

namespace {

#include "binding/unicode_ranges.inc"

constexpr char32_t kReplacementChar = 0xFFFD;

// Whether cp is non-printable or combining, by binary search over the generated table.
bool needs_code_escape(char32_t cp) {
    const auto* end = std::end(kEscapedRanges);
    const auto* it = std::upper_bound(
        std::begin(kEscapedRanges), end, static_cast<std::uint32_t>(cp),
        [](std::uint32_t value, const std::uint32_t (&range)[2]) { return value < range[0]; });
    if (it == std::begin(kEscapedRanges)) return false;
    return cp <= (*std::prev(it))[1];
}

// Decodes the code point starting at text[pos] and advances pos past it. Text from Python is
// valid UTF-8; anything else (truncated, overlong, surrogate, out of range) becomes U+FFFD for
// one byte, so the decoder never reads past the end.
char32_t next_code_point(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t smallest = 0;  // below this the encoding is overlong
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2;
        cp = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        cp = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        cp = lead & 0x07;
        smallest = 0x10000;
    } else {
        ++pos;
        return kReplacementChar;
    }
    if (text.size() - pos < len) {
        ++pos;
        return kReplacementChar;
    }
    for (std::size_t i = 1; i < len; ++i) {
        const unsigned char c = byte(pos + i);
        if ((c & 0xC0) != 0x80) {
            ++pos;
            return kReplacementChar;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kReplacementChar;
    }
    pos += len;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_hex_escape(std::string& out, char32_t cp) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    while (n > 0) out += buf[--n];
    out += '}';
}

}  // namespace

std::string quote_for_message(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (std::size_t pos = 0; pos < utf8.size();) {
        const char32_t cp = next_code_point(utf8, pos);
        switch (cp) {
            case U'\\': out += "\\\\"; break;
            case U'"': out += "\\\""; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (needs_code_escape(cp)) {
                    append_hex_escape(out, cp);
                } else {
                    append_utf8(out, cp);
                }
        }
    }
    out += '"';
    return out;
}

namespace {

bool equals_ascii_ci(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

}  // namespace

Result<ChangeType> parse_change_type(std::string_view text) {
    // Only ASCII letters fold; everything else, blanks included, must match as given.
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower == "mean") return ChangeType::mean;
    if (lower == "var") return ChangeType::var;
    if (lower == "distribution") return ChangeType::distribution;
    return error("change_type must be one of {'mean', 'var', 'distribution'}, got " +
                 quote_for_message(lower));
}

Result<void> check_backend(std::string_view text) {
    // The word is checked only: both run on the same worker threads.
    if (equals_ascii_ci(text, "thread") || equals_ascii_ci(text, "process")) return {};
    return error(
        "backend must be 'thread' or 'process'. Both run on the same internal worker threads, "
        "so the choice does not change the computation.");
}

}  // namespace vollan::py

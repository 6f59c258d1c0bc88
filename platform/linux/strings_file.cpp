#include "platform/linux/strings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/utf8.h"

namespace wattkeeper::linux_backend {

namespace {

bool isHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// UTF-16 text after its byte-order mark, as UTF-8; nothing for an odd length or a lone
// surrogate.
std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    auto unitAt = [&](std::size_t i) -> std::uint32_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t unit = unitAt(i);
        if (isLowSurrogate(unit)) return std::nullopt;
        if (!isHighSurrogate(unit)) {
            appendUtf8(out, unit);
            continue;
        }
        if (i + 3 >= bytes.size()) return std::nullopt;
        const std::uint32_t low = unitAt(i + 2);
        if (!isLowSurrogate(low)) return std::nullopt;
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
    }
    return out;
}

// The file's text as UTF-8, whatever encoding its byte-order mark names.
std::optional<std::string> decodeText(std::string_view bytes) {
    if (bytes.starts_with("\xFE\xFF")) return utf16ToUtf8(bytes.substr(2), true);
    if (bytes.starts_with("\xFF\xFE")) return utf16ToUtf8(bytes.substr(2), false);
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    if (!isValidUtf8(bytes)) return std::nullopt;
    return std::string(bytes);
}

bool isUnquotedCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A recursive-descent reader over valid UTF-8 text. Every failure ends the whole parse.
class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::optional<StringsTable> table() {
        StringsTable entries;
        for (;;) {
            if (!skipBlanksAndComments()) return std::nullopt;
            if (at_ == s_.size()) return entries;
            auto key = string();
            if (!key || !skipBlanksAndComments()) return std::nullopt;
            std::string value = *key;
            if (peek('=')) {
                ++at_;
                if (!skipBlanksAndComments()) return std::nullopt;
                auto text = string();
                if (!text || !skipBlanksAndComments()) return std::nullopt;
                value = std::move(*text);
            }
            if (!peek(';')) return std::nullopt;
            ++at_;
            entries.insert_or_assign(std::move(*key), std::move(value));
        }
    }

private:
    bool peek(char c) const { return at_ < s_.size() && s_[at_] == c; }

    // False for an unterminated block comment.
    bool skipBlanksAndComments() {
        while (at_ < s_.size()) {
            if (isBlank(s_[at_])) {
                ++at_;
            } else if (s_.substr(at_).starts_with("/*")) {
                const auto end = s_.find("*/", at_ + 2);
                if (end == std::string_view::npos) return false;
                at_ = end + 2;
            } else if (s_.substr(at_).starts_with("//")) {
                const auto end = s_.find('\n', at_);
                at_ = end == std::string_view::npos ? s_.size() : end + 1;
            } else {
                break;
            }
        }
        return true;
    }

    std::optional<std::string> string() {
        if (peek('"')) return quoted();
        const std::size_t start = at_;
        while (at_ < s_.size() && isUnquotedCharacter(s_[at_])) ++at_;
        if (at_ == start) return std::nullopt;
        return std::string(s_.substr(start, at_ - start));
    }

    std::optional<std::string> quoted() {
        std::string out;
        for (++at_; at_ < s_.size(); ++at_) {
            const char c = s_[at_];
            if (c == '"') {
                ++at_;
                return out;
            }
            if (c == '\0') return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++at_ >= s_.size()) return std::nullopt;
            switch (s_[at_]) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'U':
                case 'u':
                    if (!unicodeEscape(out)) return std::nullopt;
                    break;
                default:
                    return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // At the "U" of "\UXXXX"; leaves at_ on the escape's last digit.
    std::optional<std::uint32_t> hexUnit() {
        if (at_ + 4 >= s_.size()) return std::nullopt;
        std::uint32_t unit = 0;
        for (std::size_t k = 1; k <= 4; ++k) {
            const char d = s_[at_ + k];
            unit <<= 4;
            if (d >= '0' && d <= '9') {
                unit |= static_cast<std::uint32_t>(d - '0');
            } else if (d >= 'a' && d <= 'f') {
                unit |= static_cast<std::uint32_t>(d - 'a' + 10);
            } else if (d >= 'A' && d <= 'F') {
                unit |= static_cast<std::uint32_t>(d - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        at_ += 4;
        return unit;
    }

    bool unicodeEscape(std::string& out) {
        const auto unit = hexUnit();
        if (!unit || *unit == 0 || isLowSurrogate(*unit)) return false;
        if (!isHighSurrogate(*unit)) {
            appendUtf8(out, *unit);
            return true;
        }
        // The low half must follow as an escape of its own.
        const std::string_view rest = s_.substr(at_ + 1);
        if (!rest.starts_with("\\U") && !rest.starts_with("\\u")) return false;
        at_ += 2;
        const auto low = hexUnit();
        if (!low || !isLowSurrogate(*low)) return false;
        appendUtf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
        return true;
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<StringsTable> parseStringsFile(std::string_view bytes) {
    const auto text = decodeText(bytes);
    if (!text) return std::nullopt;
    return Parser(*text).table();
}

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) <= maxBytes) {
        std::string content;
        char chunk[16 * 1024];
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            if (got == 0) {
                bytes = std::move(content);
                break;
            }
            // The file may have grown since the look at its size.
            if (static_cast<std::size_t>(got) > maxBytes - content.size()) break;
            content.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return bytes;
}

std::optional<StringsTable> readStringsFile(const std::string& path) {
    const auto bytes = readRegularFile(path, kMaxStringsFileBytes);
    if (!bytes) return std::nullopt;
    return parseStringsFile(*bytes);
}

}  // namespace wattkeeper::linux_backend

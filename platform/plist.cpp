#include "platform/plist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace wattkeeper {

namespace {

auto lowerBound(std::vector<PlistDictionary::Entry>& entries, std::string_view key) {
    return std::lower_bound(entries.begin(), entries.end(), key,
                            [](const PlistDictionary::Entry& e, std::string_view k) { return e.first < k; });
}

// The key's first eight bytes, big-endian and padded with zeros: when two prefixes differ,
// they order as the keys do (bytes compared unsigned, as std::string does).
std::uint64_t keyPrefix(std::string_view key) {
    std::uint64_t prefix = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        prefix = (prefix << 8) | (k < key.size() ? static_cast<unsigned char>(key[k]) : 0u);
    }
    return prefix;
}

bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    return !std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.' ||
               c == '$' || c == '/' || c >= 0x80;
    });
}

std::string quoted(const std::string& s) {
    if (!needsQuotes(s)) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

void render(const PlistValue& value, int depth, std::string& out);

void renderDictionary(const PlistDictionary& dict, int depth, std::string& out) {
    const std::string indent(static_cast<std::size_t>(depth + 1) * 4, ' ');
    out += "{\n";
    for (const auto& [key, item] : dict) {
        out += indent + quoted(key) + " = ";
        render(item, depth + 1, out);
        out += ";\n";
    }
    out += std::string(static_cast<std::size_t>(depth) * 4, ' ') + "}";
}

void render(const PlistValue& value, int depth, std::string& out) {
    switch (value.kind()) {
        case PlistValue::Kind::Dictionary:
            renderDictionary(*value.asDictionary(), depth, out);
            return;
        case PlistValue::Kind::Array: {
            const std::string indent(static_cast<std::size_t>(depth + 1) * 4, ' ');
            out += "(\n";
            const auto& array = *value.asArray();
            for (std::size_t i = 0; i < array.size(); ++i) {
                out += indent;
                render(array[i], depth + 1, out);
                out += i + 1 < array.size() ? ",\n" : "\n";
            }
            out += std::string(static_cast<std::size_t>(depth) * 4, ' ') + ")";
            return;
        }
        case PlistValue::Kind::String:
            out += quoted(*value.asString());
            return;
        case PlistValue::Kind::Integer:
            out += std::to_string(*value.asInteger());
            return;
        case PlistValue::Kind::Real: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", *value.asReal());
            out += buf;
            return;
        }
        case PlistValue::Kind::Boolean:
            out += *value.asBoolean() ? "1" : "0";
            return;
        case PlistValue::Kind::Data: {
            out += "{length = " + std::to_string(value.asData()->size()) + "}";
            return;
        }
        case PlistValue::Kind::Date: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.3f", value.asDate()->secondsSince2001);
            out += buf;
            return;
        }
    }
}

}  // namespace

PlistDictionary::PlistDictionary(std::initializer_list<Entry> entries) : PlistDictionary(std::vector<Entry>(entries)) {}

PlistDictionary::PlistDictionary(std::vector<Entry> entries) : entries_(std::move(entries)) {
    // Lists are usually written with their keys in order: nothing to do then.
    const auto unordered = std::adjacent_find(entries_.begin(), entries_.end(),
                                              [](const Entry& a, const Entry& b) { return !(a.first < b.first); });
    if (unordered == entries_.end()) return;

    // Sorted by position among equal keys, so that the last of them can be kept. Each slot
    // carries the key's first bytes, so most comparisons stay within the slots.
    struct Slot {
        std::uint64_t prefix;
        std::size_t at;
    };
    std::vector<Slot> slots;
    slots.reserve(entries_.size());
    for (std::size_t at = 0; at < entries_.size(); ++at) slots.push_back(Slot{keyPrefix(entries_[at].first), at});
    std::sort(slots.begin(), slots.end(), [this](const Slot& a, const Slot& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        const int order = entries_[a.at].first.compare(entries_[b.at].first);
        return order != 0 ? order < 0 : a.at < b.at;
    });
    // Moved into that order in place, following each cycle of the permutation once (a second
    // vector of entries would cost more in fresh pages than the moves), then the earlier of
    // equal keys dropped.
    for (std::size_t start = 0; start < slots.size(); ++start) {
        if (slots[start].at == start) continue;
        Entry held = std::move(entries_[start]);
        std::size_t to = start;
        while (slots[to].at != start) {
            const std::size_t from = slots[to].at;
            entries_[to] = std::move(entries_[from]);
            slots[to].at = to;
            to = from;
        }
        entries_[to] = std::move(held);
        slots[to].at = to;
    }
    std::size_t kept = 0;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        if (k + 1 < entries_.size() && entries_[k + 1].first == entries_[k].first) continue;
        if (kept != k) entries_[kept] = std::move(entries_[k]);
        ++kept;
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

void PlistDictionary::set(std::string key, PlistValue value) {
    auto it = lowerBound(entries_, key);
    if (it != entries_.end() && it->first == key) {
        it->second = std::move(value);
    } else {
        entries_.emplace(it, std::move(key), std::move(value));
    }
}

bool PlistDictionary::erase(std::string_view key) {
    auto it = lowerBound(entries_, key);
    if (it == entries_.end() || it->first != key) return false;
    entries_.erase(it);
    return true;
}

const PlistValue* PlistDictionary::find(std::string_view key) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                               [](const Entry& e, std::string_view k) { return e.first < k; });
    return it != entries_.end() && it->first == key ? &it->second : nullptr;
}

bool operator==(const PlistDictionary& a, const PlistDictionary& b) { return a.entries_ == b.entries_; }

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::size_t skipBlanks(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    return i;
}

}  // namespace

bool isNumericString(std::string_view text) {
    std::size_t i = skipBlanks(text);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

std::optional<std::int64_t> integerValue(const PlistValue& value) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (const auto* i = value.asInteger()) return *i;
    if (const auto* b = value.asBoolean()) return *b ? 1 : 0;
    if (const auto* r = value.asReal()) {
        if (std::isnan(*r)) return 0;
        if (*r >= 9223372036854775808.0) return kMax;
        if (*r < -9223372036854775808.0) return kMin;
        return static_cast<std::int64_t>(*r);
    }
    if (const auto* s = value.asString()) {
        std::string_view text = *s;
        std::size_t i = skipBlanks(text);
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        std::int64_t result = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            const int digit = text[i] - '0';
            if (!negative && result > (kMax - digit) / 10) return kMax;
            if (negative && result < (kMin + digit) / 10) return kMin;
            result = negative ? result * 10 - digit : result * 10 + digit;
        }
        return result;
    }
    return std::nullopt;
}

bool boolValue(const PlistValue& value) {
    if (const auto* b = value.asBoolean()) return *b;
    if (const auto* i = value.asInteger()) return *i != 0;
    if (const auto* r = value.asReal()) return *r != 0.0;
    if (const auto* s = value.asString()) {
        std::string_view text = *s;
        std::size_t i = skipBlanks(text);
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        while (i < text.size() && text[i] == '0') ++i;
        if (i == text.size()) return false;
        const char c = text[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

std::string describe(const PlistValue& value) {
    std::string out;
    render(value, 0, out);
    return out;
}

std::string describe(const PlistDictionary& dictionary) {
    std::string out;
    renderDictionary(dictionary, 0, out);
    return out;
}

}  // namespace wattkeeper

#include "platform/linux/plist_codec.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf8.h"

namespace wattkeeper {

namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};

// ---------------------------------------------------------------------------------------------
// Checks made before libplist parses anything. Its XML parser is iterative, but freeing and
// copying a tree recurse once per level, and its binary parser recurses along references and
// copies a shared object out once per reference; so depth and expansion are bounded here.

// Element nesting of XML text, tokenized the way libplist does (comments, CDATA, processing
// instructions and the DOCTYPE are skipped; a tag ends at its first '>' outside quotes). False
// when deeper than maxDepth, or when the text is malformed in a way that lets two readings
// disagree about where a tag ends; libplist would refuse such text anyway.
bool xmlNestingWithin(std::string_view s, std::size_t maxDepth) {
    constexpr auto npos = std::string_view::npos;
    std::size_t depth = 0;
    std::size_t i = 0;
    auto skipPast = [&](std::string_view marker, std::size_t from) {
        const auto at = s.find(marker, from);
        if (at == npos) return false;
        i = at + marker.size();
        return true;
    };
    while (i < s.size()) {
        const auto open = s.find('<', i);
        if (open == npos) break;
        const std::string_view rest = s.substr(open);
        if (rest.starts_with("<!--")) {
            if (!skipPast("-->", open + 4)) return false;
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            if (!skipPast("]]>", open + 9)) return false;
            continue;
        }
        if (rest.starts_with("<?")) {
            if (!skipPast("?>", open + 2)) return false;
            continue;
        }
        if (rest.starts_with("<!DOCTYPE")) {
            const auto end = s.find_first_of("[>", open + 9);
            if (end == npos) return false;
            if (s[end] == '>') {
                i = end + 1;
            } else if (!skipPast("]>", end + 1)) {
                return false;
            }
            continue;
        }
        if (rest.starts_with("<!")) return false;

        std::size_t j = open + 1;
        char quote = 0;
        for (; j < s.size(); ++j) {
            const char c = s[j];
            if (quote != 0) {
                if (c == quote) quote = 0;
                else if (c == '<' || c == '>') return false;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '<') {
                return false;
            } else if (c == '>') {
                break;
            }
        }
        if (j >= s.size()) return false;
        if (s[open + 1] == '/') {
            if (depth == 0) return false;
            --depth;
        } else if (s[j - 1] != '/') {
            if (++depth > maxDepth) return false;
        }
        i = j + 1;
    }
    return true;
}

// Whether the text holds a zero byte, or a character reference that libplist would turn into
// one ("&#0;", but also "&#x;" or "&#abc;", which it reads as zero). libplist asserts (and so
// aborts the daemon) when it hands out a key holding a zero character.
bool xmlHoldsZeroCharacter(std::string_view s) {
    if (s.find('\0') != std::string_view::npos) return true;
    for (auto at = s.find("&#"); at != std::string_view::npos; at = s.find("&#", at + 2)) {
        const auto end = s.find(';', at);
        if (end == std::string_view::npos) return false;  // libplist refuses an unterminated one
        std::string digits(s.substr(at + 2, end - at - 2));
        int base = 10;
        if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
            digits.erase(0, 1);
            base = 16;
        }
        if (std::strtoull(digits.c_str(), nullptr, base) == 0) return true;
    }
    return false;
}

std::uint64_t bigEndian(const std::uint8_t* p, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < size; ++k) value = (value << 8) | p[k];
    return value;
}

// The reference graph of a binary list ("bplist00": objects, offset table, 32-byte trailer).
class BinaryShape {
public:
    explicit BinaryShape(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // Whether the graph is well formed, acyclic, at most kMaxPlistDepth containers deep, and
    // within kMaxPlistExpansion once every reference is copied out. Walked with an explicit
    // stack; each object is measured once.
    bool acceptable() {
        if (!readTrailer()) return false;
        std::vector<std::uint8_t> state(objectCount_, kUnseen);  // kUnseen, kOpen or the height
        std::vector<std::uint32_t> cost(objectCount_, 0);        // set once an object is measured
        std::vector<bool> plainKey(objectCount_, false);
        struct Frame {
            Container container;
            std::uint64_t next = 0;
            std::uint8_t height = 1;
            std::uint64_t cost = kNodeCost;
        };
        std::vector<Frame> stack;

        // Folds a measured child into the frame on top, or accepts the root.
        auto fold = [&](std::uint8_t height, std::uint64_t childCost) {
            if (stack.empty()) return childCost <= kMaxPlistExpansion;
            Frame& parent = stack.back();
            if (stack.size() + height > static_cast<std::size_t>(kMaxPlistDepth)) return false;
            parent.height = std::max<std::uint8_t>(parent.height, static_cast<std::uint8_t>(height + 1));
            parent.cost += childCost;
            return parent.cost <= kMaxPlistExpansion;
        };
        // Enters an object: pushes a container, folds a scalar or an object already measured.
        auto enter = [&](std::uint64_t index) {
            if (state[index] == kOpen) return false;  // a reference cycle
            if (state[index] != kUnseen) return fold(state[index], cost[index]);
            const auto container = containerAt(index);
            if (!container) return false;
            if (!container->isContainer) {
                const auto scalar = scalarCost(index);
                if (!scalar) return false;
                state[index] = 0;
                cost[index] = static_cast<std::uint32_t>(*scalar);
                return fold(0, *scalar);
            }
            if (stack.size() >= static_cast<std::size_t>(kMaxPlistDepth)) return false;
            state[index] = kOpen;
            stack.push_back(Frame{*container});
            return true;
        };

        if (!enter(root_)) return false;
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < top.container.refCount) {
                const bool isKey = top.next < top.container.keyCount;
                const std::uint64_t child = refAt(top.container, top.next++);
                if (child >= objectCount_) return false;
                if (isKey && !plainKey[child]) {
                    if (!isPlainKey(child)) return false;
                    plainKey[child] = true;
                }
                if (!enter(child)) return false;
                continue;
            }
            const Frame done = top;
            stack.pop_back();
            state[done.container.index] = done.height;
            cost[done.container.index] = static_cast<std::uint32_t>(done.cost);
            if (!fold(done.height, done.cost)) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kHeader = 8;
    static constexpr std::size_t kTrailer = 32;
    static constexpr std::uint8_t kUnseen = 0xFF;
    static constexpr std::uint8_t kOpen = 0xFE;
    static constexpr std::uint64_t kNodeCost = 64;

    struct Container {
        std::uint64_t index = 0;
        bool isContainer = false;
        std::uint64_t refsAt = 0;
        std::uint64_t refCount = 0;  // a dictionary's keys and values both count
        std::uint64_t keyCount = 0;  // the first refs of a dictionary are its keys
    };

    bool readTrailer() {
        if (bytes_.size() < kHeader + kTrailer) return false;
        const std::uint8_t* t = bytes_.data() + bytes_.size() - kTrailer;
        offsetSize_ = t[6];
        refSize_ = t[7];
        objectCount_ = bigEndian(t + 8, 8);
        root_ = bigEndian(t + 16, 8);
        tableAt_ = bigEndian(t + 24, 8);
        const std::uint64_t tableEnd = bytes_.size() - kTrailer;
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (tableAt_ < kHeader || tableAt_ > tableEnd) return false;
        if (objectCount_ == 0 || objectCount_ > (tableEnd - tableAt_) / offsetSize_) return false;
        return root_ < objectCount_;
    }

    // The object's references, when it is an array, set or dictionary; nothing when malformed.
    std::optional<Container> containerAt(std::uint64_t index) const {
        const std::uint64_t offset = bigEndian(bytes_.data() + tableAt_ + index * offsetSize_, offsetSize_);
        if (offset < kHeader || offset >= tableAt_) return std::nullopt;
        Container c;
        c.index = index;
        const std::uint8_t marker = bytes_[offset];
        const unsigned type = marker >> 4;
        const bool dictionary = type == 0xD;
        if (type != 0xA && type != 0xB && type != 0xC && !dictionary) return c;
        c.isContainer = true;
        std::uint64_t at = offset;
        const auto count = countAt(at);
        if (!count) return std::nullopt;
        const std::uint64_t room = (tableAt_ - at) / refSize_;
        if (*count > room || (dictionary && *count > room / 2)) return std::nullopt;
        c.refsAt = at;
        c.refCount = dictionary ? *count * 2 : *count;
        c.keyCount = dictionary ? *count : 0;
        return c;
    }

    // The element count of the object whose marker is at `at`, which moves past the count.
    std::optional<std::uint64_t> countAt(std::uint64_t& at) const {
        std::uint64_t count = bytes_[at] & 0x0F;
        ++at;
        if (count != 0x0F) return count;
        if (at >= tableAt_) return std::nullopt;
        const std::uint8_t sizeMarker = bytes_[at];
        if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) return std::nullopt;
        const std::size_t sizeBytes = std::size_t{1} << (sizeMarker & 0x0F);
        if (tableAt_ - at - 1 < sizeBytes) return std::nullopt;
        count = bigEndian(bytes_.data() + at + 1, sizeBytes);
        at += 1 + sizeBytes;
        return count;
    }

    // A node's share of the expansion: a node's overhead plus its text or data, as libplist
    // holds it (UTF-16 text grows up to three bytes a unit in UTF-8). Nothing when malformed.
    std::optional<std::uint64_t> scalarCost(std::uint64_t index) const {
        const std::uint64_t offset = bigEndian(bytes_.data() + tableAt_ + index * offsetSize_, offsetSize_);
        const unsigned type = bytes_[offset] >> 4;
        if (type != 0x4 && type != 0x5 && type != 0x6) return kNodeCost;
        std::uint64_t at = offset;
        const auto count = countAt(at);
        if (!count) return std::nullopt;
        // Beyond the bound anyway; kept small so that the sums cannot overflow.
        const std::uint64_t units = std::min<std::uint64_t>(*count, kMaxPlistExpansion);
        return kNodeCost + (type == 0x6 ? units * 3 : units);
    }

    // Whether the object is a string without a zero character. libplist asserts (and so aborts
    // the daemon) when it hands out a key holding one.
    bool isPlainKey(std::uint64_t index) const {
        const std::uint64_t offset = bigEndian(bytes_.data() + tableAt_ + index * offsetSize_, offsetSize_);
        if (offset < kHeader || offset >= tableAt_) return false;
        const unsigned type = bytes_[offset] >> 4;
        if (type != 0x5 && type != 0x6) return false;  // ASCII or UTF-16
        const std::size_t unit = type == 0x5 ? 1 : 2;
        std::uint64_t at = offset;
        const auto count = countAt(at);
        if (!count || *count > (tableAt_ - at) / unit) return false;
        for (std::uint64_t k = 0; k < *count; ++k) {
            if (bigEndian(bytes_.data() + at + k * unit, unit) == 0) return false;
        }
        return true;
    }

    std::uint64_t refAt(const Container& c, std::uint64_t k) const {
        return bigEndian(bytes_.data() + c.refsAt + k * refSize_, refSize_);
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t root_ = 0;
    std::uint64_t tableAt_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Conversion of parsed nodes.

bool holdsZeroByte(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// libplist 2.2 keeps integers as 64 bits and marks a value above INT64_MAX only in its private
// node data; its XML writer shows the mark by printing the value unsigned, so ask the writer.
bool isUnsignedAboveInt64(plist_t node) {
    NodePtr copy(plist_copy(node));
    if (!copy) return false;
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(copy.get(), &xml, &length);
    if (!xml) return false;
    const std::string_view text(xml, length);
    const auto at = text.find("<integer>");
    const bool isUnsigned = at != std::string_view::npos && at + 9 < text.size() && text[at + 9] != '-';
    plist_to_xml_free(xml);
    return isUnsigned;
}

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            if (depth + 1 > kMaxPlistDepth) return std::nullopt;
            // Collected first and sorted once: a key set at a time would cost n^2 for keys in
            // descending order. A binary list may repeat a key (libplist keeps each entry);
            // the last one counts.
            std::vector<PlistDictionary::Entry> entries;
            entries.reserve(plist_dict_get_size(node));
            plist_dict_iter rawIter = nullptr;
            plist_dict_new_iter(node, &rawIter);
            std::unique_ptr<void, MallocDeleter> iter(rawIter);
            if (!iter) return std::nullopt;
            for (;;) {
                char* rawKey = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter.get(), &rawKey, &item);
                std::unique_ptr<char, MallocDeleter> key(rawKey);
                if (!item) break;
                if (!key || !isValidUtf8(key.get())) return std::nullopt;
                auto value = fromNode(item, depth + 1);
                if (!value) return std::nullopt;
                entries.emplace_back(std::string(key.get()), std::move(*value));
            }
            return PlistValue(PlistDictionary(std::move(entries)));
        }
        case PLIST_ARRAY: {
            if (depth + 1 > kMaxPlistDepth) return std::nullopt;
            PlistArray array;
            array.reserve(plist_array_get_size(node));
            // The iterator, not the index: libplist finds an element of an array it parsed
            // from a binary list by walking from the first, so indexing would cost n^2.
            plist_array_iter rawIter = nullptr;
            plist_array_new_iter(node, &rawIter);
            std::unique_ptr<void, MallocDeleter> iter(rawIter);
            if (!iter) return std::nullopt;
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(node, iter.get(), &item);
                if (!item) break;
                auto value = fromNode(item, depth + 1);
                if (!value) return std::nullopt;
                array.push_back(std::move(*value));
            }
            return PlistValue(std::move(array));
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (!text) return std::nullopt;
            const std::string_view view(text, static_cast<std::size_t>(length));
            if (!isValidUtf8(view)) return std::nullopt;
            return PlistValue(std::string(view));
        }
        case PLIST_UINT: {
            std::uint64_t raw = 0;
            plist_get_uint_val(node, &raw);
            if (raw <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return PlistValue(static_cast<std::int64_t>(raw));
            }
            if (isUnsignedAboveInt64(node)) return PlistValue(std::numeric_limits<std::int64_t>::max());
            return PlistValue(static_cast<std::int64_t>(raw));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PlistValue(value);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PlistValue(value != 0);
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            if (!bytes) return PlistValue(PlistData{});
            const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
            return PlistValue(PlistData(first, first + length));
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0;
            std::int32_t micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            const double fraction = static_cast<double>(micros) / 1e6;
            return PlistValue(PlistDate{seconds < 0 ? seconds - fraction : seconds + fraction});
        }
        default:
            return std::nullopt;
    }
}

NodePtr toNode(const PlistValue& value, int depth) {
    switch (value.kind()) {
        case PlistValue::Kind::Dictionary: {
            if (depth + 1 > kMaxPlistDepth) return nullptr;
            NodePtr dictionary(plist_new_dict());
            for (const auto& [key, item] : *value.asDictionary()) {
                if (holdsZeroByte(key) || !isValidUtf8(key)) return nullptr;
                NodePtr child = toNode(item, depth + 1);
                if (!child) return nullptr;
                plist_dict_set_item(dictionary.get(), key.c_str(), child.release());
            }
            return dictionary;
        }
        case PlistValue::Kind::Array: {
            if (depth + 1 > kMaxPlistDepth) return nullptr;
            NodePtr array(plist_new_array());
            for (const auto& item : *value.asArray()) {
                NodePtr child = toNode(item, depth + 1);
                if (!child) return nullptr;
                plist_array_append_item(array.get(), child.release());
            }
            return array;
        }
        case PlistValue::Kind::String: {
            const std::string& text = *value.asString();
            if (holdsZeroByte(text) || !isValidUtf8(text)) return nullptr;
            return NodePtr(plist_new_string(text.c_str()));
        }
        case PlistValue::Kind::Integer:
            // Two's complement: libplist writes it back as the signed value.
            return NodePtr(plist_new_uint(static_cast<std::uint64_t>(*value.asInteger())));
        case PlistValue::Kind::Real:
            return NodePtr(plist_new_real(*value.asReal()));
        case PlistValue::Kind::Boolean:
            return NodePtr(plist_new_bool(*value.asBoolean() ? 1 : 0));
        case PlistValue::Kind::Data: {
            static const char kNoBytes = 0;
            const PlistData& data = *value.asData();
            const char* first = data.empty() ? &kNoBytes : reinterpret_cast<const char*>(data.data());
            return NodePtr(plist_new_data(first, data.size()));
        }
        case PlistValue::Kind::Date: {
            const double when = value.asDate()->secondsSince2001;
            const double whole = std::trunc(when);
            if (!std::isfinite(when) || whole < std::numeric_limits<std::int32_t>::min() ||
                whole > std::numeric_limits<std::int32_t>::max()) {
                return nullptr;
            }
            const auto micros = static_cast<std::int32_t>(std::lround((when - whole) * 1e6));
            return NodePtr(plist_new_date(static_cast<std::int32_t>(whole), micros));
        }
    }
    return nullptr;
}

}  // namespace

std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxPlistBytes) return std::nullopt;
    const char* data = reinterpret_cast<const char*>(bytes.data());
    const auto length = static_cast<std::uint32_t>(bytes.size());
    plist_t root = nullptr;
    if (plist_is_binary(data, length)) {
        if (!BinaryShape(bytes).acceptable()) return std::nullopt;
        plist_from_bin(data, length, &root);
    } else {
        // Room for the <plist> element around the containers and a leaf element inside them.
        const std::string_view text(data, bytes.size());
        if (xmlHoldsZeroCharacter(text) || !xmlNestingWithin(text, kMaxPlistDepth + 2)) return std::nullopt;
        plist_from_xml(data, length, &root);
    }
    if (!root) return std::nullopt;
    NodePtr owner(root);
    return fromNode(root, 0);
}

std::optional<std::vector<std::uint8_t>> plistToBytes(const PlistValue& value, PlistFormat format) {
    NodePtr root = toNode(value, 0);
    if (!root) return std::nullopt;
    char* out = nullptr;
    std::uint32_t length = 0;
    if (format == PlistFormat::Xml) {
        plist_to_xml(root.get(), &out, &length);
    } else {
        plist_to_bin(root.get(), &out, &length);
    }
    if (!out) return std::nullopt;
    const auto* first = reinterpret_cast<const std::uint8_t*>(out);
    std::vector<std::uint8_t> bytes(first, first + length);
    if (format == PlistFormat::Xml) {
        plist_to_xml_free(out);
    } else {
        plist_to_bin_free(out);
    }
    return bytes;
}

}  // namespace wattkeeper

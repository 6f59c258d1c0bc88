#include "platform/linux/plist_codec.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/utf8.h"

namespace wattkeeper::linux_backend {

namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};

// ---------------------------------------------------------------------------------------------
// Checks made before libplist parses anything, so that what it is handed costs it time linear
// in the bytes, with a small constant. The reasons, from libplist 2.2's own code:
// - its XML parser is iterative, but freeing and copying a tree recurse once per level;
// - every node costs it a few allocations (so kMaxPlistNodes), and its binary parser copies a
//   shared object out once per reference (so kMaxPlistExpansion);
// - it finds a dictionary key by a linear scan while the dictionary holds 250 keys or fewer,
//   then in a hash table of 4096 buckets whose chains grow as keys collide, and it replaces a
//   repeated key's value by walking the dictionary's list up to it (so kMaxXmlKeyWork);
// - it replaces each character reference by moving the rest of the text (so
//   kMaxXmlReferenceMoves).

constexpr auto npos = std::string_view::npos;

// The first place at or after `from` where `matches` holds outside double quotes, skipping
// quoted text as libplist does (single quotes mean nothing to it); npos when there is none or a
// quote is left open.
template <class Matches>
std::size_t findUnquoted(std::string_view s, std::size_t from, Matches matches) {
    for (std::size_t k = from; k < s.size(); ++k) {
        if (matches(k)) return k;
        if (s[k] == '"') {
            k = s.find('"', k + 1);
            if (k == npos) return npos;
        }
    }
    return npos;
}

// Appends a run of text with its character references replaced, as libplist does it (named
// ones are told by their first letters; a '&' in the last place stays as it is). False where
// libplist refuses the run.
bool appendUnescaped(std::string_view run, std::string& out) {
    std::size_t i = 0;
    while (run.size() > 1 && i < run.size() - 1) {
        if (run[i] != '&') {
            out += run[i++];
            continue;
        }
        const auto end = run.find(';', i);
        if (end == npos || end == i + 1) return false;
        const std::string_view name = run.substr(i + 1, end - i - 1);
        i = end + 1;
        if (name.starts_with("amp"))
            out += '&';
        else if (name.starts_with("apos"))
            out += '\'';
        else if (name.starts_with("quot"))
            out += '"';
        else if (name.starts_with("lt"))
            out += '<';
        else if (name.starts_with("gt"))
            out += '>';
        else if (name[0] != '#' || name.size() > 8)
            return false;
        else {
            const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
            if (name.size() < (hex ? 3u : 2u)) return false;
            const std::string digits(name.substr(hex ? 2 : 1));
            char* stop = nullptr;
            const unsigned long long point = std::strtoull(digits.c_str(), &stop, hex ? 16 : 10);
            if (point == 0 || point > 0x10FFFF || stop != digits.c_str() + digits.size()) return false;
            // UTF-8 as libplist writes it, surrogates included.
            appendUtf8(out, static_cast<std::uint32_t>(point));
        }
    }
    out += run.substr(i);
    return true;
}

// The text of a key element from `from` (just past its start tag) to its end tag, as libplist
// reads it: comments dropped, CDATA sections as they are, references replaced in the rest.
// Nothing where libplist would refuse it.
std::optional<std::string> keyText(std::string_view s, std::size_t from) {
    std::string key;
    for (std::size_t i = from;;) {
        const auto open = s.find('<', i);
        if (open == npos || !appendUnescaped(s.substr(i, open - i), key)) return std::nullopt;
        const std::string_view rest = s.substr(open);
        if (rest.starts_with("</")) return key;
        const bool cdata = rest.starts_with("<![CDATA[");
        if (!cdata && !rest.starts_with("<!--")) return std::nullopt;
        const auto end = s.find(cdata ? "]]>" : "-->", open + (cdata ? 9 : 4));
        if (end == npos) return std::nullopt;
        if (cdata) key += s.substr(open + 9, end - open - 9);
        i = end + 3;
    }
}

// libplist's hash of a dictionary key: djb2 over its chars, each signed or not as char is in
// this build, as libplist takes them.
std::uint32_t keyHash(std::string_view key) {
    std::uint32_t hash = 5381;
    for (const char c : key) hash = hash * 33 + static_cast<std::uint32_t>(static_cast<int>(c));
    return hash;
}

// One pass over XML text, tokenized the way libplist's parser does, that measures what parsing
// it would cost libplist. Text that libplist would refuse, or that two readings could tokenize
// differently, is refused here too.
class XmlShape {
public:
    explicit XmlShape(std::string_view s) : s_(s) {}

    bool acceptable() {
        if (s_.find('\0') != npos) return false;  // see the end of textRun
        std::size_t i = 0;
        while (i < s_.size() && !rootRead_) {
            const auto open = s_.find('<', i);
            if (!textRun(s_.substr(i, open == npos ? npos : open - i))) return false;
            if (open == npos) break;
            const auto next = markup(open);
            if (next == npos) return false;
            i = next;
        }
        return true;
    }

private:
    // libplist looks keys up by a linear scan until a dictionary holds more than 500 nodes.
    static constexpr std::size_t kScannedKeys = 250;
    static constexpr std::size_t kBuckets = 4096;

    enum class Kind { Plist, Dictionary, Array, Text };
    struct Frame {
        Kind kind;
        std::string_view name;
        // A dictionary's keys as libplist will hold them, in its order.
        std::unordered_map<std::string, std::uint32_t> ordinals;
        std::vector<std::uint32_t> hashes;   // while it scans
        std::vector<std::uint32_t> buckets;  // the chain lengths, once it hashes
    };

    bool textRun(std::string_view run) {
        std::size_t references = 0;
        for (auto at = run.find('&'); at != npos; at = run.find('&', at + 1)) {
            ++references;
            // libplist asserts (and so aborts the daemon) when it hands out a key holding a zero
            // character; a zero byte anywhere or a reference to one ("&#0;", "&#x;") is refused.
            if (run.substr(at).starts_with("&#")) {
                const auto end = run.find(';', at);
                if (end == npos) continue;  // libplist refuses an unterminated one
                std::string digits(run.substr(at + 2, end - at - 2));
                int base = 10;
                if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
                    digits.erase(0, 1);
                    base = 16;
                }
                if (std::strtoull(digits.c_str(), nullptr, base) == 0) return false;
            }
        }
        referenceMoves_ += references * run.size();
        return referenceMoves_ <= kMaxXmlReferenceMoves;
    }

    // Reads the markup at `open`; returns where the text after it starts, npos to refuse.
    std::size_t markup(std::size_t open) {
        const std::string_view rest = s_.substr(open);
        if (rest.starts_with("</")) return closing(open);
        if (++nodes_ > kMaxPlistNodes) return npos;
        const bool inText = !frames_.empty() && frames_.back().kind == Kind::Text;
        if (rest.starts_with("<!--")) return pastMarker(s_.find("-->", open + 4), 3);
        if (rest.starts_with("<![CDATA[")) return inText ? pastMarker(s_.find("]]>", open + 9), 3) : npos;
        if (inText) return npos;
        if (rest.starts_with("<?")) {
            return pastMarker(unquoted(open + 1, "?>"), 2);
        }
        if (rest.starts_with("<!DOCTYPE")) {
            const auto end = unquoted(open + 9, "[>", true);
            if (end == npos || s_[end] == '>') return pastMarker(end, 1);
            return pastMarker(unquoted(end, "]>"), 2);
        }
        if (rest.starts_with("<!")) return npos;
        return opening(open);
    }

    static std::size_t pastMarker(std::size_t at, std::size_t size) { return at == npos ? npos : at + size; }

    // The first `marker` (or, with anyOf, the first of its characters) at or after `from`
    // outside double quotes.
    std::size_t unquoted(std::size_t from, std::string_view marker, bool anyOf = false) const {
        return findUnquoted(s_, from, [&](std::size_t k) {
            return anyOf ? marker.find(s_[k]) != npos : s_.substr(k).starts_with(marker);
        });
    }

    // A tag's name and where its '>' is, as libplist finds them: the name runs to the first
    // blank, '<' or '>', and loses a last '/' when the tag ends right after it.
    struct Tag {
        std::string_view name;
        std::size_t end = npos;
        bool empty = false;
    };
    Tag tag(std::size_t open) const {
        const std::size_t from = open + 1;
        const auto nameEnd = s_.find_first_of(" \r\n\t<>", from);
        if (nameEnd == npos) return {};
        Tag t;
        t.name = s_.substr(from, nameEnd - from);
        t.end = s_[nameEnd] == '>' ? nameEnd : unquoted(nameEnd, "<>", true);
        if (t.end == npos || s_[t.end] != '>') return {};
        t.empty = s_[t.end - 1] == '/';
        if (t.empty && t.end == nameEnd) t.name.remove_suffix(1);
        return t;
    }

    std::size_t closing(std::size_t open) {
        const Tag t = tag(open);
        // "</>" loses its '/' as an empty tag; libplist refuses it.
        if (t.end == npos || t.name.empty() || frames_.empty()) return npos;
        if (t.name.substr(1) != frames_.back().name) return npos;
        const Kind kind = frames_.back().kind;
        frames_.pop_back();
        if (kind == Kind::Dictionary || kind == Kind::Array) keyPending_ = false;
        if (kind != Kind::Plist && innermostContainer() == nullptr) rootRead_ = true;
        return t.end + 1;
    }

    std::size_t opening(std::size_t open) {
        static constexpr std::string_view kTextTags[] = {"key",  "string", "integer", "real",
                                                         "true", "false",  "data",    "date"};
        const Tag t = tag(open);
        if (t.end == npos) return npos;
        Kind kind = Kind::Text;
        if (t.name == "plist")
            kind = Kind::Plist;
        else if (t.name == "dict")
            kind = Kind::Dictionary;
        else if (t.name == "array")
            kind = Kind::Array;
        else if (std::find(std::begin(kTextTags), std::end(kTextTags), t.name) == std::end(kTextTags))
            return npos;

        if (kind != Kind::Plist) {
            // A key element is a dictionary's key when no key waits for its value; otherwise
            // it is a string value. Any value, or a container's end, drops a waiting key.
            Frame* parent = innermostContainer();
            const bool isKey =
                t.name == "key" && !t.empty && !keyPending_ && parent != nullptr && parent->kind == Kind::Dictionary;
            if (isKey) {
                auto key = keyText(s_, t.end + 1);
                if (!key || !addKey(*parent, std::move(*key))) return npos;
            }
            keyPending_ = isKey;
        }
        if (!t.empty) {
            if (frames_.size() >= static_cast<std::size_t>(kMaxPlistDepth) + 2) return npos;
            frames_.push_back(Frame{kind, t.name, {}, {}, {}});
        } else if (kind != Kind::Plist && innermostContainer() == nullptr) {
            rootRead_ = true;
        }
        return t.end + 1;
    }

    Frame* innermostContainer() {
        for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
            if (frame->kind == Kind::Dictionary || frame->kind == Kind::Array) return &*frame;
        }
        return nullptr;
    }

    // Counts what libplist spends setting the key: each key it compares the key with (a long
    // key counting once more for each 64 bytes), and, for a key already there, the list
    // elements it steps over to take the old value out and put the new one in.
    bool addKey(Frame& dictionary, std::string key) {
        const std::uint32_t hash = keyHash(key);
        const std::uint64_t weight = 1 + key.size() / 64;
        const auto ordinal = static_cast<std::uint32_t>(dictionary.ordinals.size());
        const auto [at, added] = dictionary.ordinals.try_emplace(std::move(key), ordinal);
        std::uint32_t* chain = dictionary.buckets.empty() ? nullptr : &dictionary.buckets[hash % kBuckets];
        if (!added) {
            keyWork_ += (chain ? std::uint64_t{2} * *chain : std::uint64_t{at->second} + 1) * weight +
                        4 * (std::uint64_t{at->second} + 1);
        } else if (chain) {
            keyWork_ += std::uint64_t{2} * *chain * weight;
            ++*chain;
        } else {
            keyWork_ += ordinal * weight;
            dictionary.hashes.push_back(hash);
            if (dictionary.hashes.size() > kScannedKeys) {
                dictionary.buckets.assign(kBuckets, 0);
                for (const std::uint32_t h : dictionary.hashes) keyWork_ += dictionary.buckets[h % kBuckets]++;
                dictionary.hashes = {};
            }
        }
        return keyWork_ <= kMaxXmlKeyWork;
    }

    std::string_view s_;
    std::vector<Frame> frames_;
    bool keyPending_ = false;
    // libplist stops once it has read the root value, and ignores what follows.
    bool rootRead_ = false;
    std::size_t nodes_ = 0;
    std::uint64_t referenceMoves_ = 0;
    std::uint64_t keyWork_ = 0;
};

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
    // within kMaxPlistNodes and kMaxPlistExpansion once every reference is copied out. Walked
    // with an explicit stack; each object is measured once.
    bool acceptable() {
        if (!readTrailer()) return false;
        std::vector<std::uint8_t> state(objectCount_, kUnseen);  // kUnseen, kOpen or the height
        std::vector<Cost> cost(objectCount_);                    // set once an object is measured
        std::vector<bool> plainKey(objectCount_, false);
        struct Frame {
            Container container;
            std::uint64_t next = 0;
            std::uint8_t height = 1;
            Cost cost{1, 0};
        };
        std::vector<Frame> stack;

        // Folds a measured child into the frame on top, or accepts the root.
        auto fold = [&](std::uint8_t height, Cost child) {
            if (stack.empty()) return child.within();
            Frame& parent = stack.back();
            if (stack.size() + height > static_cast<std::size_t>(kMaxPlistDepth)) return false;
            parent.height = std::max<std::uint8_t>(parent.height, static_cast<std::uint8_t>(height + 1));
            parent.cost.nodes += child.nodes;
            parent.cost.bytes += child.bytes;
            return parent.cost.within();
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
                cost[index] = Cost{1, static_cast<std::uint32_t>(*scalar)};
                return fold(0, cost[index]);
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
            cost[done.container.index] = done.cost;
            if (!fold(done.height, done.cost)) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kHeader = 8;
    static constexpr std::size_t kTrailer = 32;
    static constexpr std::uint8_t kUnseen = 0xFF;
    static constexpr std::uint8_t kOpen = 0xFE;

    // What an object expands to: its nodes, and the bytes of text and data they hold. Kept
    // within the bounds (the sums are checked as they grow), so 32 bits hold either.
    struct Cost {
        std::uint32_t nodes = 0;
        std::uint32_t bytes = 0;
        bool within() const { return nodes <= kMaxPlistNodes && bytes <= kMaxPlistExpansion; }
    };

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
        if (objectCount_ == 0 || objectCount_ > kMaxPlistNodes) return false;
        if (objectCount_ > (tableEnd - tableAt_) / offsetSize_) return false;
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

    // The bytes of text or data a scalar holds, as libplist holds them (UTF-16 text grows up
    // to three bytes a unit in UTF-8). Nothing when malformed.
    std::optional<std::uint64_t> scalarCost(std::uint64_t index) const {
        const std::uint64_t offset = bigEndian(bytes_.data() + tableAt_ + index * offsetSize_, offsetSize_);
        const unsigned type = bytes_[offset] >> 4;
        if (type != 0x4 && type != 0x5 && type != 0x6) return 0;
        std::uint64_t at = offset;
        const auto count = countAt(at);
        if (!count) return std::nullopt;
        // Beyond the bound anyway; kept small so that the sums cannot overflow.
        const std::uint64_t units = std::min<std::uint64_t>(*count, kMaxPlistExpansion);
        return type == 0x6 ? units * 3 : units;
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
        if (!XmlShape(std::string_view(data, bytes.size())).acceptable()) return std::nullopt;
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

}  // namespace wattkeeper::linux_backend

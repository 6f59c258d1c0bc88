// Decoding hostile limit files: the worst BatteryLimit.plist the console user can write within
// the daemon's read bound (daemon::DaemonFileManager::kMaxFileBytes, 1 MiB), decoded by linux_backend::plistFromBytes
// as the daemon decodes it. Each shape is filled as far as the bound allows, in XML and in binary form, and, where the
// decoder refuses that file, also to the largest size it accepts. The floor is libplist's own parse and free of the
// same bytes, which the decoder includes.
//
//   build/default/wk_bench --benchmark_filter=LimitFile

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "daemon/files/daemon_file_manager.h"
#include "platform/linux/plist_codec.h"

namespace wattkeeper::bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBound = daemon::DaemonFileManager::kMaxFileBytes;

// A property list to write: a dictionary (keys and values alternating), an array, a string or
// true. A node held by several parents is written out under each in XML, and once in binary
// form, where each parent refers to it.
struct Node {
    enum Kind { Dict, Array, String, True } kind = True;
    std::string text;
    std::vector<std::shared_ptr<const Node>> children;
};
using NodePtr = std::shared_ptr<const Node>;

NodePtr leaf() {
    static const NodePtr t = std::make_shared<Node>();
    return t;
}
NodePtr text(std::string s) { return std::make_shared<Node>(Node{Node::String, std::move(s), {}}); }
NodePtr container(Node::Kind kind, std::vector<NodePtr> children) {
    return std::make_shared<Node>(Node{kind, {}, std::move(children)});
}

// ---------------------------------------------------------------------------------------------
// Writers. XML without whitespace; binary with every string and `true` written once (as
// libplist's writer does) and the narrowest reference and offset sizes.

void appendXml(const Node& node, std::string& out) {
    switch (node.kind) {
        case Node::Dict:
        case Node::Array: {
            const char* tag = node.kind == Node::Dict ? "dict" : "array";
            if (node.children.empty()) {
                out += std::string("<") + tag + "/>";
                return;
            }
            out += std::string("<") + tag + ">";
            for (std::size_t k = 0; k < node.children.size(); ++k) {
                const Node& child = *node.children[k];
                if (node.kind == Node::Dict && k % 2 == 0) {
                    out += "<key>" + child.text + "</key>";
                } else {
                    appendXml(child, out);
                }
            }
            out += std::string("</") + tag + ">";
            return;
        }
        case Node::String:
            out += "<string>" + node.text + "</string>";
            return;
        case Node::True:
            out += "<true/>";
            return;
    }
}

Bytes xmlOf(const Node& root) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    appendXml(root, out);
    out += "</plist>";
    return Bytes(out.begin(), out.end());
}

class BinaryWriter {
public:
    Bytes finish(const Node& root) {
        const std::uint32_t rootIndex = put(root);
        const std::size_t refSize = widthOf(objects_.size());
        Bytes out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        for (const Object& object : objects_) {
            offsets.push_back(out.size());
            out.insert(out.end(), object.head.begin(), object.head.end());
            for (std::uint32_t ref : object.refs) appendBigEndian(out, ref, refSize);
        }
        const std::uint64_t tableAt = out.size();
        const std::size_t offsetSize = widthOf(tableAt);
        for (std::uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(refSize));
        appendBigEndian(out, objects_.size(), 8);
        appendBigEndian(out, rootIndex, 8);
        appendBigEndian(out, tableAt, 8);
        return out;
    }

private:
    struct Object {
        Bytes head;
        std::vector<std::uint32_t> refs;
    };

    std::uint32_t put(const Node& node) {
        if (auto at = written_.find(&node); at != written_.end()) return at->second;
        if (node.kind == Node::String) {
            if (auto at = strings_.find(node.text); at != strings_.end()) return written_[&node] = at->second;
        }
        Object object;
        switch (node.kind) {
            case Node::True:
                object.head = {0x09};
                break;
            case Node::String:
                object.head = stringObject(node.text);
                break;
            case Node::Array:
                object.head = countMarker(0xA0, node.children.size());
                for (const NodePtr& child : node.children) object.refs.push_back(put(*child));
                break;
            case Node::Dict: {
                // The keys' references, then the values'.
                object.head = countMarker(0xD0, node.children.size() / 2);
                std::vector<std::uint32_t> values;
                for (std::size_t k = 0; k < node.children.size(); ++k) {
                    (k % 2 == 0 ? object.refs : values).push_back(put(*node.children[k]));
                }
                object.refs.insert(object.refs.end(), values.begin(), values.end());
                break;
            }
        }
        objects_.push_back(std::move(object));
        const auto index = static_cast<std::uint32_t>(objects_.size() - 1);
        if (node.kind == Node::String) strings_[node.text] = index;
        return written_[&node] = index;
    }

    // ASCII as it is; anything else as UTF-16 (the text here stays in the BMP).
    static Bytes stringObject(std::string_view utf8) {
        if (std::all_of(utf8.begin(), utf8.end(), [](unsigned char c) { return c < 0x80; })) {
            Bytes out = countMarker(0x50, utf8.size());
            out.insert(out.end(), utf8.begin(), utf8.end());
            return out;
        }
        std::vector<std::uint16_t> units;
        for (std::size_t i = 0; i < utf8.size();) {
            const auto c = static_cast<unsigned char>(utf8[i]);
            const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : 3;
            std::uint32_t point = length == 1 ? c : length == 2 ? c & 0x1F : c & 0x0F;
            for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (utf8[i + k] & 0x3F);
            units.push_back(static_cast<std::uint16_t>(point));
            i += length;
        }
        Bytes out = countMarker(0x60, units.size());
        for (std::uint16_t unit : units) appendBigEndian(out, unit, 2);
        return out;
    }
    static Bytes countMarker(std::uint8_t type, std::size_t count) {
        if (count < 15) return Bytes{static_cast<std::uint8_t>(type | count)};
        Bytes out{static_cast<std::uint8_t>(type | 0x0F), 0x12};
        appendBigEndian(out, count, 4);
        return out;
    }
    static std::size_t widthOf(std::uint64_t value) {
        std::size_t width = 1;
        while (width < 8 && (value >> (8 * width)) != 0) ++width;
        return width;
    }
    static void appendBigEndian(Bytes& out, std::uint64_t value, std::size_t size) {
        for (std::size_t k = size; k-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
    }

    std::vector<Object> objects_;
    std::map<const Node*, std::uint32_t> written_;
    std::map<std::string, std::uint32_t> strings_;
};

// ---------------------------------------------------------------------------------------------
// Shapes, each of size n.

// Four characters, which sort as n does.
std::string keyName(std::size_t n) {
    static constexpr std::string_view kDigits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string key(4, '0');
    for (std::size_t k = 4; k-- > 0; n /= kDigits.size()) key[k] = kDigits[n % kDigits.size()];
    return key;
}

enum class Order { Sorted, Reversed, Random };

// One dictionary of n keys, each holding true.
NodePtr keys(std::size_t n, Order order) {
    std::vector<std::size_t> names(n);
    for (std::size_t k = 0; k < n; ++k) names[k] = order == Order::Reversed ? n - 1 - k : k;
    if (order == Order::Random) std::shuffle(names.begin(), names.end(), std::mt19937(20250806));
    std::vector<NodePtr> children;
    for (std::size_t name : names) {
        children.push_back(text(keyName(name)));
        children.push_back(leaf());
    }
    return container(Node::Dict, std::move(children));
}

// n/2 keys, then the last of them n/2 times more: each repeat replaces the entry at the end.
NodePtr repeatedKey(std::size_t n) {
    std::vector<NodePtr> children;
    for (std::size_t k = 0; k < n; ++k) {
        children.push_back(text(keyName(std::min(k, n / 2))));
        children.push_back(leaf());
    }
    return container(Node::Dict, std::move(children));
}

// An array of n chains of dictionaries, as deep as the decoder accepts.
NodePtr deepChains(std::size_t n) {
    std::vector<NodePtr> chains;
    for (std::size_t c = 0; c < n; ++c) {
        NodePtr inner = leaf();
        for (int level = 1; level < linux_backend::kMaxPlistDepth; ++level)
            inner = container(Node::Dict, {text("k"), inner});
        chains.push_back(inner);
    }
    return container(Node::Array, std::move(chains));
}

// An array of n empty dictionaries.
NodePtr smallContainers(std::size_t n) {
    std::vector<NodePtr> items;
    for (std::size_t k = 0; k < n; ++k) items.push_back(container(Node::Dict, {}));
    return container(Node::Array, std::move(items));
}

// A dictionary whose one value is n euro signs (three bytes each in UTF-8).
NodePtr longString(std::size_t n) {
    std::string s;
    for (std::size_t k = 0; k < n; ++k) s += "\u20ac";
    return container(Node::Dict, {text("ChargingLimit"), text(std::move(s))});
}

// A string of n character references ("&lt;") and 512 KiB of plain text after them: libplist
// moves the rest of the text for each reference. XML only.
NodePtr characterReferences(std::size_t n) {
    std::string s;
    for (std::size_t k = 0; k < n; ++k) s += "&lt;";
    s.append(std::size_t{512} << 10, 'x');
    return container(Node::Dict, {text("ChargingLimit"), text(std::move(s))});
}

// One dictionary of n keys that libplist's key hash puts in one bucket: each pair of characters
// is "Bc" or "CB", which the hash adds up alike.
NodePtr collidingKeys(std::size_t n) {
    std::vector<NodePtr> children;
    for (std::size_t k = 0; k < n; ++k) {
        std::string key;
        for (int bit = 15; bit-- > 0;) key += ((k >> bit) & 1) != 0 ? "CB" : "Bc";
        children.push_back(text(std::move(key)));
        children.push_back(leaf());
    }
    return container(Node::Dict, std::move(children));
}

// An array of n references to one array of n references to true: n^2 values once copied out.
// Binary only.
NodePtr sharedReferences(std::size_t n) {
    const NodePtr inner = container(Node::Array, std::vector<NodePtr>(n, leaf()));
    return container(Node::Array, std::vector<NodePtr>(n, inner));
}

// An array of n references to one string of 64 Ki euro signs (128 KiB in the file, 192 KiB in
// UTF-8): n copies of it once copied out. Binary only.
NodePtr sharedText(std::size_t n) {
    static const NodePtr shared = [] {
        std::string s;
        for (int k = 0; k < (1 << 16); ++k) s += "\u20ac";
        return text(std::move(s));
    }();
    return container(Node::Array, std::vector<NodePtr>(n, shared));
}

// ---------------------------------------------------------------------------------------------

struct Case {
    const char* name;
    std::function<NodePtr(std::size_t)> shape;
    bool xml = true;
    bool binary = true;
};

const Case kCases[] = {
    {"keys_sorted", [](std::size_t n) { return keys(n, Order::Sorted); }},
    {"keys_reversed", [](std::size_t n) { return keys(n, Order::Reversed); }},
    {"keys_random", [](std::size_t n) { return keys(n, Order::Random); }},
    {"keys_repeated", repeatedKey},
    {"deep_chains", deepChains},
    {"small_containers", smallContainers},
    {"long_string", longString},
    {"character_references", characterReferences, true, false},
    {"keys_colliding", collidingKeys},
    {"shared_references", sharedReferences, false, true},
    {"shared_text", sharedText, false, true},
};

// How far a shape is filled: to the read bound, or to the largest file the decoder accepts.
enum class Fill { ReadBound, LargestAccepted };

struct File {
    Bytes bytes;
    std::size_t n = 0;
};

// The largest n whose file fits the bound (and, filled to the largest accepted, decodes).
File fill(const Case& c, bool binary, Fill how) {
    auto make = [&](std::size_t n) {
        const NodePtr root = c.shape(n);
        return binary ? BinaryWriter().finish(*root) : xmlOf(*root);
    };
    auto fits = [&](std::size_t n) {
        const Bytes bytes = make(n);
        return bytes.size() <= kBound && (how == Fill::ReadBound || linux_backend::plistFromBytes(bytes).has_value());
    };
    std::size_t low = 1;  // fits
    std::size_t high = 2;
    for (; fits(high); high *= 2) low = high;
    while (high - low > 1) {
        const std::size_t mid = low + (high - low) / 2;
        (fits(mid) ? low : high) = mid;
    }
    return File{make(low), low};
}

const File& fileFor(const Case& c, bool binary, Fill how) {
    static std::map<std::tuple<const Case*, bool, Fill>, File> files;
    auto [at, added] = files.try_emplace({&c, binary, how});
    if (added) at->second = fill(c, binary, how);
    return at->second;
}

// The file's size; filled to the largest accepted, whether that is the read bound's file too
// (its figures are then the read bound's).
void describe(benchmark::State& state, const Case& c, bool binary, Fill how) {
    const File& file = fileFor(c, binary, how);
    state.counters["bytes"] = static_cast<double>(file.bytes.size());
    state.counters["n"] = static_cast<double>(file.n);
    if (how == Fill::LargestAccepted) {
        state.counters["at_read_bound"] = file.n == fileFor(c, binary, Fill::ReadBound).n ? 1 : 0;
    }
}

void decode(benchmark::State& state, const Case& c, bool binary, Fill how) {
    const File& file = fileFor(c, binary, how);
    bool decoded = false;
    for (auto _ : state) {
        auto value = linux_backend::plistFromBytes(file.bytes);
        decoded = value.has_value();
        benchmark::DoNotOptimize(value);
    }
    state.counters["refused"] = decoded ? 0 : 1;
    describe(state, c, binary, how);
}

// Not run on a file the decoder refuses: some would expand beyond the machine's memory.
void libplistAlone(benchmark::State& state, const Case& c, bool binary, Fill how) {
    const File& file = fileFor(c, binary, how);
    if (!linux_backend::plistFromBytes(file.bytes)) state.SkipWithError("refused by the decoder");
    const auto* data = reinterpret_cast<const char*>(file.bytes.data());
    const auto length = static_cast<std::uint32_t>(file.bytes.size());
    for (auto _ : state) {
        plist_t root = nullptr;
        if (binary)
            plist_from_bin(data, length, &root);
        else
            plist_from_xml(data, length, &root);
        if (!root) {
            state.SkipWithError("libplist does not parse the file");
            break;
        }
        plist_free(root);
    }
    describe(state, c, binary, how);
}

const bool kRegistered = [] {
    for (const Case& c : kCases) {
        for (const bool binary : {false, true}) {
            if (!(binary ? c.binary : c.xml)) continue;
            for (const Fill how : {Fill::ReadBound, Fill::LargestAccepted}) {
                const std::string suffix = std::string(binary ? "binary/" : "xml/") + c.name +
                                           (how == Fill::ReadBound ? "/read_bound" : "/largest_accepted");
                benchmark::RegisterBenchmark(("BM_LimitFile/" + suffix).c_str(), [&c, binary,
                                                                                  how](benchmark::State& s) {
                    decode(s, c, binary, how);
                })->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(("BM_LimitFileLibplist/" + suffix).c_str(), [&c, binary,
                                                                                          how](benchmark::State& s) {
                    libplistAlone(s, c, binary, how);
                })->Unit(benchmark::kMillisecond);
            }
        }
    }
    return true;
}();

}  // namespace
}  // namespace wattkeeper::bench

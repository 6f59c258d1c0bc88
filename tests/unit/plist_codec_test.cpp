#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/linux/plist_codec.h"

namespace wattkeeper::testkit {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes xmlPlist(std::string_view body) {
    return bytesOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + std::string(body) +
                   "</plist>\n");
}

// Writes binary lists object by object, so tests can build shapes no encoder would produce:
// cycles, shared references, unsupported object kinds.
class BinaryListWriter {
public:
    // Adds an object's encoded bytes; returns its index.
    std::uint32_t add(Bytes object) {
        objects_.push_back(std::move(object));
        return static_cast<std::uint32_t>(objects_.size() - 1);
    }
    // An array object of four-byte references.
    static Bytes array(const std::vector<std::uint32_t>& refs) {
        Bytes out = countMarker(0xA0, refs.size());
        for (std::uint32_t ref : refs) appendBigEndian(out, ref, 4);
        return out;
    }
    static Bytes asciiString(std::string_view text) {
        Bytes out = countMarker(0x50, text.size());
        out.insert(out.end(), text.begin(), text.end());
        return out;
    }
    static Bytes utf16String(const std::vector<std::uint16_t>& units) {
        Bytes out = countMarker(0x60, units.size());
        for (std::uint16_t unit : units) appendBigEndian(out, unit, 2);
        return out;
    }
    static Bytes dictionary(std::uint32_t key, std::uint32_t value) {
        return dictionary(std::vector<std::uint32_t>{key}, std::vector<std::uint32_t>{value});
    }
    // A dictionary object: the keys' references, then the values'.
    static Bytes dictionary(const std::vector<std::uint32_t>& keys, const std::vector<std::uint32_t>& values) {
        Bytes out = countMarker(0xD0, keys.size());
        for (std::uint32_t ref : keys) appendBigEndian(out, ref, 4);
        for (std::uint32_t ref : values) appendBigEndian(out, ref, 4);
        return out;
    }

    Bytes finish(std::uint32_t root) const {
        Bytes out = bytesOf("bplist00");
        std::vector<std::uint64_t> offsets;
        for (const auto& object : objects_) {
            offsets.push_back(out.size());
            out.insert(out.end(), object.begin(), object.end());
        }
        const std::uint64_t tableAt = out.size();
        for (std::uint64_t offset : offsets) appendBigEndian(out, offset, 4);
        out.insert(out.end(), 6, 0);
        out.push_back(4);  // offset size
        out.push_back(4);  // reference size
        appendBigEndian(out, objects_.size(), 8);
        appendBigEndian(out, root, 8);
        appendBigEndian(out, tableAt, 8);
        return out;
    }

private:
    static void appendBigEndian(Bytes& out, std::uint64_t value, int size) {
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    static Bytes countMarker(std::uint8_t type, std::size_t count) {
        if (count < 15) return Bytes{static_cast<std::uint8_t>(type | count)};
        Bytes out{static_cast<std::uint8_t>(type | 0x0F), 0x12};
        appendBigEndian(out, count, 4);
        return out;
    }

    std::vector<Bytes> objects_;
};

// An array nested `depth` containers deep, innermost empty, written as a binary list.
Bytes nestedBinaryArrays(std::size_t depth) {
    BinaryListWriter writer;
    std::uint32_t inner = writer.add(BinaryListWriter::array({}));
    for (std::size_t level = 1; level < depth; ++level) inner = writer.add(BinaryListWriter::array({inner}));
    return writer.finish(inner);
}

Bytes nestedXmlArrays(std::size_t depth) {
    std::string body;
    for (std::size_t level = 0; level < depth; ++level) body += "<array>";
    for (std::size_t level = 0; level < depth; ++level) body += "</array>";
    return xmlPlist(body);
}

// A dictionary of the given keys, each holding true, as XML.
Bytes xmlDictionary(std::size_t count, std::string (*key)(std::size_t)) {
    std::string body = "<dict>";
    for (std::size_t k = 0; k < count; ++k) body += "<key>" + key(k) + "</key><true/>";
    return xmlPlist(body + "</dict>");
}

const PlistValue kEveryKind = PlistDictionary{
    {"text", "开始重启 – ascii & <markup>"},
    {"empty text", ""},
    {"ключ ✓", "non-ASCII key"},
    {"", "empty key"},
    {"integers",
     PlistArray{0, -1, 255, 65536, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}},
    {"reals", PlistArray{0.1, -2.5, 1e300, 1.0 / 3}},
    {"booleans", PlistArray{true, false}},
    {"data", PlistData{0x00, 0xFF, 0x10, 0x00}},
    {"empty data", PlistData{}},
    {"dates", PlistArray{PlistDate{0}, PlistDate{-86400}, PlistDate{700000000}}},
    {"nested", PlistArray{PlistDictionary{{"deeper", PlistArray{PlistArray{}}}}, PlistDictionary{}}},
};

TEST(PlistCodecTest, EveryKindSurvivesARoundTripInBothForms) {
    const PlistValue roots[] = {kEveryKind, PlistArray{kEveryKind}, "only text",    42, 2.5,
                                true,       PlistData{1, 2},        PlistDate{3600}};
    for (const linux_backend::PlistFormat format :
         {linux_backend::PlistFormat::Xml, linux_backend::PlistFormat::Binary}) {
        for (const auto& root : roots) {
            const auto bytes = linux_backend::plistToBytes(root, format);
            ASSERT_TRUE(bytes) << describe(root);
            const auto back = linux_backend::plistFromBytes(*bytes);
            ASSERT_TRUE(back) << describe(root);
            EXPECT_EQ(*back, root) << (format == linux_backend::PlistFormat::Xml ? "XML: " : "binary: ")
                                   << describe(root);
        }
    }
}

TEST(PlistCodecTest, IntegersAboveTheSignedRangeSaturateAndNegativesStayNegative) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* text;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"18446744073709551615", kMax},
        {"9223372036854775808", kMax},
        {"99999999999999999999999", kMax},
        {"-1", -1},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& c : cases) {
        const auto value = linux_backend::plistFromBytes(xmlPlist(std::string("<integer>") + c.text + "</integer>"));
        ASSERT_TRUE(value) << c.text;
        EXPECT_EQ(value->asInteger() ? *value->asInteger() : 0, c.expected) << c.text;
    }

    // The binary form writes such a value as a 16-byte integer.
    BinaryListWriter writer;
    Bytes sixteenBytes{0x14};
    sixteenBytes.insert(sixteenBytes.end(), 8, 0x00);
    sixteenBytes.insert(sixteenBytes.end(), 8, 0xFF);
    const auto value = linux_backend::plistFromBytes(writer.finish(writer.add(sixteenBytes)));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->asInteger() ? *value->asInteger() : 0, kMax);
}

// A binary dictionary with one entry, true under the given key object.
Bytes keyedBy(Bytes key) {
    BinaryListWriter writer;
    const std::uint32_t keyIndex = writer.add(std::move(key));
    const std::uint32_t value = writer.add(Bytes{0x09});
    return writer.finish(writer.add(BinaryListWriter::dictionary(keyIndex, value)));
}

TEST(PlistCodecTest, BytesThatAreNoPropertyListDecodeToNothing) {
    const auto valid = xmlPlist("<dict><key>ChargingLimit</key><integer>80</integer></dict>");
    Bytes oversized = valid;
    oversized.resize(linux_backend::kMaxPlistBytes + 1, ' ');
    BinaryListWriter uidWriter;
    const auto withUid = uidWriter.finish(uidWriter.add(Bytes{0x80, 0x01}));

    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"plain text", bytesOf("ChargingLimit = 80")},
        {"a lone angle bracket", bytesOf("<")},
        {"unclosed element", bytesOf("<plist><dict><key>a</key><integer>1")},
        {"end tag without a name", xmlPlist("<dict><key>a</key><true/></></dict>")},
        {"magic only", bytesOf("bplist00")},
        {"binary trailer of zeros",
         [] {
             Bytes b = bytesOf("bplist00");
             b.resize(40, 0);
             return b;
         }()},
        {"random bytes", Bytes{0x9c, 0x00, 0xff, 0x13, 0x37, 0x42, 0x00, 0x01, 0x80}},
        {"text that is not UTF-8", xmlPlist("<string>\xff\xfe</string>")},
        {"key that is not UTF-8", xmlPlist("<dict><key>\xc3</key><true/></dict>")},
        {"binary ASCII string holding a high byte",
         [] {
             BinaryListWriter w;
             return w.finish(w.add(BinaryListWriter::asciiString("\xe9t\xe9")));
         }()},
        {"uid object", withUid},
        // libplist aborts the process when it hands out a key holding a zero character.
        {"XML key holding a zero byte", xmlPlist(std::string("<dict><key>a\0b</key><true/></dict>", 34))},
        {"XML key holding a zero reference", xmlPlist("<dict><key>a&#0;b</key><true/></dict>")},
        {"XML key holding an empty hex reference", xmlPlist("<dict><key>a&#x;b</key><true/></dict>")},
        {"binary ASCII key holding a zero byte", keyedBy(BinaryListWriter::asciiString(std::string("a\0b", 3)))},
        {"binary UTF-16 key holding a zero unit", keyedBy(BinaryListWriter::utf16String({0x61, 0x0000, 0x62}))},
        {"binary key that is an array", keyedBy(BinaryListWriter::array({}))},
        {"larger than the bound", oversized},
        {"XML nested 200000 deep", nestedXmlArrays(200000)},
        {"binary nested 200000 deep", nestedBinaryArrays(200000)},
        // Beyond kMaxXmlKeyWork: keys libplist's hash puts in one bucket ("Bc" and "CB" hash
        // alike), and a key repeated far into a long dictionary.
        {"XML keys in one hash bucket", xmlDictionary(2048,
                                                      [](std::size_t k) {
                                                          std::string key;
                                                          for (int bit = 0; bit < 11; ++bit)
                                                              key += ((k >> bit) & 1) != 0 ? "CB" : "Bc";
                                                          return key;
                                                      })},
        {"XML key repeated far into a dictionary",
         xmlDictionary(1400, [](std::size_t k) { return "k" + std::to_string(std::min<std::size_t>(k, 999)); })},
    };
    for (const auto& c : cases) EXPECT_FALSE(linux_backend::plistFromBytes(c.bytes)) << c.name;
}

TEST(PlistCodecTest, EveryTruncationOfABinaryListDecodesToNothing) {
    const auto whole = linux_backend::plistToBytes(kEveryKind, linux_backend::PlistFormat::Binary);
    ASSERT_TRUE(whole);
    for (std::size_t size = 0; size < whole->size(); ++size) {
        const Bytes prefix(whole->begin(), whole->begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(linux_backend::plistFromBytes(prefix)) << "first " << size << " bytes";
    }
}

TEST(PlistCodecTest, ListsAtEachBoundDecodeAndListsJustPastItAreRefused) {
    struct Case {
        const char* name;
        Bytes (*make)(std::size_t);
        std::size_t bound;
    };
    const Case cases[] = {
        {"XML nesting", nestedXmlArrays, linux_backend::kMaxPlistDepth},
        {"binary nesting", nestedBinaryArrays, linux_backend::kMaxPlistDepth},
        // The declaration, <plist> and <array> count too.
        {"XML markup",
         [](std::size_t n) {
             std::string body = "<array>";
             for (std::size_t k = 3; k < n; ++k) body += "<true/>";
             return xmlPlist(body + "</array>");
         },
         linux_backend::kMaxPlistNodes},
        {"binary nodes, shared",
         [](std::size_t n) {
             BinaryListWriter w;
             const std::uint32_t leaf = w.add(Bytes{0x09});
             return w.finish(w.add(BinaryListWriter::array(std::vector<std::uint32_t>(n - 1, leaf))));
         },
         linux_backend::kMaxPlistNodes},
        {"binary objects, all but the root unreachable",
         [](std::size_t n) {
             BinaryListWriter w;
             for (std::size_t k = 0; k < n; ++k) w.add(Bytes{0x09});
             return w.finish(0);
         },
         linux_backend::kMaxPlistNodes},
        {"binary text, shared",
         [](std::size_t bytes) {
             BinaryListWriter w;
             const std::uint32_t text = w.add(BinaryListWriter::asciiString(std::string((bytes + 1023) / 1024, 'x')));
             return w.finish(w.add(BinaryListWriter::array(std::vector<std::uint32_t>(1024, text))));
         },
         linux_backend::kMaxPlistExpansion},
        // 2048 references, each moving the whole text.
        {"XML references",
         [](std::size_t moves) {
             std::string text;
             for (int k = 0; k < 2048; ++k) text += "&lt;";
             text.resize((moves + 2047) / 2048, 'x');
             return xmlPlist("<string>" + text + "</string>");
         },
         linux_backend::kMaxXmlReferenceMoves},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(linux_backend::plistFromBytes(c.make(c.bound))) << c.name;
        EXPECT_FALSE(linux_backend::plistFromBytes(c.make(c.bound + 1))) << c.name;
    }
}

TEST(PlistCodecTest, BinaryReferenceCyclesAndRunawaySharingAreRefused) {
    BinaryListWriter cycle;
    cycle.add(BinaryListWriter::array({0}));
    EXPECT_FALSE(linux_backend::plistFromBytes(cycle.finish(0)));

    BinaryListWriter keyCycle;  // a dictionary whose key refers back to the dictionary
    keyCycle.add(BinaryListWriter::dictionary(0, 1));
    keyCycle.add(BinaryListWriter::asciiString("v"));
    EXPECT_FALSE(linux_backend::plistFromBytes(keyCycle.finish(0)));

    // Each level refers to the one below twice: 60 objects that would expand to 2^60 nodes.
    BinaryListWriter bomb;
    std::uint32_t below = bomb.add(BinaryListWriter::asciiString("x"));
    for (int level = 0; level < 60; ++level) below = bomb.add(BinaryListWriter::array({below, below}));
    EXPECT_FALSE(linux_backend::plistFromBytes(bomb.finish(below)));

    // One 100 KB text referred to 10000 times would be copied out to a gigabyte.
    BinaryListWriter copies;
    const std::uint32_t large = copies.add(BinaryListWriter::asciiString(std::string(100 * 1024, 'x')));
    EXPECT_FALSE(linux_backend::plistFromBytes(
        copies.finish(copies.add(BinaryListWriter::array(std::vector<std::uint32_t>(10000, large))))));

    // Modest sharing is an ordinary list.
    BinaryListWriter shared;
    const std::uint32_t leaf = shared.add(BinaryListWriter::asciiString("x"));
    const auto value = linux_backend::plistFromBytes(shared.finish(shared.add(BinaryListWriter::array({leaf, leaf}))));
    EXPECT_EQ(value, PlistValue(PlistArray{"x", "x"}));

    // A key shared by many entries: the last counts, as if each entry were set in turn.
    BinaryListWriter sharedKey;
    const std::uint32_t key = sharedKey.add(BinaryListWriter::asciiString("ChargingLimit"));
    std::vector<std::uint32_t> values;
    for (std::uint8_t v = 0; v < 100; ++v) values.push_back(sharedKey.add(Bytes{0x10, v}));
    const auto last = linux_backend::plistFromBytes(sharedKey.finish(
        sharedKey.add(BinaryListWriter::dictionary(std::vector<std::uint32_t>(values.size(), key), values))));
    EXPECT_EQ(last, PlistValue(PlistDictionary{{"ChargingLimit", 99}})) << (last ? describe(*last) : "nothing");
    EXPECT_EQ(linux_backend::plistFromBytes(xmlPlist("<dict><key>a</key><true/><key>a</key><false/></dict>")),
              PlistValue(PlistDictionary{{"a", false}}));
}

TEST(PlistCodecTest, XmlThatHidesTagEndsInQuotesIsRefused) {
    // Read with quotes honoured, each of these opens an array; read without, none does.
    std::string body;
    for (int level = 0; level < 100; ++level) body += "<array x=\"/>\">";
    EXPECT_FALSE(linux_backend::plistFromBytes(xmlPlist(body)));
}

TEST(PlistCodecTest, ValuesThatCannotBeWrittenFaithfullyAreNotEncoded) {
    PlistValue tooDeep = PlistArray{};
    for (int level = 0; level < linux_backend::kMaxPlistDepth; ++level) tooDeep = PlistArray{tooDeep};
    const PlistValue cases[] = {
        std::string("zero\0byte", 9),
        PlistDictionary{{std::string("key\0", 4), 1}},
        std::string("\xff"),
        PlistDate{std::numeric_limits<double>::quiet_NaN()},
        PlistDate{1e12},
        tooDeep,
    };
    for (const auto& value : cases) {
        EXPECT_FALSE(linux_backend::plistToBytes(value, linux_backend::PlistFormat::Xml)) << describe(value);
        EXPECT_FALSE(linux_backend::plistToBytes(value, linux_backend::PlistFormat::Binary)) << describe(value);
    }
}

}  // namespace
}  // namespace wattkeeper::testkit

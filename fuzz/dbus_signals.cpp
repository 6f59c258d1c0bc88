// Fuzzes the Linux centers' reading of incoming Post signals. The input describes a signal
// body (a signature of any shape, nested containers and variants included, and the values in
// it); the body is built in memory, as the bus would deliver it, and read by both centers.
//
// Most bodies are a name and a dictionary, the form that carries a payload, so that the
// dictionary readers see many value types.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "fuzz/fuzz_kit.h"
#include "platform/linux/dbus_centers.h"
#include "platform/utf8.h"

// sdbus-c++ 1.2 exports this (its Variant is built on it) without declaring it: a message that
// belongs to no bus connection.
namespace sdbus {
PlainMessage createPlainMessage();
}

namespace wattkeeper::fuzzing {
namespace {

using linux_backend::decodePostBody;
using Kind = linux_backend::DbusNotificationCenter::Kind;

// A D-Bus type: a basic code, 'v', 'a' with one element type, '{' with key and value types, or
// '(' with its members.
struct Type {
    char code = 's';
    std::vector<Type> members;

    std::string signature() const {
        switch (code) {
            case 'a':
                return "a" + members[0].signature();
            case '{':
                return "{" + members[0].signature() + members[1].signature() + "}";
            case '(': {
                std::string s = "(";
                for (const auto& m : members) s += m.signature();
                return s + ")";
            }
            default:
                return std::string(1, code);
        }
    }
};

constexpr char kBasic[] = {'y', 'b', 'n', 'q', 'i', 'u', 'x', 't', 'd', 's', 'o', 'g'};

Type basicType(FuzzedDataProvider& in) { return Type{in.PickValueInArray(kBasic), {}}; }

// A signature has at most 255 characters on the wire, and a body's types share that; a longer
// one could be built in memory but no bus would carry it.
constexpr std::size_t kMaxTypeSignature = 64;

Type anyType(FuzzedDataProvider& in, int depth) {
    const int pick = in.ConsumeIntegralInRange<int>(0, depth > 0 ? 15 : 11);
    if (pick < 12) return Type{kBasic[pick], {}};
    Type type;
    switch (pick) {
        case 12:
            type = Type{'v', {}};
            break;
        case 13:
            type = Type{'a', {anyType(in, depth - 1)}};
            break;
        case 14:
            type = Type{'a', {Type{'{', {basicType(in), anyType(in, depth - 1)}}}};
            break;
        default: {
            type = Type{'(', {}};
            const int count = in.ConsumeIntegralInRange<int>(1, 3);
            for (int k = 0; k < count; ++k) type.members.push_back(anyType(in, depth - 1));
            break;
        }
    }
    if (type.signature().size() > kMaxTypeSignature) return Type{'s', {}};
    return type;
}

// Text the bus would carry: valid UTF-8 without a zero character. Anything else becomes ASCII.
std::string busText(FuzzedDataProvider& in) {
    std::string text = in.ConsumeRandomLengthString(24);
    if (isValidUtf8(text) && text.find('\0') == std::string::npos) return text;
    for (char& c : text) {
        c = static_cast<char>(c & 0x7F);
        if (c == 0) c = '?';
    }
    return text;
}

void appendValue(sdbus::Message& message, const Type& type, FuzzedDataProvider& in, int depth);

// Exactly one of these matches: `code` is one of kBasic.
void appendBasic(sdbus::Message& message, char code, FuzzedDataProvider& in) {
    if (code == 'y') message << in.ConsumeIntegral<std::uint8_t>();
    if (code == 'b') message << in.ConsumeBool();
    if (code == 'n') message << in.ConsumeIntegral<std::int16_t>();
    if (code == 'q') message << in.ConsumeIntegral<std::uint16_t>();
    if (code == 'i') message << in.ConsumeIntegral<std::int32_t>();
    if (code == 'u') message << in.ConsumeIntegral<std::uint32_t>();
    if (code == 'x') message << in.ConsumeIntegral<std::int64_t>();
    if (code == 't') message << in.ConsumeIntegral<std::uint64_t>();
    if (code == 'd') message << in.ConsumeFloatingPoint<double>();
    if (code == 's') message << busText(in);
    if (code == 'o') {
        std::string path = "/";
        for (char c : in.ConsumeRandomLengthString(12))
            path += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '_';
        message << sdbus::ObjectPath(path);
    }
    if (code == 'g') message << sdbus::Signature(anyType(in, 2).signature());
}

void appendValue(sdbus::Message& message, const Type& type, FuzzedDataProvider& in, int depth) {
    switch (type.code) {
        case 'v': {
            const Type inner = anyType(in, depth);
            message.openVariant(inner.signature());
            appendValue(message, inner, in, depth - 1);
            message.closeVariant();
            break;
        }
        case 'a': {
            const Type& element = type.members[0];
            message.openContainer(element.signature());
            const int count = in.ConsumeIntegralInRange<int>(0, 4);
            for (int k = 0; k < count && in.remaining_bytes() > 0; ++k) {
                if (element.code == '{') {
                    message.openDictEntry(element.members[0].signature() + element.members[1].signature());
                    appendBasic(message, element.members[0].code, in);
                    appendValue(message, element.members[1], in, depth - 1);
                    message.closeDictEntry();
                } else {
                    appendValue(message, element, in, depth - 1);
                }
            }
            message.closeContainer();
            break;
        }
        case '(': {
            std::string contents;
            for (const auto& m : type.members) contents += m.signature();
            message.openStruct(contents);
            for (const auto& m : type.members) appendValue(message, m, in, depth - 1);
            message.closeStruct();
            break;
        }
        default:
            appendBasic(message, type.code, in);
            break;
    }
}

// The plist kind a variant of this signature arrives as; nothing when the entry is left out.
std::optional<PlistValue::Kind> kindOf(const std::string& signature) {
    if (signature.size() == 1 && std::string_view("ixnuqyt").find(signature[0]) != std::string_view::npos) {
        return PlistValue::Kind::Integer;
    }
    if (signature == "d") return PlistValue::Kind::Real;
    if (signature == "s") return PlistValue::Kind::String;
    if (signature == "b") return PlistValue::Kind::Boolean;
    if (signature == "ay") return PlistValue::Kind::Data;
    if (signature == "a{sv}") return PlistValue::Kind::Dictionary;
    if (signature == "av") return PlistValue::Kind::Array;
    return std::nullopt;
}

// The value types a dictionary may hold directly, besides variants, for dbus-send's sake.
constexpr char kDirectValues[] = {'s', 'i', 'b', 'x', 'd', 'u', 'n', 'q', 'y', 't'};

}  // namespace
}  // namespace wattkeeper::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace wattkeeper;
    using namespace wattkeeper::fuzzing;
    FuzzedDataProvider in(data, size);
    constexpr int kDepth = 5;

    auto message = sdbus::createPlainMessage();
    const int shape = in.ConsumeIntegralInRange<int>(0, 7);
    std::string name;
    // Of the name-and-dictionary form: the keys sent, first occurrence first, with what their
    // values were sent as; whether anything follows the dictionary.
    bool payloadForm = false;
    char valueCode = 'v';
    std::vector<std::pair<std::string, std::string>> entries;
    bool trailing = false;
    bool nameOnly = false;
    try {
        if (shape == 0) {
            // Any body at all.
            const int count = in.ConsumeIntegralInRange<int>(0, 3);
            for (int k = 0; k < count; ++k) appendValue(message, anyType(in, kDepth), in, kDepth);
        } else if (shape == 1) {
            name = busText(in);
            message << name;
            nameOnly = true;
        } else if (shape == 2) {
            name = busText(in);
            message << name;
            const int count = in.ConsumeIntegralInRange<int>(1, 2);
            for (int k = 0; k < count; ++k) appendValue(message, anyType(in, kDepth), in, kDepth);
        } else {
            payloadForm = true;
            name = busText(in);
            message << name;
            valueCode = shape == 3 ? in.PickValueInArray(kDirectValues) : 'v';
            message.openContainer(std::string("{s") + valueCode + "}");
            const int count = in.ConsumeIntegralInRange<int>(0, 8);
            for (int k = 0; k < count && in.remaining_bytes() > 0; ++k) {
                message.openDictEntry(std::string("s") + valueCode);
                const std::string key = busText(in);
                message << key;
                std::string sent(1, valueCode);
                if (valueCode == 'v') {
                    const Type inner = in.ConsumeBool() ? Type{in.PickValueInArray(kBasic), {}} : anyType(in, kDepth);
                    sent = inner.signature();
                    message.openVariant(sent);
                    appendValue(message, inner, in, kDepth);
                    message.closeVariant();
                } else {
                    appendBasic(message, valueCode, in);
                }
                message.closeDictEntry();
                entries.emplace_back(key, sent);
            }
            message.closeContainer();
            trailing = shape == 7;
            if (trailing) appendValue(message, anyType(in, 2), in, 2);
        }
        message.seal();
    } catch (const sdbus::Error&) {
        // Not a body the bus could carry.
        return 0;
    }

    const auto darwin = decodePostBody(message, Kind::Darwin);
    const auto distributed = decodePostBody(message, Kind::Distributed);
    expect(!darwin || !darwin->userInfo, "the Darwin center delivers a dictionary");

    if (nameOnly) {
        expect(darwin && darwin->name == name && distributed && distributed->name == name && !distributed->userInfo,
               "a bare name is not delivered as it was sent");
    }
    if (payloadForm) {
        expect(!darwin, "the Darwin center takes a post with a dictionary");
        if (trailing) {
            expect(!distributed, "a body with more after the dictionary is delivered");
        } else {
            expect(distributed && distributed->name == name && distributed->userInfo,
                   "a name and dictionary are not delivered");
            const PlistDictionary& got = *distributed->userInfo;
            std::set<std::string> seen;
            std::size_t kept = 0;
            for (const auto& [key, signature] : entries) {
                if (!seen.insert(key).second) continue;  // the first of two equal keys counts
                const auto kind = kindOf(signature);
                const PlistValue* value = got.find(key);
                if (kind) {
                    expect(value && value->kind() == *kind, "an entry of a carried type is lost or changed");
                    ++kept;
                } else {
                    expect(!value, "an entry of a type that is not carried arrives");
                }
            }
            expect(got.size() == kept, "a dictionary arrives with entries that were not sent");
        }
    }
    return 0;
}

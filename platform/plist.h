#pragma once
// Property-list values: what notification payloads, preference files and power-source
// descriptions are made of. A plain value type, copied freely.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace wattkeeper {

class PlistValue;

using PlistArray = std::vector<PlistValue>;
using PlistData = std::vector<std::uint8_t>;

// A point in time as property lists store it: seconds since 2001-01-01 00:00:00 UTC.
struct PlistDate {
    double secondsSince2001 = 0.0;
    friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

// String-keyed dictionary. Entries are kept sorted by key so that two dictionaries with the
// same contents compare equal whatever order they were filled in.
class PlistDictionary {
public:
    using Entry = std::pair<std::string, PlistValue>;

    PlistDictionary() = default;
    PlistDictionary(std::initializer_list<Entry> entries);
    // The entries in any order, sorted once: n log n, where setting them one by one costs up to
    // n^2 (a file's keys, whatever their order). Of entries with the same key the last counts,
    // as if each had been set in turn.
    explicit PlistDictionary(std::vector<Entry> entries);

    // Sets or replaces the value under key (setValue:forKey: with a non-nil value). Linear in
    // the size: to build a dictionary of many entries, collect them and use the constructor.
    void set(std::string key, PlistValue value);
    // Removes key; returns whether it was present.
    bool erase(std::string_view key);

    const PlistValue* find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Defined below, once PlistValue is complete.
    std::size_t size() const;
    bool empty() const;
    std::vector<Entry>::const_iterator begin() const;
    std::vector<Entry>::const_iterator end() const;

    friend bool operator==(const PlistDictionary&, const PlistDictionary&);

private:
    std::vector<Entry> entries_;
};

class PlistValue {
public:
    enum class Kind { Dictionary, Array, String, Integer, Real, Boolean, Data, Date };

    PlistValue() : value_(std::string()) {}
    PlistValue(PlistDictionary v) : value_(std::move(v)) {}
    PlistValue(PlistArray v) : value_(std::move(v)) {}
    PlistValue(std::string v) : value_(std::move(v)) {}
    PlistValue(std::string_view v) : value_(std::string(v)) {}
    PlistValue(const char* v) : value_(std::string(v)) {}
    PlistValue(std::int64_t v) : value_(v) {}
    PlistValue(int v) : value_(static_cast<std::int64_t>(v)) {}
    PlistValue(double v) : value_(v) {}
    PlistValue(bool v) : value_(v) {}
    PlistValue(PlistData v) : value_(std::move(v)) {}
    PlistValue(PlistDate v) : value_(v) {}

    Kind kind() const { return static_cast<Kind>(value_.index()); }

    const PlistDictionary* asDictionary() const { return std::get_if<PlistDictionary>(&value_); }
    const PlistArray* asArray() const { return std::get_if<PlistArray>(&value_); }
    PlistDictionary* asDictionary() { return std::get_if<PlistDictionary>(&value_); }
    PlistArray* asArray() { return std::get_if<PlistArray>(&value_); }
    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&value_); }
    const double* asReal() const { return std::get_if<double>(&value_); }
    const bool* asBoolean() const { return std::get_if<bool>(&value_); }
    const PlistData* asData() const { return std::get_if<PlistData>(&value_); }
    const PlistDate* asDate() const { return std::get_if<PlistDate>(&value_); }

    bool isNumber() const { return kind() == Kind::Integer || kind() == Kind::Real || kind() == Kind::Boolean; }

    friend bool operator==(const PlistValue&, const PlistValue&) = default;

private:
    std::variant<PlistDictionary, PlistArray, std::string, std::int64_t, double, bool, PlistData, PlistDate> value_;
};

inline std::size_t PlistDictionary::size() const { return entries_.size(); }
inline bool PlistDictionary::empty() const { return entries_.empty(); }
inline std::vector<PlistDictionary::Entry>::const_iterator PlistDictionary::begin() const { return entries_.begin(); }
inline std::vector<PlistDictionary::Entry>::const_iterator PlistDictionary::end() const { return entries_.end(); }

// The platform's integerValue: numbers (reals truncated, saturating; booleans 0 or 1) and
// strings read as leading blanks, a sign and digits (saturating, 0 without digits). Nothing for
// any other kind.
std::optional<std::int64_t> integerValue(const PlistValue& value);
// True when a string starts, after blanks, with an optional sign and a digit.
bool isNumericString(std::string_view text);
// The platform's boolValue: booleans as they are, numbers when non-zero, strings starting
// (after blanks, a sign and zeros) with Y, y, T, t or a digit 1-9. False for any other kind.
bool boolValue(const PlistValue& value);

// Old-style text rendering, in the manner of NSDictionary's description in Foundation's
// log lines ("{\n    key = value;\n}").
std::string describe(const PlistValue& value);
std::string describe(const PlistDictionary& dictionary);

}  // namespace wattkeeper

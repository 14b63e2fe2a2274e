#pragma once
// A strict reader for JSON text (RFC 8259), used for what other programs print
// (PowerShell's ConvertTo-Json). It keeps object members in document order,
// tells integers apart from other numbers, refuses invalid UTF-8 and anything
// but white space after the value, and stops at a fixed nesting depth with an
// error instead of recursing until the stack runs out.
//
// Strings are decoded in full, including \uXXXX escapes and surrogate pairs.
// An escaped surrogate that is not part of a pair (a lone \uD800, or \uDC00
// without a high half before it) becomes U+FFFD: programs that serialise
// UTF-16 text sometimes emit such halves, and losing one character is better
// than refusing the whole document.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.h"

namespace karvo::json {

// Arrays and objects may nest this deep; one level more is an error.
inline constexpr std::size_t kMaxDepth = 128;

enum class Type {
    null,
    boolean,
    unsigned_integer,  // an integer without sign that fits 64 bits
    negative_integer,  // an integer with a minus sign that fits a signed 64-bit number (includes -0)
    other_number,      // fraction, exponent, or an integer too large for the above
    string,
    array,
    object,
};

struct Member;

class Value {
public:
    Value();
    ~Value();
    Value(const Value&);
    Value(Value&&) noexcept;
    Value& operator=(const Value&);
    Value& operator=(Value&&) noexcept;

    static Value make_bool(bool value);
    static Value make_unsigned(std::uint64_t value);
    static Value make_negative(std::int64_t value);
    static Value make_other_number(double value);
    static Value make_string(std::string value);
    static Value make_array(std::vector<Value> items);
    static Value make_object(std::vector<Member> members);

    // The alternatives of `data_` are declared in the order of `Type`.
    Type type() const { return static_cast<Type>(data_.index()); }
    bool is_null() const { return type() == Type::null; }
    bool is_bool() const { return type() == Type::boolean; }
    bool is_number() const {
        return type() == Type::unsigned_integer || type() == Type::negative_integer || type() == Type::other_number;
    }
    bool is_string() const { return type() == Type::string; }
    bool is_array() const { return type() == Type::array; }
    bool is_object() const { return type() == Type::object; }

    std::optional<bool> as_bool() const;
    // Only an unsigned integer; a negative one or a fraction gives nothing.
    std::optional<std::uint64_t> as_u64() const;
    // A negative integer, or an unsigned one up to 2^63 - 1.
    std::optional<std::int64_t> as_i64() const;
    // Any number, as the nearest double (infinite when out of range).
    std::optional<double> as_double() const;
    // Null when the value is not of that type.
    const std::string* as_string() const;
    const std::vector<Value>* as_array() const;
    const std::vector<Member>* as_object() const;

    // The member with that exact name; when a name occurs more than once, the
    // last one counts (as in JavaScript). Null when absent or not an object.
    const Value* find(std::string_view name) const;

private:
    // One alternative per `Type`, in that order; kept small because a large
    // document holds one Value per element.
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, std::vector<Value>,
                 std::vector<Member>>
        data_;
};

struct Member {
    std::string name;
    Value value;
};

// Parses one JSON text: optional white space, one value, optional white
// space, end. Errors read "invalid JSON at line L, column C: {what}", where
// the column counts characters from 1 on that line.
Result<Value> parse(std::string_view text);

}  // namespace karvo::json

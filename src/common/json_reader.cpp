#include "common/json_reader.h"

#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

#include "common/text.h"

namespace karvo::json {

Value::Value() = default;
Value::~Value() = default;
Value::Value(const Value&) = default;
Value::Value(Value&&) noexcept = default;
Value& Value::operator=(const Value&) = default;
Value& Value::operator=(Value&&) noexcept = default;

Value Value::make_bool(bool value) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::boolean)>(value);
    return v;
}

Value Value::make_unsigned(std::uint64_t value) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::unsigned_integer)>(value);
    return v;
}

Value Value::make_negative(std::int64_t value) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::negative_integer)>(value);
    return v;
}

Value Value::make_other_number(double value) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::other_number)>(value);
    return v;
}

Value Value::make_string(std::string value) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::string)>(std::move(value));
    return v;
}

Value Value::make_array(std::vector<Value> items) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::array)>(std::move(items));
    return v;
}

Value Value::make_object(std::vector<Member> members) {
    Value v;
    v.data_.emplace<static_cast<std::size_t>(Type::object)>(std::move(members));
    return v;
}

std::optional<bool> Value::as_bool() const {
    if (const auto* value = std::get_if<bool>(&data_)) return *value;
    return std::nullopt;
}

std::optional<std::uint64_t> Value::as_u64() const {
    if (const auto* value = std::get_if<std::uint64_t>(&data_)) return *value;
    return std::nullopt;
}

std::optional<std::int64_t> Value::as_i64() const {
    if (const auto* value = std::get_if<std::int64_t>(&data_)) return *value;
    if (const auto* value = std::get_if<std::uint64_t>(&data_);
        value != nullptr && *value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(*value);
    return std::nullopt;
}

std::optional<double> Value::as_double() const {
    if (const auto* value = std::get_if<std::uint64_t>(&data_)) return static_cast<double>(*value);
    if (const auto* value = std::get_if<std::int64_t>(&data_)) return static_cast<double>(*value);
    if (const auto* value = std::get_if<double>(&data_)) return *value;
    return std::nullopt;
}

const std::string* Value::as_string() const { return std::get_if<std::string>(&data_); }
const std::vector<Value>* Value::as_array() const { return std::get_if<std::vector<Value>>(&data_); }
const std::vector<Member>* Value::as_object() const { return std::get_if<std::vector<Member>>(&data_); }

const Value* Value::find(std::string_view name) const {
    const auto* members = as_object();
    if (members == nullptr) return nullptr;
    for (auto it = members->rbegin(); it != members->rend(); ++it)
        if (it->name == name) return &it->value;
    return nullptr;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of the well-formed UTF-8 sequence at the start of `bytes` (which
// begins with a byte >= 0x80), or 0 when it is not one: no overlong forms, no
// surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence_length(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto in = [&](std::size_t i, unsigned lo, unsigned hi) { return i < bytes.size() && at(i) >= lo && at(i) <= hi; };
    const unsigned lead = at(0);
    if (lead >= 0xC2 && lead <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned lo = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = lead == 0xED ? 0x9F : 0xBF;
        return in(1, lo, hi) && in(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned lo = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = lead == 0xF4 ? 0x8F : 0xBF;
        return in(1, lo, hi) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Result<Value> parse_document() {
        skip_space();
        Value value;
        if (!parse_value(value, 0)) return failure();
        skip_space();
        if (pos_ != text_.size()) {
            fail(pos_, "unexpected characters after the value");
            return failure();
        }
        return value;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t error_pos_ = 0;
    const char* error_what_ = "";

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    bool fail(std::size_t where, const char* what) {
        error_pos_ = where;
        error_what_ = what;
        return false;
    }

    // Line and column are only worked out for the error message, so the
    // normal path never counts them.
    Error failure() const {
        std::size_t line = 1;
        std::size_t column = 1;
        const std::size_t end = error_pos_ < text_.size() ? error_pos_ : text_.size();
        for (std::size_t i = 0; i < end; ++i) {
            const auto byte = static_cast<unsigned char>(text_[i]);
            if (byte == '\n') {
                ++line;
                column = 1;
            } else if ((byte & 0xC0) != 0x80) {
                ++column;  // continuation bytes belong to the character before them
            }
        }
        std::string message = "invalid JSON at line ";
        append_number(message, line);
        message += ", column ";
        append_number(message, column);
        message += ": ";
        message += error_what_;
        return Error(std::move(message));
    }

    static void append_number(std::string& out, std::size_t value) {
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr);
    }

    void skip_space() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++pos_;
        }
    }

    bool parse_value(Value& out, std::size_t depth) {
        if (at_end()) return fail(pos_, "unexpected end of input, expected a value");
        switch (peek()) {
            case '{': return parse_object(out, depth + 1);
            case '[': return parse_array(out, depth + 1);
            case '"': {
                std::string text;
                if (!parse_string(text)) return false;
                out = Value::make_string(std::move(text));
                return true;
            }
            case 't': return parse_literal("true", out, Value::make_bool(true));
            case 'f': return parse_literal("false", out, Value::make_bool(false));
            case 'n': return parse_literal("null", out, Value());
            default:
                if (peek() == '-' || is_digit(peek())) return parse_number(out);
                return fail(pos_, "expected a value");
        }
    }

    bool parse_literal(std::string_view word, Value& out, Value value) {
        if (text_.substr(pos_, word.size()) != word) return fail(pos_, "invalid literal");
        pos_ += word.size();
        out = std::move(value);
        return true;
    }

    bool enter(std::size_t depth) {
        if (depth > kMaxDepth) return fail(pos_, "arrays and objects nested more than 128 deep");
        return true;
    }

    bool parse_array(Value& out, std::size_t depth) {
        if (!enter(depth)) return false;
        ++pos_;  // '['
        std::vector<Value> items;
        skip_space();
        if (!at_end() && peek() == ']') {
            ++pos_;
            out = Value::make_array(std::move(items));
            return true;
        }
        for (;;) {
            skip_space();
            Value item;
            if (!parse_value(item, depth)) return false;
            items.push_back(std::move(item));
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input, expected ',' or ']'");
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                out = Value::make_array(std::move(items));
                return true;
            }
            return fail(pos_, "expected ',' or ']'");
        }
    }

    bool parse_object(Value& out, std::size_t depth) {
        if (!enter(depth)) return false;
        ++pos_;  // '{'
        std::vector<Member> members;
        skip_space();
        if (!at_end() && peek() == '}') {
            ++pos_;
            out = Value::make_object(std::move(members));
            return true;
        }
        for (;;) {
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input, expected a member name");
            if (peek() != '"') return fail(pos_, "expected a member name in double quotes");
            Member member;
            if (!parse_string(member.name)) return false;
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input, expected ':'");
            if (peek() != ':') return fail(pos_, "expected ':'");
            ++pos_;
            skip_space();
            if (!parse_value(member.value, depth)) return false;
            members.push_back(std::move(member));
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input, expected ',' or '}'");
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                out = Value::make_object(std::move(members));
                return true;
            }
            return fail(pos_, "expected ',' or '}'");
        }
    }

    // Reads the four hex digits of a \u escape at pos_ (just after "\u").
    bool read_hex4(std::uint32_t& unit) {
        if (text_.size() - pos_ < 4) return fail(pos_, "incomplete \\u escape");
        unit = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int digit = hex_value(text_[pos_ + i]);
            if (digit < 0) return fail(pos_ + i, "invalid hexadecimal digit in \\u escape");
            unit = unit * 16 + static_cast<std::uint32_t>(digit);
        }
        pos_ += 4;
        return true;
    }

    bool parse_string(std::string& out) {
        const std::size_t start = pos_;
        ++pos_;  // opening quote
        for (;;) {
            // Copy the plain run up to the next quote, backslash, control or non-ASCII byte in one go.
            const std::size_t run = pos_;
            while (pos_ < text_.size()) {
                const auto byte = static_cast<unsigned char>(text_[pos_]);
                if (byte == '"' || byte == '\\' || byte < 0x20 || byte >= 0x80) break;
                ++pos_;
            }
            out.append(text_.data() + run, pos_ - run);
            if (at_end()) return fail(start, "unterminated string");
            const auto byte = static_cast<unsigned char>(peek());
            if (byte == '"') {
                ++pos_;
                return true;
            }
            if (byte < 0x20) return fail(pos_, "control character in string");
            if (byte >= 0x80) {
                const std::size_t length = utf8_sequence_length(text_.substr(pos_));
                if (length == 0) return fail(pos_, "invalid UTF-8 in string");
                out.append(text_.data() + pos_, length);
                pos_ += length;
                continue;
            }
            if (!parse_escape(out)) return false;
        }
    }

    bool parse_escape(std::string& out) {
        const std::size_t escape_pos = pos_;
        ++pos_;  // backslash
        if (at_end()) return fail(escape_pos, "unterminated string");
        const char kind = peek();
        ++pos_;
        switch (kind) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return fail(escape_pos, "invalid escape sequence");
        }
        std::uint32_t unit = 0;
        if (!read_hex4(unit)) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate counts only together with an escaped low one right after it.
            if (text_.size() - pos_ >= 6 && text_[pos_] == '\\' && text_[pos_ + 1] == 'u') {
                const std::size_t saved = pos_;
                pos_ += 2;
                std::uint32_t low = 0;
                if (!read_hex4(low)) return false;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    text::append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    return true;
                }
                pos_ = saved;  // the next escape is read on its own
            }
            text::append_utf8(out, 0xFFFD);
            return true;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            text::append_utf8(out, 0xFFFD);
            return true;
        }
        text::append_utf8(out, unit);
        return true;
    }

    bool parse_number(Value& out) {
        const std::size_t start = pos_;
        const bool negative = peek() == '-';
        if (negative) ++pos_;
        if (at_end() || !is_digit(peek())) return fail(pos_, "invalid number: expected a digit");
        const std::size_t int_start = pos_;
        if (peek() == '0') {
            ++pos_;
            if (!at_end() && is_digit(peek())) return fail(pos_, "invalid number: leading zero");
        } else {
            while (!at_end() && is_digit(peek())) ++pos_;
        }
        const std::size_t int_end = pos_;
        bool integer = true;
        std::size_t fraction_zeros = 0;
        if (!at_end() && peek() == '.') {
            integer = false;
            ++pos_;
            if (at_end() || !is_digit(peek())) return fail(pos_, "invalid number: expected a digit after '.'");
            const std::size_t fraction_start = pos_;
            while (!at_end() && is_digit(peek())) ++pos_;
            while (fraction_start + fraction_zeros < pos_ && text_[fraction_start + fraction_zeros] == '0')
                ++fraction_zeros;
        }
        std::int64_t exponent = 0;
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            integer = false;
            ++pos_;
            bool exponent_negative = false;
            if (!at_end() && (peek() == '+' || peek() == '-')) {
                exponent_negative = peek() == '-';
                ++pos_;
            }
            if (at_end() || !is_digit(peek())) return fail(pos_, "invalid number: expected a digit in the exponent");
            while (!at_end() && is_digit(peek())) {
                if (exponent < 100000000) exponent = exponent * 10 + (peek() - '0');
                ++pos_;
            }
            if (exponent_negative) exponent = -exponent;
        }
        const std::string_view digits = text_.substr(int_start, int_end - int_start);
        const std::string_view whole = text_.substr(start, pos_ - start);

        if (integer) {
            std::uint64_t magnitude = 0;
            const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
            if (ec == std::errc() && ptr == digits.data() + digits.size()) {
                if (!negative) {
                    out = Value::make_unsigned(magnitude);
                    return true;
                }
                constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
                if (magnitude < kMinMagnitude) {
                    out = Value::make_negative(-static_cast<std::int64_t>(magnitude));
                    return true;
                }
                if (magnitude == kMinMagnitude) {
                    out = Value::make_negative(std::numeric_limits<std::int64_t>::min());
                    return true;
                }
            }
        }

        double value = 0.0;
        const auto [ptr, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), value);
        if (ec == std::errc::result_out_of_range || ptr != whole.data() + whole.size()) {
            // Too large or too small for a double: infinity or zero, by the
            // decimal order of magnitude of the number.
            const bool int_is_zero = digits == "0";
            const std::int64_t order = (int_is_zero ? -static_cast<std::int64_t>(fraction_zeros) - 1
                                                    : static_cast<std::int64_t>(digits.size())) +
                                       exponent;
            value = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
            if (negative) value = -value;
        }
        out = Value::make_other_number(value);
        return true;
    }
};

}  // namespace

Result<Value> parse(std::string_view text) { return Parser(text).parse_document(); }

}  // namespace karvo::json

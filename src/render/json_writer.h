#pragma once
// A small streaming JSON writer with two layouts: compact (no whitespace at
// all) and pretty (one element per line, two blanks per level, ": " after a
// key, empty containers as [] and {}). The caller drives the structure; the
// writer only places separators, line breaks and indentation.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_string.h"

namespace karvo::render {

enum class JsonLayout { compact, pretty };

using json::append_json_string;

class JsonWriter {
public:
    explicit JsonWriter(JsonLayout layout) : layout_(layout) {}

    void begin_array() { open('['); }
    void end_array() { close(']'); }
    void begin_object() { open('{'); }
    void end_object() { close('}'); }

    // Starts an object member; exactly one value (or container) must follow.
    void key(std::string_view name);

    void string(std::string_view text);
    template <std::unsigned_integral T>
    void number(T value) {
        unsigned_number(value);
    }
    // NaN and infinities have no JSON form and are written as null.
    void number(float value);
    void number(double value);
    void null();

    template <class T>
    void optional_number(const std::optional<T>& value) {
        if (value) {
            number(*value);
        } else {
            null();
        }
    }

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }
    void reserve(std::size_t bytes) { out_.reserve(bytes); }

private:
    void unsigned_number(std::uint64_t value);
    void open(char bracket);
    void close(char bracket);
    // Separator and indentation before a value or a member, once per element.
    void begin_element();
    void indent(std::size_t level);

    std::string out_;
    JsonLayout layout_;
    std::vector<std::size_t> element_counts_;  // one per open container
    bool after_key_ = false;
};

}  // namespace karvo::render

#include "render/json_writer.h"

#include <cassert>

#include "common/numfmt.h"

namespace karvo::render {
void JsonWriter::indent(std::size_t level) { out_.append(level * 2, ' '); }

void JsonWriter::begin_element() {
    if (after_key_) {  // the value of a member sits right after its key
        after_key_ = false;
        return;
    }
    if (element_counts_.empty()) return;  // the top-level value
    std::size_t& count = element_counts_.back();
    if (layout_ == JsonLayout::pretty) {
        out_ += count == 0 ? "\n" : ",\n";
        indent(element_counts_.size());
    } else if (count != 0) {
        out_ += ',';
    }
    ++count;
}

void JsonWriter::open(char bracket) {
    begin_element();
    out_ += bracket;
    element_counts_.push_back(0);
}

void JsonWriter::close(char bracket) {
    assert(!element_counts_.empty() && !after_key_);
    const std::size_t count = element_counts_.back();
    element_counts_.pop_back();
    if (layout_ == JsonLayout::pretty && count != 0) {
        out_ += '\n';
        indent(element_counts_.size());
    }
    out_ += bracket;
}

void JsonWriter::key(std::string_view name) {
    assert(!after_key_);
    begin_element();
    append_json_string(out_, name);
    out_ += layout_ == JsonLayout::pretty ? ": " : ":";
    after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
    begin_element();
    append_json_string(out_, text);
}

void JsonWriter::unsigned_number(std::uint64_t value) {
    begin_element();
    numfmt::append_unsigned(out_, value);
}

void JsonWriter::number(float value) {
    begin_element();
    if (!numfmt::append_float_json(out_, value)) out_ += "null";
}

void JsonWriter::number(double value) {
    begin_element();
    if (!numfmt::append_double_json(out_, value)) out_ += "null";
}

void JsonWriter::null() {
    begin_element();
    out_ += "null";
}

}  // namespace karvo::render

#include "render/json_writer.h"

#include <cassert>

#include "common/numfmt.h"
#include "common/text.h"

namespace karvo::render {
namespace {

void append_escaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(text.substr(plain_from, i - plain_from));
        plain_from = i + 1;
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default:
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 0x0F];
        }
    }
    out.append(text.substr(plain_from));
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    if (text::is_valid_utf8(text)) {
        append_escaped(out, text);
    } else {
        append_escaped(out, text::utf8_lossy(text));
    }
    out += '"';
}

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

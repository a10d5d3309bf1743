#include "dump/record_json.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "contacts/text.h"
#include "json_values.h"

namespace dump {

namespace {

using contacts::ContactRecord;
using contacts::Field;
using nlohmann::json;

} // namespace

void append_json_string(std::u16string_view s, std::string& out)
{
    out.push_back('"');
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            contacts::utf16_to_utf8(s.substr(i, 2), out);
            ++i;
        } else if (high || low || c < 0x20) {
            switch (c) {
            case u'\n':
                out += "\\n";
                break;
            case u'\r':
                out += "\\r";
                break;
            case u'\t':
                out += "\\t";
                break;
            default: {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            }
            }
        } else if (c == u'"') {
            out += "\\\"";
        } else if (c == u'\\') {
            out += "\\\\";
        } else {
            contacts::utf16_to_utf8(s.substr(i, 1), out);
        }
    }
    out.push_back('"');
}

void append_record_line(const ContactRecord& record, const Provenance& from, std::string& out)
{
    std::string line = "{";
    append_key("number", line);
    line += std::to_string(record.number());
    for (const auto& info : contacts::kFieldTable) {
        switch (info.type) {
        case contacts::FieldType::Int32:
            if (info.field != Field::number) {
                append_key(info.name, line);
                line += std::to_string(record.kind_code());
            }
            break;
        case contacts::FieldType::Int16:
            append_key(info.name, line);
            line += std::to_string(record.gender());
            break;
        default:
            if (const auto text = record.text(info.field)) {
                append_key(info.name, line);
                append_text(*text, line);
            }
        }
    }
    append_key("origin", line);
    line += '"';
    line += contacts::origin_name(record.origin());
    line += '"';
    if (const contacts::PhotoView photo = record.photo(); !photo.empty()) {
        append_key("photo_type", line);
        line += '"';
        line += contacts::photo_type_name(photo.type);
        line += '"';
        append_key("photo_bytes", line);
        line += std::to_string(photo.bytes.size());
        append_key("photo", line);
        line += '"';
        append_hex(photo.bytes, line);
        line += '"';
    }
    append_key("identity", line);
    line += '"';
    append_hex(record.identity(), line);
    line += '"';
    append_key("exchange", line);
    line += '[';
    bool first = true;
    for (const auto& ex : contacts::exchange_addresses(record.exchange())) {
        line += first ? "{\"slot\":" : ",{\"slot\":";
        first = false;
        line += std::to_string(ex.slot);
        line += ",\"dn\":";
        append_text(ex.dn, line);
        line += ",\"original\":";
        append_text(ex.original, line);
        line += '}';
    }
    line += ']';
    append_key("source", line);
    std::u16string source;
    contacts::utf8_to_utf16(from.source, source);
    append_text(source, line);
    append_key("folder", line);
    append_text(from.folder, line);
    append_key("node_id", line);
    line += std::to_string(from.node_id);
    line += "}\n";
    out += line;
}

bool read_record_line(std::string_view line, ReadRecord& out, std::string* error)
{
    json object;
    if (!read_object(line, object, error)) {
        return false;
    }
    out.draft.reset();
    out.source.clear();
    out.folder.clear();
    out.node_id = 0;
    std::u16string text;
    const auto integer = [&](const json& value, const std::string& key, int64_t low, int64_t high, int64_t* v) {
        if (!value.is_number_integer()) {
            return fail(error, "\"" + key + "\" is not a whole number");
        }
        *v = value.get<int64_t>();
        if (*v < low || *v > high) {
            return fail(error, "\"" + key + "\" is out of range");
        }
        return true;
    };
    bool has_number = false;
    std::vector<uint8_t> photo;
    std::string photo_type;
    for (const auto& [key, value] : object.items()) {
        int64_t v = 0;
        if (key == "number") {
            if (!integer(value, key, INT32_MIN, INT32_MAX, &v)) {
                return false;
            }
            out.draft.set_number(static_cast<int32_t>(v));
            has_number = true;
        } else if (key == "kind_code") {
            if (!integer(value, key, INT32_MIN, INT32_MAX, &v)) {
                return false;
            }
            out.draft.set_kind_code(static_cast<int32_t>(v));
        } else if (key == "gender") {
            if (!integer(value, key, INT16_MIN, INT16_MAX, &v)) {
                return false;
            }
            out.draft.set_gender(static_cast<int16_t>(v));
        } else if (key == "node_id") {
            if (!integer(value, key, 0, UINT32_MAX, &v)) {
                return false;
            }
            out.node_id = static_cast<uint32_t>(v);
        } else if (key == "photo_bytes") {
            if (!integer(value, key, 0, INT64_MAX, &v)) {
                return false;
            }
        } else if (key == "origin") {
            if (!value.is_string()) {
                return fail(error, "\"origin\" is not a text");
            }
            const auto& name = value.get_ref<const std::string&>();
            bool known = false;
            for (const contacts::Origin o : contacts::kOrigins) {
                if (contacts::origin_name(o) == name) {
                    out.draft.set_origin(o);
                    known = true;
                }
            }
            if (!known) {
                return fail(error, "\"origin\" is not live, orphan, recovered, autocomplete, recipient_cache or "
                                   "correspondent");
            }
        } else if (key == "photo_type" || key == "photo" || key == "identity") {
            if (!value.is_string()) {
                return fail(error, "\"" + key + "\" is not a text");
            }
            const auto& s = value.get_ref<const std::string&>();
            if (key == "photo_type") {
                photo_type = s;
            } else if (key == "photo") {
                if (!read_hex(s, photo)) {
                    return fail(error, "\"photo\" is not hex");
                }
            } else {
                std::vector<uint8_t> id;
                if (!read_hex(s, id) || id.size() != 16) {
                    return fail(error, "\"identity\" is not 16 bytes in hex");
                }
                contacts::ContactIdentity identity{};
                std::copy(id.begin(), id.end(), identity.begin());
                out.draft.set_identity(identity);
            }
        } else if (key == "exchange") {
            if (!value.is_array()) {
                return fail(error, "\"exchange\" is not a list");
            }
            std::u16string packed;
            for (const auto& ex : value) {
                std::u16string dn;
                std::u16string original;
                if (!ex.is_object() || !ex.contains("slot") || !ex["slot"].is_number_integer() ||
                    ex["slot"].get<int64_t>() < 0 || ex["slot"].get<int64_t>() > 2 || !ex.contains("dn") ||
                    !read_text(ex["dn"], dn) || !ex.contains("original") || !read_text(ex["original"], original)) {
                    return fail(error, "\"exchange\" holds an entry that is not {slot, dn, original}");
                }
                contacts::append_exchange_address(static_cast<int>(ex["slot"].get<int64_t>()), dn, original, packed);
            }
            out.draft.set_exchange(packed);
        } else if (key == "source") {
            if (!read_text(value, text)) {
                return fail(error, "\"source\" is not a text");
            }
            out.source = contacts::utf16_to_utf8(text);
        } else if (key == "folder") {
            if (!read_text(value, out.folder)) {
                return fail(error, "\"folder\" is not a text");
            }
        } else if (const contacts::FieldInfo* info = contacts::field_by_name(key)) {
            if (info->type == contacts::FieldType::Constant) {
                continue; // the record's shared texts: every record has them
            }
            if (!read_text(value, text)) {
                return fail(error, "\"" + key + "\" is not a text");
            }
            out.draft.set_text(info->field, text);
        } else {
            return fail(error, "\"" + key + "\" is no field of a contact");
        }
    }
    if (!has_number) {
        return fail(error, "\"number\" is missing");
    }
    if (!photo.empty()) {
        contacts::PhotoType type = contacts::PhotoType::none;
        for (auto t : {contacts::PhotoType::jpeg, contacts::PhotoType::png, contacts::PhotoType::gif}) {
            if (contacts::photo_type_name(t) == photo_type) {
                type = t;
            }
        }
        if (type == contacts::PhotoType::none) {
            return fail(error, "\"photo_type\" is not JPEG, PNG or GIF");
        }
        out.draft.set_photo(photo, type);
    }
    return true;
}

bool looks_like_dump(std::string_view head)
{
    for (char c : head) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        return c == '{';
    }
    return false;
}

} // namespace dump

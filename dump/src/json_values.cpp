#include "json_values.h"

#include "contacts/text.h"
#include "dump/record_json.h"

namespace dump {

using nlohmann::json;

namespace {
constexpr char kHex[] = "0123456789abcdef";

} // namespace

void append_hex(std::span<const uint8_t> bytes, std::string& out)
{
    out.reserve(out.size() + bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
}

bool read_hex(std::string_view hex, std::vector<uint8_t>& out)
{
    if (hex.size() % 2 != 0) {
        return false;
    }
    out.clear();
    out.reserve(hex.size() / 2);
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]);
        const int lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

namespace {

bool has_lone_surrogate(std::u16string_view s)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

} // namespace

void append_text(std::u16string_view s, std::string& out)
{
    if (!has_lone_surrogate(s)) {
        append_json_string(s, out);
        return;
    }
    out += "{\"utf16\":\"";
    for (char16_t c : s) {
        const uint8_t le[2] = {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)};
        append_hex(le, out);
    }
    out += "\"}";
}

void append_key(std::string_view key, std::string& out)
{
    out += out.back() == '{' ? "\"" : ",\"";
    out += key;
    out += "\":";
}

bool fail(std::string* error, std::string what)
{
    if (error != nullptr) {
        *error = std::move(what);
    }
    return false;
}

bool read_object(std::string_view line, nlohmann::json& object, std::string* error)
{
    object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_discarded()) {
        return fail(error, "not JSON");
    }
    if (!object.is_object()) {
        return fail(error, "not a JSON object");
    }
    return true;
}

bool read_text(const json& value, std::u16string& out)
{
    out.clear();
    if (value.is_string()) {
        contacts::utf8_to_utf16(value.get_ref<const std::string&>(), out);
        return true;
    }
    if (value.is_object() && value.size() == 1 && value.contains("utf16") && value["utf16"].is_string()) {
        std::vector<uint8_t> bytes;
        if (!read_hex(value["utf16"].get_ref<const std::string&>(), bytes) || bytes.size() % 2 != 0) {
            return false;
        }
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            out.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        return true;
    }
    return false;
}

} // namespace dump

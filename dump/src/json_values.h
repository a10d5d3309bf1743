// The values every line of a dump is made of: bytes in hex, texts that UTF-8 cannot carry, keys.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace dump {

void append_hex(std::span<const uint8_t> bytes, std::string& out);
// False when `hex` is not pairs of hex digits.
bool read_hex(std::string_view hex, std::vector<uint8_t>& out);

// A text losslessly: a JSON string, or {"utf16": hex} when UTF-8 cannot carry it.
void append_text(std::u16string_view s, std::string& out);
// A text value read back: a string, or {"utf16": hex}. False for anything else.
bool read_text(const nlohmann::json& value, std::u16string& out);

// `"key":` after the object's '{' or a ',' after the value before.
void append_key(std::string_view key, std::string& out);

// Sets *error (when given) and returns false.
bool fail(std::string* error, std::string what);

// A dump line parsed as one JSON object; false with *error "not JSON" or "not a JSON object".
bool read_object(std::string_view line, nlohmann::json& object, std::string* error);

} // namespace dump

// Test helper: PST files written at test time by our own writer from a JSON description.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fixture/fixture.h"
#include "temp_dir.h"

namespace testfiles {

using nlohmann::json;

inline std::string hex_tag(uint32_t tag)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(tag & 0xFFFF));
    return buf;
}

// One property of a description: a plain tag, or (0x8000 and up) a numeric named property of
// the address set.
inline json prop(uint32_t tag, const std::string& type, json value)
{
    json p = {{"type", type}, {"value", std::move(value)}};
    if (tag >= 0x8000) {
        p["set"] = "address";
        p["lid"] = hex_tag(tag);
    } else {
        p["tag"] = hex_tag(tag);
    }
    return p;
}
inline json unicode(uint32_t tag, const std::string& utf8)
{
    return prop(tag, "unicode", utf8);
}
inline json raw(uint32_t tag, uint16_t type, const std::string& hex)
{
    json p = {{"tag", hex_tag(tag)}, {"type", hex_tag(type)}, {"hex", hex}};
    return p;
}

inline json message(const std::string& message_class, json props = json::array())
{
    return {{"class", message_class}, {"props", std::move(props)}};
}

inline json folder(const std::string& name, json messages = json::array(), json folders = json::array(),
                   const std::string& container_class = "IPF.Contact")
{
    return {
        {"name", name}, {"class", container_class}, {"messages", std::move(messages)}, {"folders", std::move(folders)}};
}

// Writes a file from {"folders": [...], "messages": [...]} and returns its path.
inline std::string write_pst(const TempDir& dir, const std::string& name, const json& description)
{
    const std::string path = dir.file(name);
    const pst::Status st = fixture::write_from_json(path, description.dump());
    EXPECT_TRUE(st.ok) << st.message;
    return path;
}

} // namespace testfiles

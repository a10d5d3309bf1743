#include "contacts/contact_groups.h"

#include "contacts/text.h"
#include "pst/little_endian.h"
#include "pst/text.h"

#include <algorithm>
#include <array>

namespace contacts {

namespace {

constexpr std::array<uint8_t, 16> kOneOffProvider = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                     0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
// The provider of wrapped entry ids of contacts and distribution lists.
constexpr std::array<uint8_t, 16> kWrappedProvider = {0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11,
                                                      0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4};
constexpr uint16_t kOneOffUnicode = 0x8000;
// A PST's message entry id: 4 flag bytes, the store's 16-byte record key, the node id.
constexpr std::size_t kPstEntryId = 24;

bool provider_is(std::span<const uint8_t> id, const std::array<uint8_t, 16>& provider)
{
    return id.size() >= 20 && std::equal(provider.begin(), provider.end(), id.begin() + 4);
}

// One NUL-terminated string from `at`, UTF-16LE or 8-bit (code page 1252); false when it runs off
// the end.
bool take_string(std::span<const uint8_t> id, std::size_t& at, bool unicode, std::u16string& out)
{
    out.clear();
    const std::size_t unit = unicode ? 2 : 1;
    std::size_t end = at;
    while (end + unit <= id.size() && (id[end] != 0 || (unicode && id[end + 1] != 0)))
        end += unit;
    if (end + unit > id.size())
        return false;
    if (unicode) {
        out.resize((end - at) / 2);
        out.resize(utf16le_to_utf16(id.data() + at, end - at, out.data()));
    } else {
        pst::decode_8bit(id.subspan(at, end - at), pst::kWesternCodepage, out);
    }
    at = end + unit;
    return true;
}

} // namespace

std::optional<OneOffAddress> parse_one_off(std::span<const uint8_t> id)
{
    if (id.size() < 24 || !provider_is(id, kOneOffProvider)) {
        return std::nullopt;
    }
    const bool unicode = pst::get16(id.data() + 22) & kOneOffUnicode;
    std::size_t at = 24;
    OneOffAddress one;
    if (!take_string(id, at, unicode, one.name) || !take_string(id, at, unicode, one.type) ||
        !take_string(id, at, unicode, one.address)) {
        return std::nullopt;
    }
    return one;
}

std::optional<uint32_t> entry_id_node(std::span<const uint8_t> id)
{
    // Wrapped: flags, the wrapping provider, a type byte, then the message's own entry id.
    if (provider_is(id, kWrappedProvider) && id.size() == 21 + kPstEntryId) {
        return pst::get32(id.data() + 21 + 20);
    }
    if (id.size() == kPstEntryId && !provider_is(id, kOneOffProvider)) {
        return pst::get32(id.data() + 20);
    }
    return std::nullopt;
}

std::vector<std::span<const uint8_t>> split_multi_binary(std::span<const uint8_t> stored)
{
    std::vector<std::span<const uint8_t>> values;
    if (stored.size() < 4) {
        return values;
    }
    const uint64_t count = pst::get32(stored.data());
    if (4 + 4 * count > stored.size()) {
        return values;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const std::size_t begin = pst::get32(stored.data() + 4 + 4 * i);
        const std::size_t end = i + 1 < count ? pst::get32(stored.data() + 4 + 4 * (i + 1)) : stored.size();
        if (begin < 4 + 4 * count || begin > end || end > stored.size()) {
            return {};
        }
        values.push_back(stored.subspan(begin, end - begin));
    }
    return values;
}

std::vector<ListStreamEntry> split_list_stream(std::span<const uint8_t> stream, int64_t* missing)
{
    constexpr std::size_t kHeader = 28; // version, reserved, build, flags, count, three sizes
    std::vector<ListStreamEntry> entries;
    *missing = 0;
    if (stream.size() < kHeader || pst::get16(stream.data()) != 1) {
        return entries;
    }
    const uint32_t count = pst::get32(stream.data() + 12);
    std::size_t at = kHeader;
    // One sized part at `at`; false when it runs past the end.
    const auto take = [&](std::span<const uint8_t>* part) {
        if (stream.size() - at < 4) {
            return false;
        }
        const uint32_t size = pst::get32(stream.data() + at);
        at += 4;
        if (size > stream.size() - at) {
            return false;
        }
        *part = stream.subspan(at, size);
        at += size;
        return true;
    };
    for (uint32_t i = 0; i < count; ++i) {
        ListStreamEntry entry;
        std::span<const uint8_t> extra;
        if (!take(&entry.entry_id) || !take(&entry.one_off) || !take(&extra)) {
            *missing = count - i;
            break;
        }
        entries.push_back(entry);
    }
    return entries;
}

void append_groups(ContactGroups& all, const ContactGroups& more)
{
    const int shift = static_cast<int>(all.groups.size());
    for (const ContactGroup& group : more.groups) {
        ContactGroup& added = all.groups.emplace_back(group);
        for (GroupMember& member : added.members) {
            if (member.group >= 0) {
                member.group += shift;
            }
        }
    }
    all.members_skipped += more.members_skipped;
}

} // namespace contacts

#include "engine/autocomplete_cards.h"

#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

#include "autocomplete/stream.h"
#include "contacts/contact_record.h"
#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "engine/contact_extraction.h"
#include "engine/text_decoding.h"

namespace engine {

namespace {

using contacts::Field;

// A text value in UTF-16: as stored for PT_UNICODE, else 8-bit in `codepage`.
void text_of(const std::optional<autocomplete::Value>& value, int codepage, std::u16string& out)
{
    out.clear();
    if (!value) {
        return;
    }
    if (!autocomplete::unicode_text(*value, out)) {
        decode_8bit(value->bytes, codepage, out);
    }
}

// What identifies a row's card across runs: two FNV-1a hashes of its address type and address
// (the row's search key says the same), so that two rows never share a vCard UID.
contacts::ContactIdentity row_identity(std::u16string_view type, std::u16string_view address)
{
    contacts::ContactIdentity id{};
    uint64_t h[2] = {0xcbf29ce484222325ull, 0x84222325cbf29ce4ull};
    for (uint64_t& x : h) {
        for (const std::u16string_view part : {type, std::u16string_view(u":"), address}) {
            for (const char16_t unit : part) {
                x = (x ^ unit) * 0x100000001b3ull;
            }
        }
    }
    for (std::size_t i = 0; i < 16; ++i) {
        id[i] = static_cast<uint8_t>(h[i / 8] >> (8 * (i % 8)));
    }
    return id;
}

bool equals_ascii_case(std::u16string_view text, std::u16string_view upper)
{
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i] >= u'a' && text[i] <= u'z' ? static_cast<char16_t>(text[i] - 32) : text[i];
        if (c != upper[i]) {
            return false;
        }
    }
    return true;
}

// The row's values into `draft`; false when the row names nobody (no name, no address).
bool fill_card(const autocomplete::Row& row, int codepage, contacts::ContactDraft& draft)
{
    draft.reset();
    draft.set_origin(contacts::Origin::autocomplete);
    std::u16string name, type, address, smtp, nickname;
    text_of(row.display_name, codepage, name);
    text_of(row.address_type, codepage, type);
    text_of(row.email_address, codepage, address);
    text_of(row.smtp_address, codepage, smtp);
    text_of(row.nickname, codepage, nickname);
    if (name.empty() && address.empty() && smtp.empty()) {
        return false;
    }
    if (!name.empty()) {
        draft.set_text(Field::full_name, name);
    }
    if (!nickname.empty()) {
        draft.set_text(Field::nickname, nickname);
    }
    const bool exchange = equals_ascii_case(type, u"EX");
    if (exchange && !smtp.empty()) {
        draft.set_text(Field::email, smtp);
        draft.set_text(Field::email_type, u"SMTP");
    } else if (!address.empty()) {
        draft.set_text(Field::email, address);
        draft.set_text(Field::email_type, type.empty() ? std::u16string_view(u"SMTP") : std::u16string_view(type));
        if (exchange) {
            std::u16string packed;
            contacts::append_exchange_address(0, address, name, packed);
            draft.set_exchange(packed);
        }
    }
    if (row.weight) {
        draft.set_text(Field::body, u"Suggested by Outlook's autocomplete list, weight " + grouped_number(*row.weight));
    }
    draft.set_identity(row_identity(type, address.empty() ? smtp : address));
    set_index_key(draft);
    return true;
}

} // namespace

std::u16string grouped_number(uint32_t value)
{
    const std::string digits = std::to_string(value);
    std::u16string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            out.push_back(u',');
        }
        out.push_back(static_cast<char16_t>(digits[i]));
    }
    return out;
}

AutocompleteCards add_autocomplete_cards(std::span<const uint8_t> bytes, int codepage, std::u16string_view where,
                                         contacts::ContactStore& store, ScanListener& listener, uint32_t place)
{
    AutocompleteCards result;
    autocomplete::Stream stream;
    try {
        stream = autocomplete::read_stream(bytes);
    } catch (const std::bad_alloc&) {
        result.out_of_memory = true;
        return result;
    }
    result.rows = static_cast<int32_t>(stream.rows.size());
    contacts::ContactDraft draft;
    for (const autocomplete::Row& row : stream.rows) {
        if (!fill_card(row, codepage, draft)) {
            continue;
        }
        draft.set_place(place);
        contacts::ContactRecordPtr record = build_contact(store, draft);
        if (!record) {
            result.out_of_memory = true;
            return result;
        }
        ++result.cards;
        listener.contact_added(*record);
        contacts::contact_store_append(store, std::move(record));
    }
    if (stream.damage != autocomplete::Damage::none) {
        result.damage = std::string(autocomplete::damage_reason(stream.damage));
        listener.item_skipped({std::u16string(where), result.rows, result.damage, {}});
    }
    return result;
}

} // namespace engine

namespace engine {

bool is_autocomplete_file(const std::string& path_utf8)
{
    std::ifstream in(path_utf8, std::ios::binary);
    uint8_t head[8] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    return in.gcount() == static_cast<std::streamsize>(sizeof head) && autocomplete::looks_like_stream(head);
}

bool scan_autocomplete_file(const std::string& path_utf8, int codepage, contacts::ContactStore& store,
                            ScanListener& listener, AutocompleteCards* out)
{
    std::ifstream in(path_utf8, std::ios::binary);
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path_utf8, error);
    if (!in || error) {
        return false;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::exception&) {
        out->out_of_memory = true;
        return false;
    }
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.gcount() != static_cast<std::streamsize>(bytes.size())) {
        return false;
    }
    std::u16string name;
    contacts::utf8_to_utf16(std::filesystem::path(path_utf8).filename().string(), name);
    // The file's place: outside any folder.
    const uint32_t place = store.sources().add_place(store.sources().add_file(path_utf8), {});
    *out = add_autocomplete_cards(bytes, codepage, name, store, listener, place);
    return true;
}

} // namespace engine

#include "engine/autocomplete_cards.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>

#include "autocomplete/stream.h"
#include "autocomplete_rows.h"
#include "contacts/contact_record.h"
#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "engine/contact_extraction.h"

namespace engine {

namespace {

using contacts::Field;

constexpr std::u16string_view kWeightNote = u"Suggested by Outlook's autocomplete list, weight ";

// "73,728" written at the end of `room`.
constexpr std::size_t kGroupedRoom = 13; // 4,294,967,295
std::u16string_view grouped_digits(uint32_t value, char16_t (&room)[kGroupedRoom])
{
    char16_t* const end = room + kGroupedRoom;
    char16_t* at = end;
    for (int in_group = 0;; ++in_group) {
        if (in_group == 3) {
            *--at = u',';
            in_group = 0;
        }
        const uint32_t rest = value / 10;
        *--at = static_cast<char16_t>(u'0' + (value - rest * 10));
        value = rest;
        if (value == 0) {
            return {at, static_cast<std::size_t>(end - at)};
        }
    }
}

// What identifies a row's card across runs: two FNV-1a hashes of its address type and address
// (the row's search key says the same), so that two rows never share a vCard UID.
contacts::ContactIdentity row_identity(std::u16string_view type, std::u16string_view address)
{
    contacts::ContactIdentity id{};
    uint64_t h0 = 0xcbf29ce484222325ull, h1 = 0x84222325cbf29ce4ull;
    for (const std::u16string_view part : {type, std::u16string_view(u":"), address}) {
        for (const char16_t unit : part) {
            h0 = (h0 ^ unit) * 0x100000001b3ull;
            h1 = (h1 ^ unit) * 0x100000001b3ull;
        }
    }
    for (std::size_t i = 0; i < 8; ++i) {
        id[i] = static_cast<uint8_t>(h0 >> (8 * i));
        id[8 + i] = static_cast<uint8_t>(h1 >> (8 * i));
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

// Rows into cards, one after another, through one draft kept from row to row.
class CardMaker
{
public:
    CardMaker(contacts::ContactStore& store, ScanListener& listener, uint32_t place)
        : m_store(store), m_listener(listener), m_place(place)
    {
    }

    // The row's card appended to the store (none for a row that names nobody); false when memory
    // runs out.
    bool add(const RowTexts& row, AutocompleteCards& result)
    {
        if (!fill_card(row)) {
            return true;
        }
        m_draft.set_place(m_place);
        contacts::ContactRecordPtr record = build_contact(m_store, m_draft);
        if (!record) {
            return false;
        }
        ++result.cards;
        m_listener.contact_added(*record);
        contacts::contact_store_append(m_store, std::move(record));
        return true;
    }

    // What a card takes of a row beside its texts, made where the row is read (on the reading
    // thread when there is one): the identity.
    static void prepare(RowTexts& row)
    {
        row.identity = row_identity(row.type.units, row.address.empty() ? row.smtp.units : row.address.units);
    }

private:
    void set(Field field, std::u16string_view text, bool no_nul)
    {
        m_draft.set_text(field, text);
        if (no_nul) {
            m_draft.end_text_before_nul(field, text.size());
        }
    }
    void set(Field field, const RowText& text) { set(field, text.units, text.no_nul); }

    // The row's values into the draft; false when the row names nobody (no name, no address).
    bool fill_card(const RowTexts& row)
    {
        const RowText &name = row.name, &type = row.type, &address = row.address, &smtp = row.smtp;
        if (name.empty() && address.empty() && smtp.empty()) {
            return false;
        }
        m_draft.reset();
        m_draft.set_origin(contacts::Origin::autocomplete);
        if (!name.empty()) {
            set(Field::full_name, name);
        }
        if (!row.nickname.empty()) {
            set(Field::nickname, row.nickname);
        }
        const bool exchange = equals_ascii_case(type.units, u"EX");
        if (exchange && !smtp.empty()) {
            set(Field::email, smtp);
            set(Field::email_type, u"SMTP", true);
        } else if (!address.empty()) {
            set(Field::email, address);
            if (type.empty()) {
                set(Field::email_type, u"SMTP", true);
            } else {
                set(Field::email_type, type);
            }
            if (exchange) {
                m_packed.clear();
                contacts::append_exchange_address(0, address.units, name.units, m_packed);
                m_draft.set_exchange(m_packed);
            }
        }
        if (row.weight) {
            // The note written where the draft keeps it.
            char16_t room[kGroupedRoom];
            const std::u16string_view weight = grouped_digits(*row.weight, room);
            char16_t* note = m_draft.set_text_uninitialized(Field::body, kWeightNote.size() + weight.size());
            std::char_traits<char16_t>::copy(note, kWeightNote.data(), kWeightNote.size());
            std::char_traits<char16_t>::copy(note + kWeightNote.size(), weight.data(), weight.size());
            m_draft.end_text_before_nul(Field::body, kWeightNote.size() + weight.size());
        }
        m_draft.set_identity(row.identity);
        set_index_key(m_draft);
        return true;
    }

    contacts::ContactStore& m_store;
    ScanListener& m_listener;
    uint32_t m_place;
    contacts::ContactDraft m_draft;
    std::u16string m_packed;
};

// Reads the stream in `window` and makes each row's card (the rows read beside when the stream
// is a file of more than one piece).
AutocompleteCards read_cards(StreamWindow& window, int codepage, std::u16string_view where,
                             contacts::ContactStore& store, ScanListener& listener, uint32_t place)
{
    AutocompleteCards result;
    RowsRead read;
    try {
        CardMaker maker(store, listener, place);
        read = read_rows(window, codepage, &CardMaker::prepare, [&](const RowTexts& row) {
            result.out_of_memory = !maker.add(row, result);
            return !result.out_of_memory;
        });
    } catch (const std::bad_alloc&) {
        result.out_of_memory = true;
    }
    if (result.out_of_memory) {
        return result;
    }
    result.rows = read.rows;
    if (read.damage != autocomplete::Damage::none) {
        result.damage = std::string(autocomplete::damage_reason(read.damage));
        listener.item_skipped({std::u16string(where), result.rows, result.damage, {}});
    }
    return result;
}

} // namespace

std::u16string grouped_number(uint32_t value)
{
    char16_t room[kGroupedRoom];
    return std::u16string(grouped_digits(value, room));
}

AutocompleteCards add_autocomplete_cards(std::span<const uint8_t> bytes, int codepage, std::u16string_view where,
                                         contacts::ContactStore& store, ScanListener& listener, uint32_t place)
{
    StreamWindow window(bytes);
    return read_cards(window, codepage, where, store, listener, place);
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
                            ScanListener& listener, AutocompleteCards* out, std::size_t piece)
{
    std::ifstream in(path_utf8, std::ios::binary);
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path_utf8, error);
    if (!in || error) {
        return false;
    }
    std::u16string name;
    contacts::utf8_to_utf16(std::filesystem::path(path_utf8).filename().string(), name);
    // The file's place: outside any folder.
    const uint32_t place = store.sources().add_place(store.sources().add_file(path_utf8), {});
    StreamWindow window(in, size, piece);
    *out = read_cards(window, codepage, name, store, listener, place);
    return true;
}

} // namespace engine

#include "engine/autocomplete_cards.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>

#include "autocomplete/stream.h"
#include "contacts/contact_record.h"
#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "engine/contact_extraction.h"
#include "engine/text_decoding.h"
#include "pst/format.h"
#include "pst/text.h"

namespace engine {

namespace {

using contacts::Field;

constexpr std::u16string_view kWeightNote = u"Suggested by Outlook's autocomplete list, weight ";

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

// Rows into cards, one after another: the texts of a row go into room kept from row to row.
class CardMaker
{
public:
    CardMaker(int codepage, contacts::ContactStore& store, ScanListener& listener, uint32_t place)
        : m_codepage(codepage), m_store(store), m_listener(listener), m_place(place)
    {
    }

    // The row's card appended to the store (none for a row that names nobody); false when memory
    // runs out.
    bool add(const autocomplete::Row& row, AutocompleteCards& result)
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

private:
    // A value's text, and whether it is known to hold no NUL (the record then takes its length as
    // it is instead of looking for one). A Unicode text is copied into room of its own, kept from
    // row to row and never filled beforehand; an 8-bit one decoded into `decoded`.
    struct Text
    {
        std::u16string_view units;
        bool no_nul = false;
        std::unique_ptr<char16_t[]> room;
        std::size_t room_size = 0;
        std::u16string decoded;
        bool empty() const { return units.empty(); }
    };

    // A text value in UTF-16: as stored for PT_UNICODE, else 8-bit in the code page.
    void text_of(const std::optional<autocomplete::Value>& value, Text& out) const
    {
        out.units = {};
        out.no_nul = false;
        if (!value) {
            return;
        }
        const std::span<const uint8_t> bytes = value->bytes;
        if (value->type == pst::type_code(pst::PropType::Unicode)) {
            if (out.room_size < bytes.size() / 2) {
                out.room_size = std::max(bytes.size() / 2, 2 * out.room_size);
                out.room = std::make_unique_for_overwrite<char16_t[]>(out.room_size);
            }
            out.units = {out.room.get(), pst::utf16le_to_utf16(bytes.data(), bytes.size(), out.room.get())};
            out.no_nul = true;
        } else {
            out.decoded.clear();
            decode_8bit(bytes, m_codepage, out.decoded);
            out.units = out.decoded;
        }
    }

    void set(Field field, std::u16string_view text, bool no_nul)
    {
        m_draft.set_text(field, text);
        if (no_nul) {
            m_draft.end_text_before_nul(field, text.size());
        }
    }
    void set(Field field, const Text& text) { set(field, text.units, text.no_nul); }

    // The row's values into the draft; false when the row names nobody (no name, no address).
    bool fill_card(const autocomplete::Row& row)
    {
        Text &name = m_name, &type = m_type, &address = m_address, &smtp = m_smtp;
        text_of(row.display_name, name);
        text_of(row.email_address, address);
        text_of(row.smtp_address, smtp);
        if (name.empty() && address.empty() && smtp.empty()) {
            return false;
        }
        text_of(row.address_type, type);
        text_of(row.nickname, m_nickname);
        m_draft.reset();
        m_draft.set_origin(contacts::Origin::autocomplete);
        if (!name.empty()) {
            set(Field::full_name, name);
        }
        if (!m_nickname.empty()) {
            set(Field::nickname, m_nickname);
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
            m_note.assign(kWeightNote);
            append_grouped_number(*row.weight, m_note);
            set(Field::body, m_note, true);
        }
        m_draft.set_identity(row_identity(type.units, address.empty() ? smtp.units : address.units));
        set_index_key(m_draft);
        return true;
    }

    int m_codepage;
    contacts::ContactStore& m_store;
    ScanListener& m_listener;
    uint32_t m_place;
    contacts::ContactDraft m_draft;
    Text m_name, m_type, m_address, m_smtp, m_nickname;
    std::u16string m_packed, m_note;
};

// The bytes of a stream from the first not yet read: all of them for a stream in memory, or a
// window over a file read a piece at a time, which grows only for a piece larger than itself.
class StreamWindow
{
public:
    explicit StreamWindow(std::span<const uint8_t> bytes) : m_bytes(bytes), m_size(bytes.size()) {}
    // A file of `size` bytes, read `piece` bytes at a time (at least one).
    StreamWindow(std::istream& file, uint64_t size, std::size_t piece)
        : m_file(&file), m_size(size), m_piece(std::max<std::size_t>(piece, 1))
    {
    }

    std::span<const uint8_t> bytes() const { return m_bytes; }
    // Bytes of the stream beyond the window (the file's not yet read).
    uint64_t after() const { return m_size - m_read; }
    // The stream's size, as far as it could be read.
    uint64_t size() const { return m_size; }
    void take(std::size_t n) { m_bytes = m_bytes.subspan(n); }

    // Reads more of the file after the window's bytes; false when there is no more (all of it is
    // read, or it is a stream in memory). A file that ends early, or a read that fails, ends the
    // stream at what was read. Throws std::bad_alloc when room cannot be had.
    bool more()
    {
        if (m_file == nullptr || m_read == m_size) {
            return false;
        }
        const std::size_t kept = m_bytes.size();
        // The bytes not yet taken to the front; the room doubled when they fill it, and never
        // more than they and the rest of the file need.
        const std::size_t wanted_room = kept < m_piece / 2 ? m_piece : std::max(m_piece, 2 * kept);
        const std::size_t room = static_cast<std::size_t>(std::min<uint64_t>(wanted_room, kept + (m_size - m_read)));
        if (room > m_room) {
            std::unique_ptr<uint8_t[]> grown(new uint8_t[room]);
            if (kept != 0) {
                std::memcpy(grown.get(), m_bytes.data(), kept);
            }
            m_buffer = std::move(grown);
            m_room = room;
        } else if (kept != 0) {
            std::memmove(m_buffer.get(), m_bytes.data(), kept);
        }
        const std::size_t wanted = static_cast<std::size_t>(std::min<uint64_t>(m_room - kept, m_size - m_read));
        m_file->read(reinterpret_cast<char*>(m_buffer.get() + kept), static_cast<std::streamsize>(wanted));
        const auto got = static_cast<std::size_t>(std::max<std::streamsize>(m_file->gcount(), 0));
        m_read += got;
        if (got < wanted) {
            m_size = m_read;
        }
        m_bytes = std::span<const uint8_t>(m_buffer.get(), kept + got);
        return got != 0;
    }

private:
    std::span<const uint8_t> m_bytes;
    std::istream* m_file = nullptr;
    uint64_t m_size = 0;
    uint64_t m_read = 0;
    std::size_t m_piece = 0;
    std::unique_ptr<uint8_t[]> m_buffer;
    std::size_t m_room = 0;
};

// Reads the stream from `window` row by row, each row's card made before the next row is read.
AutocompleteCards read_cards(StreamWindow& window, int codepage, std::u16string_view where,
                             contacts::ContactStore& store, ScanListener& listener, uint32_t place)
{
    using autocomplete::Damage;
    AutocompleteCards result;
    Damage damage = Damage::none;
    try {
        // A damage read from some of the stream's bytes is final only once no more can be read.
        const auto read_whole = [&window](auto read) {
            Damage d = read(window.bytes());
            while (d != Damage::none && window.more()) {
                d = read(window.bytes());
            }
            return d;
        };
        uint32_t minor = 0, declared = 0;
        damage = read_whole(
            [&](std::span<const uint8_t> bytes) { return autocomplete::read_header(bytes, &minor, &declared); });
        if (damage == Damage::none) {
            window.take(autocomplete::kHeaderBytes);
        }
        const bool too_many = damage == Damage::none &&
                              autocomplete::more_rows_than_fit(declared, window.size() - autocomplete::kHeaderBytes);
        CardMaker maker(codepage, store, listener, place);
        autocomplete::Row row;
        for (uint32_t i = 0; i < declared && damage == Damage::none; ++i) {
            std::size_t used = 0;
            damage =
                read_whole([&](std::span<const uint8_t> bytes) { return autocomplete::read_row(bytes, row, &used); });
            if (damage != Damage::none) {
                damage = too_many ? Damage::row_count : damage;
                break;
            }
            window.take(used);
            ++result.rows;
            if (!maker.add(row, result)) {
                result.out_of_memory = true;
                return result;
            }
        }
        if (damage == Damage::none) {
            damage = read_whole([](std::span<const uint8_t> bytes) { return autocomplete::read_trailer(bytes); });
        }
    } catch (const std::bad_alloc&) {
        result.out_of_memory = true;
        return result;
    }
    if (damage != Damage::none) {
        result.damage = std::string(autocomplete::damage_reason(damage));
        listener.item_skipped({std::u16string(where), result.rows, result.damage, {}});
    }
    return result;
}

} // namespace

void append_grouped_number(uint32_t value, std::u16string& out)
{
    char16_t grouped[13]; // 4,294,967,295
    char16_t* at = std::end(grouped);
    for (int digits = 0; digits == 0 || value != 0; ++digits, value /= 10) {
        if (digits != 0 && digits % 3 == 0) {
            *--at = u',';
        }
        *--at = static_cast<char16_t>(u'0' + value % 10);
    }
    out.append(at, static_cast<std::size_t>(std::end(grouped) - at));
}

std::u16string grouped_number(uint32_t value)
{
    std::u16string out;
    append_grouped_number(value, out);
    return out;
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

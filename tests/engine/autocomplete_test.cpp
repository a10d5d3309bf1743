// The autocomplete list: streams our test writer makes (tests/fixture/autocomplete.h) read back
// row for row, the damage table of hostile and cut streams, and .nk2 files through the converter.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "autocomplete/stream.h"
#include "autocomplete_rows.h"
#include "cli/convert.h"
#include "contacts/contact_store.h"
#include "converter_run.h"
#include "engine/autocomplete_cards.h"
#include "fixture/autocomplete.h"
#include "fixture/fixture.h"
#include "pst/format.h"
#include "temp_dir.h"

namespace {

using autocomplete::Damage;
using Bytes = std::vector<uint8_t>;

std::string text(const std::optional<autocomplete::Value>& value)
{
    if (!value) {
        return "(absent)";
    }
    std::u16string wide;
    if (autocomplete::unicode_text(*value, wide)) {
        return fixture::utf16_to_utf8(wide);
    }
    return fixture::cp1252_to_utf8(std::string(value->bytes.begin(), value->bytes.end()));
}

Bytes stream_of(const std::vector<fixture::AutocompleteEntry>& entries)
{
    std::vector<fixture::StreamRow> rows;
    for (const auto& e : entries) {
        rows.push_back(fixture::autocomplete_row(e));
    }
    return fixture::autocomplete_stream(rows);
}

void put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

TEST(AutocompleteStream, EveryRowReadsBackAsWritten)
{
    const auto entries = fixture::sample_autocomplete(40, 3);
    const Bytes bytes = stream_of(entries);
    const autocomplete::Stream stream = autocomplete::read_stream(bytes);
    EXPECT_EQ(stream.damage, Damage::none);
    EXPECT_EQ(stream.declared_rows, 40u);
    ASSERT_EQ(stream.rows.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const auto& row = stream.rows[i];
        SCOPED_TRACE(e.display_name);
        EXPECT_EQ(text(row.display_name), e.display_name);
        EXPECT_EQ(text(row.email_address), e.email);
        EXPECT_EQ(text(row.address_type), e.address_type);
        EXPECT_EQ(text(row.smtp_address), e.smtp.empty() ? "(absent)" : e.smtp);
        EXPECT_EQ(row.weight, e.weight);
        EXPECT_EQ(row.display_name->type,
                  pst::type_code(e.eight_bit ? pst::PropType::String8 : pst::PropType::Unicode));
        EXPECT_EQ(row.properties, e.address_type == "EX" && !e.smtp.empty() ? 12u : 11u);
    }
}

// A stream of `rows` rows that hold no property: 16 bytes of header, 4 per row, 12 of trailer.
Bytes empty_rows(uint32_t rows)
{
    return fixture::autocomplete_stream(std::vector<fixture::StreamRow>(rows));
}

// One row: a Unicode nickname "ab" (offsets: row count at 12, property count at 16, the tag at
// 20, the byte count at 36, the text at 40..46), then a PT_MV_UNICODE of two values (tag at 46,
// value count at 62, the first value's byte count at 66).
Bytes one_row()
{
    fixture::StreamProperty many{0x5FF9101F, 0, {}, {{'x', 0, 0, 0}, {'y', 0, 0, 0}}};
    return fixture::autocomplete_stream({{fixture::stream_unicode(autocomplete::kTagNickname, "ab"), many}});
}

struct DamageCase
{
    const char* what;
    std::function<Bytes()> bytes;
    Damage damage;
    size_t rows; // rows kept
};

const DamageCase kDamage[] = {
    {"intact", one_row, Damage::none, 1},
    {"fewer bytes than the header", [] { return Bytes(15, 0); }, Damage::not_a_stream, 0},
    {"a header and nothing else",
     [] {
         Bytes b = one_row();
         b.resize(16);
         return b;
     },
     Damage::row_count, 0},
    {"no row, the trailer whole", [] { return empty_rows(0); }, Damage::none, 0},
    {"another signature",
     [] {
         Bytes b = one_row();
         b[0] ^= 1;
         return b;
     },
     Damage::not_a_stream, 0},
    {"major version 11",
     [] {
         Bytes b = one_row();
         put32(b, 4, 11);
         return b;
     },
     Damage::version, 0},
    {"major version 13",
     [] {
         Bytes b = one_row();
         put32(b, 4, 13);
         return b;
     },
     Damage::version, 0},
    // 5 empty rows leave 32 bytes after the header: 8 rows of 4 bytes fit (the trailer's three
    // words read as empty rows, then the trailer is missing), 9 do not.
    {"a row count the bytes can just hold",
     [] {
         Bytes b = empty_rows(5);
         put32(b, 12, 8);
         return b;
     },
     Damage::trailer, 8},
    {"a row count one beyond the bytes",
     [] {
         Bytes b = empty_rows(5);
         put32(b, 12, 9);
         return b;
     },
     Damage::row_count, 8},
    {"a row count of four billion",
     [] {
         Bytes b = one_row();
         put32(b, 12, 0xFFFFFFFF);
         return b;
     },
     Damage::row_count, 4}, // the row, then the trailer's three words as rows of no property
    // 74 bytes follow the property count: 4 properties of 16 bytes fit, 5 do not.
    {"a property count the row can just hold",
     [] {
         Bytes b = one_row();
         put32(b, 16, 4);
         return b;
     },
     Damage::cut, 0},
    {"a property count one beyond the row",
     [] {
         Bytes b = one_row();
         put32(b, 16, 5);
         return b;
     },
     Damage::property_count, 0},
    // 54 bytes follow the byte count of the nickname.
    {"a length up to the last byte",
     [] {
         Bytes b = one_row();
         put32(b, 36, 54);
         return b;
     },
     Damage::cut, 0},
    {"a length one past the end",
     [] {
         Bytes b = one_row();
         put32(b, 36, 55);
         return b;
     },
     Damage::length, 0},
    {"a length of 2 GB",
     [] {
         Bytes b = one_row();
         put32(b, 36, 0x80000000);
         return b;
     },
     Damage::length, 0},
    {"a length of 4 GB less one",
     [] {
         Bytes b = one_row();
         put32(b, 36, 0xFFFFFFFF);
         return b;
     },
     Damage::length, 0},
    // 28 bytes follow the value count: 7 values of 4 bytes at least.
    {"a value count the bytes can just hold",
     [] {
         Bytes b = one_row();
         put32(b, 62, 7);
         return b;
     },
     Damage::cut, 0},
    {"a value count one beyond the bytes",
     [] {
         Bytes b = one_row();
         put32(b, 62, 8);
         return b;
     },
     Damage::value_count, 0},
    {"a multi-value count of a billion",
     [] {
         Bytes b = one_row();
         put32(b, 62, 1000000000);
         return b;
     },
     Damage::value_count, 0},
    {"a multi-value's length past the end",
     [] {
         Bytes b = one_row();
         put32(b, 66, 1000);
         return b;
     },
     Damage::length, 0},
    {"an unknown property type",
     [] {
         Bytes b = one_row();
         put32(b, 20, 0x60010099);
         return b;
     },
     Damage::property_type, 0},
    {"PT_NULL, which the layout does not list",
     [] {
         Bytes b = one_row();
         put32(b, 20, 0x60010001);
         return b;
     },
     Damage::property_type, 0},
    {"the trailer's metadata cut by one byte",
     [] {
         Bytes b = one_row();
         b.pop_back();
         return b;
     },
     Damage::trailer, 1},
    {"no trailer at all",
     [] {
         Bytes b = one_row();
         b.resize(b.size() - 12);
         return b;
     },
     Damage::trailer, 1},
    {"an extra-information count past the end",
     [] {
         Bytes b = one_row();
         put32(b, b.size() - 12, 9);
         return b;
     },
     Damage::trailer, 1},
    {"an extra-information count that leaves the metadata whole",
     [] {
         Bytes b = one_row();
         put32(b, b.size() - 12, 8);
         b.insert(b.end(), 8, 0);
         return b;
     },
     Damage::none, 1},
};

TEST(AutocompleteStream, DamageTable)
{
    for (const DamageCase& c : kDamage) {
        SCOPED_TRACE(c.what);
        const Bytes bytes = c.bytes();
        const autocomplete::Stream stream = autocomplete::read_stream(bytes);
        EXPECT_EQ(stream.damage, c.damage) << autocomplete::damage_reason(stream.damage);
        EXPECT_EQ(stream.rows.size(), c.rows);
        // The row list is all that is allocated, and the bytes bound it.
        EXPECT_LE(stream.rows.capacity(), bytes.size() / 4 + 1);
        EXPECT_EQ(autocomplete::damage_reason(stream.damage).empty(), c.damage == Damage::none);
    }
}

// Cut after every byte, a stream gives the rows before the cut and names damage, never more.
TEST(AutocompleteStream, EveryCutKeepsTheRowsBeforeIt)
{
    const auto entries = fixture::sample_autocomplete(6, 9);
    const Bytes whole = stream_of(entries);
    for (size_t size = 0; size < whole.size(); ++size) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        const autocomplete::Stream stream = autocomplete::read_stream(cut);
        ASSERT_NE(stream.damage, Damage::none) << size;
        ASSERT_LE(stream.rows.size(), entries.size());
        for (size_t i = 0; i < stream.rows.size(); ++i) {
            ASSERT_EQ(text(stream.rows[i].display_name), entries[i].display_name) << size;
        }
    }
}

// ---- .nk2 files through the converter

using testcli::convert;
using testcli::Converted;

std::vector<nlohmann::json> json_lines(const std::string& text)
{
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

void write_file(const std::string& path, const Bytes& bytes)
{
    testfiles::write_bytes(path, std::string(bytes.begin(), bytes.end()));
}

TEST(AutocompleteFile, Nk2RowsBecomeCardsInTheConverter)
{
    testfiles::TempDir dir;
    const auto entries = fixture::sample_autocomplete(30, 5);
    const std::string path = dir.file("Outlook.nk2");
    write_file(path, stream_of(entries));
    const Converted run = convert({"--json", path});
    ASSERT_EQ(run.status, cli::kExitSuccess) << run.err;
    EXPECT_EQ(run.err, "pelimoor-convert: 30 cards from the autocomplete list\n");
    const auto cards = json_lines(run.out);
    ASSERT_EQ(cards.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        const auto& card = cards[i];
        SCOPED_TRACE(card.dump());
        EXPECT_EQ(card["number"], i + 1);
        EXPECT_EQ(card["origin"], "autocomplete");
        EXPECT_EQ(card["full_name"], e.display_name);
        EXPECT_EQ(card["body"], "Suggested by Outlook's autocomplete list, weight " +
                                    fixture::utf16_to_utf8(engine::grouped_number(e.weight)));
        const bool exchange_only = e.address_type == "EX" && e.smtp.empty();
        EXPECT_EQ(card["email"], exchange_only ? e.email : e.address_type == "EX" ? e.smtp : e.email);
        EXPECT_EQ(card["email_type"], exchange_only ? "EX" : "SMTP");
        EXPECT_EQ(card["nickname"], e.address_type == "SMTP" ? e.email : exchange_only ? e.display_name : e.smtp);
    }
}

TEST(AutocompleteFile, StreamAutocompleteDatReadsAsNk2AndDamageIsCounted)
{
    testfiles::TempDir dir;
    const auto entries = fixture::sample_autocomplete(4, 2);
    Bytes bytes = stream_of(entries);
    // The third row's first length (its nickname's) made 2 GB: two rows kept, one reason.
    const Bytes two = stream_of({entries[0], entries[1]});
    put32(bytes, two.size() - 12 + 4 + 16, 0x80000000);
    const std::string path = dir.file("Stream_Autocomplete_0_1A2B.dat");
    write_file(path, bytes);
    const Converted run = convert({"--list", path});
    ASSERT_EQ(run.status, cli::kExitSuccess) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2);
    EXPECT_NE(run.out.find(entries[1].display_name), std::string::npos);
    EXPECT_EQ(run.err, "pelimoor-convert: 1 item skipped: a length past the end of the autocomplete list "
                       "(--verbose lists them)\n"
                       "pelimoor-convert: 2 cards from the autocomplete list\n");
}

// A file read a piece at a time gives what its bytes give in memory: the same cards, rows read
// and damage, whatever the piece's size against the header, a row and the whole file.
struct SkipLog : engine::ScanListener
{
    void item_skipped(const engine::SkippedItem& item) override
    {
        skipped.push_back(fixture::utf16_to_utf8(item.folder) + " " + std::to_string(item.index) + " " + item.reason);
    }
    std::vector<std::string> skipped;
};

std::vector<std::string> card_lines(const contacts::ContactStore& store)
{
    std::vector<std::string> lines;
    for (const contacts::ContactRecord* r = store.first(); r != nullptr; r = r->next()) {
        std::string line = std::to_string(r->number());
        for (const contacts::Field f : {contacts::Field::full_name, contacts::Field::nickname, contacts::Field::email,
                                        contacts::Field::email_type, contacts::Field::body}) {
            line += "|" + fixture::utf16_to_utf8(std::u16string(r->text(f).value_or(u"(absent)")));
        }
        line += "|" + fixture::utf16_to_utf8(std::u16string(r->exchange()));
        line.append(r->identity().begin(), r->identity().end());
        lines.push_back(line);
    }
    return lines;
}

// `bytes` as a file read `piece` bytes at a time give what they give in memory.
void expect_as_in_memory(const testfiles::TempDir& dir, const Bytes& bytes, size_t piece)
{
    const std::string path = dir.file("Outlook.nk2");
    write_file(path, bytes);
    contacts::ContactStore expected;
    SkipLog expected_log;
    const engine::AutocompleteCards in_memory =
        engine::add_autocomplete_cards(bytes, 1252, u"Outlook.nk2", expected, expected_log, 0);
    contacts::ContactStore store;
    SkipLog log;
    engine::AutocompleteCards read;
    ASSERT_TRUE(engine::scan_autocomplete_file(path, 1252, store, log, &read, piece));
    EXPECT_EQ(read.rows, in_memory.rows);
    EXPECT_EQ(read.cards, in_memory.cards);
    EXPECT_EQ(read.damage, in_memory.damage);
    EXPECT_FALSE(read.out_of_memory);
    EXPECT_EQ(log.skipped, expected_log.skipped);
    EXPECT_EQ(card_lines(store), card_lines(expected));
}

TEST(AutocompleteFile, ReadInPiecesAsInMemory)
{
    testfiles::TempDir dir;
    const auto entries = fixture::sample_autocomplete(9, 4);
    const Bytes whole = stream_of(entries);
    const size_t first_row = stream_of({entries[0]}).size() - 12 - 16;
    std::vector<std::pair<std::string, Bytes>> streams = {{"whole", whole}};
    for (const size_t cut : {size_t{0}, size_t{7}, size_t{16}, 16 + first_row - 1, 16 + first_row, whole.size() - 13,
                             whole.size() - 12, whole.size() - 1}) {
        streams.emplace_back("cut at " + std::to_string(cut),
                             Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    }
    Bytes long_value = whole;
    put32(long_value, 16 + first_row + 4 + 16, static_cast<uint32_t>(whole.size())); // the second row's first length
    streams.emplace_back("a length past the end", long_value);
    for (const DamageCase& c : kDamage) {
        streams.emplace_back(c.what, c.bytes());
    }
    for (const auto& [what, bytes] : streams) {
        for (const size_t piece :
             {size_t{1}, size_t{2}, size_t{15}, size_t{16}, size_t{17}, first_row - 1, first_row, first_row + 1,
              bytes.size() - 1, bytes.size(), bytes.size() + 1, engine::kAutocompletePiece}) {
            SCOPED_TRACE(what + ", pieces of " + std::to_string(piece));
            expect_as_in_memory(dir, bytes, piece);
        }
    }
}

// A file of more than one piece has its rows read on a thread of their own, handed over in
// batches of 64 rows, at most 256 rows ahead: row counts at the edges of both, whole and cut.
TEST(AutocompleteFile, RowsReadBesideAsInMemory)
{
    testfiles::TempDir dir;
    for (const int rows : {1, 63, 64, 65, 255, 256, 257, 513}) {
        const Bytes whole = stream_of(fixture::sample_autocomplete(rows, 7));
        const Bytes cut_row(whole.begin(), whole.end() - 14);    // inside the last row
        const Bytes cut_trailer(whole.begin(), whole.end() - 5); // inside the trailer
        for (const Bytes* bytes : {&whole, &cut_row, &cut_trailer}) {
            SCOPED_TRACE(std::to_string(rows) + " rows, " + std::to_string(bytes->size()) + " bytes");
            expect_as_in_memory(dir, *bytes, 4096);
        }
    }
}

// A file that ends before the size it had when opened (cut while being read) ends the stream
// where it ends: the rows and damage of the bytes there are, whether the file is read in one piece
// or in many (then on a thread of its own).
TEST(AutocompleteFile, FileShorterThanItsSizeReadsAsItsBytes)
{
    const auto rows_of = [](engine::StreamWindow window) {
        return engine::read_rows(
            window, 1252, [](engine::RowTexts&) {}, [](const engine::RowTexts&) { return true; });
    };
    for (const int rows : {1, 65}) {
        const Bytes whole = stream_of(fixture::sample_autocomplete(rows, 5));
        for (const size_t cut : {size_t{0}, size_t{15}, size_t{16}, whole.size() / 2, whole.size() - 1}) {
            const Bytes bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            const engine::RowsRead expected = rows_of(engine::StreamWindow(bytes));
            for (const uint64_t said : {uint64_t{cut + 1}, uint64_t{whole.size()}, uint64_t{whole.size() + 4096}}) {
                for (const size_t piece : {size_t{1}, size_t{16}, cut, size_t{4096}}) {
                    SCOPED_TRACE(std::to_string(rows) + " rows cut at " + std::to_string(cut) + ", said " +
                                 std::to_string(said) + ", pieces of " + std::to_string(piece));
                    std::istringstream file(std::string(bytes.begin(), bytes.end()));
                    const engine::RowsRead read = rows_of(engine::StreamWindow(file, said, piece));
                    EXPECT_EQ(read.rows, expected.rows);
                    EXPECT_EQ(read.damage, expected.damage);
                }
            }
        }
    }
}

TEST(AutocompleteCards, GroupedNumbers)
{
    const std::pair<uint32_t, const char16_t*> cases[] = {
        {0, u"0"},
        {1, u"1"},
        {999, u"999"},
        {1000, u"1,000"},
        {73728, u"73,728"},
        {999999, u"999,999"},
        {1000000, u"1,000,000"},
        {4294967295u, u"4,294,967,295"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(engine::grouped_number(value), text) << value;
    }
}

} // namespace

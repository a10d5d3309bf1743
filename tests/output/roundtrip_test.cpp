// One round-trip harness over every writer: a PST made by our writer is scanned through the
// engine, converted to each format on disk, and read back by a reader that shares no code with
// the writer; what comes back must be what the store holds.
#include <contacts/conversion.h>
#include <contacts/output_writers.h>
#include <fixture/fixture.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pffread/pffread.h>

#include <algorithm>
#include <map>

#include "support.h"

namespace {

using contacts::ContactRecord;
using contacts::ContactStore;
using contacts::Field;
using contacts::Format;
using output_test::utf8;

// ---- the source files

// Contacts whose values hold every character that a writer must quote, escape or encode.
fixture::Plan tricky_plan()
{
    fixture::Plan plan;
    plan.options = fixture::deterministic_options();
    plan.folders.push_back({fixture::kTopOfPersonalFolders, u"Contacts", u"IPF.Contact"});
    plan.folders.push_back({0, u"Friends; \"close\"", u"IPF.Contact"});
    const auto contact = [&](int folder, std::initializer_list<std::pair<uint16_t, std::u16string>> props) {
        plan.messages.push_back({folder, output_test::unicode_contact(props)});
        return &plan.messages.back().message;
    };
    contact(0, {{0x8005, u"Doe, John"},
                {0x3A06, u"John"},
                {0x3A11, u"Doe"},
                {0x3A16, u"Acme, \"Inc.\""},
                {0x3A18, u"R;D"},
                {0x3A29, u"1 Main St\r\nSuite 2"},
                {0x3A27, u"Springfield"},
                {0x3A5D, u"Home; Street\\1"},
                {0x8084, u"john@example.com"},
                {0x8094, u"j.doe@example.org"},
                {0x80A3, u"jd@example.net"},
                {0x3A4F, u"J;D"},
                {0x3A45, u"<b>Mr.</b> & \"Sir\""},
                {0x3A08, u"+1 555 0100"},
                {0x3A1B, u"+1 555 0101"},
                {0x3A1C, u"+1 555 0102"},
                {0x3A09, u"+1 555 0103"},
                {0x3A50, u"http://home.example/?a=1&b=2"},
                {0x1000, u"Line one, with comma\r\n\"quoted\" line two\r\n<script>alert(1)</script>"}});
    contact(1, {{0x3A06, u"Zoë"},
                {0x3A11, u"Åström-山田 😀"},
                {0x3A44, u"𝔄𝔅"},
                {0x3A16, u"Société Générale"},
                {0x3A59, u"Zürich"},
                {0x3A5A, u"Schweiz"},
                {0x3A26, u"Österreich"},
                {0x8084, u"zoe@例え.jp"},
                {0x1000, std::u16string(300, u'é') + u"\r\n" + std::u16string(200, u'x') + u" 😀=end"}});
    auto* dated = contact(1, {{0x3A06, u"Dated"}, {0x3A11, u"Person"}});
    const uint64_t day = 132'000'000'000'000'000ull / 864'000'000'000ull * 864'000'000'000ull; // a midnight
    dated->set_systime(0x3A42, day);
    dated->set_named_systime(pst::kPsetidAddress, 0x80DE, day);
    dated->set_systime(0x3A41, day - 864'000'000'000ull * 400);
    contact(0, {});                                                      // nothing at all
    contact(0, {{0x3A16, u"Company Only"}, {0x3A42, u"text birthday"}}); // a birthday stored as text
    return plan;
}

struct Source
{
    const char* name;
    std::function<pst::Status(const std::string&)> write;
};

const Source kSources[] = {
    {"tricky", [](const std::string& path) { return fixture::write_plan(path, tricky_plan()); }},
    {"generated",
     [](const std::string& path) {
         fixture::ContactsOptions o;
         o.contacts = 120;
         o.folders = 4;
         o.other = 12;
         o.seed = 7;
         return fixture::write_contacts(path, o);
     }},
};

// ---- comparing

std::vector<const ContactRecord*> records_of(const ContactStore& store)
{
    std::vector<const ContactRecord*> out;
    for (const ContactRecord* r = store.first(); r; r = r->next()) {
        out.push_back(r);
    }
    return out;
}

std::string value(const ContactRecord& r, Field f)
{
    return utf8(r.text_or_empty(f));
}

void expect_same_records(const ContactStore& expected, const ContactStore& actual)
{
    const auto a = records_of(expected);
    const auto b = records_of(actual);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (const auto& info : contacts::kFieldTable) {
            if (info.type == contacts::FieldType::Text && info.field != Field::index_key &&
                info.field != Field::display_name) {
                EXPECT_EQ(a[i]->text(info.field), b[i]->text(info.field)) << "contact " << i << " " << info.name;
            }
        }
        // The PST output's PR_DISPLAY_NAME is the name the other outputs give the contact.
        const std::u16string name = contacts::contact_display_name(*a[i]);
        EXPECT_EQ(b[i]->text(Field::display_name),
                  name.empty() ? std::nullopt : std::optional<std::u16string_view>(name))
            << "contact " << i;
        EXPECT_EQ(a[i]->gender(), b[i]->gender());
        EXPECT_EQ(a[i]->text(Field::index_key), b[i]->text(Field::index_key));
    }
}

void check_csv(const ContactStore& store, const std::filesystem::path& folder)
{
    const auto files = output_test::files_in(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), "contacts.csv");
    const std::string bytes = output_test::read_bytes(files[0]);
    EXPECT_EQ(bytes.substr(0, 3), contacts::kUtf8Bom);
    const auto json = nlohmann::json::parse(output_test::python_readback("csv", files));
    std::string header;
    contacts::append_csv_header(header);
    EXPECT_EQ(json["header"].size(), 59u);
    const auto records = records_of(store);
    ASSERT_EQ(json["rows"].size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& row = json["rows"][i];
        ASSERT_EQ(row.size(), 59u);
        for (std::size_t c = 0; c < contacts::kOutputLabels.size(); ++c) {
            EXPECT_EQ(json["header"][c], utf8(contacts::kOutputLabels[c].label));
            EXPECT_EQ(row[c], value(*records[i], contacts::kOutputLabels[c].field)) << "row " << i << " column " << c;
        }
    }
}

void check_vcard(const ContactStore& store, const std::filesystem::path& folder)
{
    const auto files = output_test::files_in(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), "contacts.vcf");
    const std::string bytes = output_test::read_bytes(files[0]);
    EXPECT_NE(bytes.substr(0, 3), contacts::kUtf8Bom);
    for (std::size_t start = 0, end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        ASSERT_GT(end, start);
        EXPECT_EQ(bytes[end - 1], '\r');
        EXPECT_LT(end - start - 1, 76u);
    }
    const auto cards = nlohmann::json::parse(output_test::python_readback("vcard", files));
    const auto records = records_of(store);
    ASSERT_EQ(cards.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ContactRecord& r = *records[i];
        const auto& card = cards[i];
        const auto one = [&](const char* name) -> std::string {
            return card.contains(name) ? card[name][0].get<std::string>() : std::string();
        };
        EXPECT_EQ(card["N"][0], (std::vector<std::string>{value(r, Field::last_name), value(r, Field::first_name),
                                                          value(r, Field::middle_name)}));
        EXPECT_EQ(one("FN"), utf8(contacts::contact_display_name(r)));
        EXPECT_EQ(one("NICKNAME"), value(r, Field::nickname));
        EXPECT_EQ(one("TITLE"), value(r, Field::title));
        EXPECT_EQ(one("URL;HOME"), value(r, Field::personal_home_page));
        EXPECT_EQ(one("URL;WORK"), value(r, Field::business_home_page));
        EXPECT_EQ(one("TEL;HOME;VOICE"), value(r, Field::home_phone));
        EXPECT_EQ(one("TEL;WORK;VOICE"), value(r, Field::business_phone));
        EXPECT_EQ(one("TEL;BUSINESS;VOICE"), value(r, Field::business_phone_2));
        EXPECT_EQ(one("TEL;CELL;VOICE"), value(r, Field::mobile_phone));
        std::vector<std::string> emails;
        for (Field f : {Field::email, Field::email_2, Field::email_3}) {
            if (!value(r, f).empty()) {
                emails.push_back(value(r, f));
            }
        }
        EXPECT_EQ(card.value("EMAIL;PREF;INTERNET", nlohmann::json::array()), nlohmann::json(emails));
        if (!value(r, Field::company_name).empty() || !value(r, Field::department).empty()) {
            EXPECT_EQ(card["ORG"][0],
                      (std::vector<std::string>{value(r, Field::company_name), value(r, Field::department)}));
        }
        if (!value(r, Field::home_city).empty() || !value(r, Field::home_street).empty()) {
            EXPECT_EQ(card["ADR;HOME"][0],
                      (std::vector<std::string>{"", "", value(r, Field::home_street), value(r, Field::home_city),
                                                value(r, Field::home_state), value(r, Field::home_postal_code),
                                                value(r, Field::home_country), ""}));
        }
        if (!value(r, Field::business_street).empty() || !value(r, Field::business_country).empty()) {
            EXPECT_EQ(card["ADR;WORK"][0], (std::vector<std::string>{
                                               "", "", value(r, Field::business_street), value(r, Field::business_city),
                                               value(r, Field::business_state), value(r, Field::business_postal_code),
                                               value(r, Field::business_country)}));
        }
        const std::string birthday = value(r, Field::birthday);
        EXPECT_EQ(one("BDAY"), birthday.size() == 10 && birthday[4] == '-' ? birthday : "") << birthday;
    }
}

// The file of each record in the one-file-per-contact formats.
std::map<std::string, const ContactRecord*> by_file_name(const ContactStore& store, Format format)
{
    std::map<std::string, const ContactRecord*> out;
    for (const ContactRecord* r : records_of(store)) {
        out[contacts::contact_file_name(*r, format)] = r;
    }
    return out;
}

void check_html(const ContactStore& store, const std::filesystem::path& folder)
{
    const auto files = output_test::files_in(folder);
    const auto expected = by_file_name(store, Format::Html);
    ASSERT_EQ(files.size(), expected.size());
    const auto pages = nlohmann::json::parse(output_test::python_readback("html", files));
    for (const auto& page : pages) {
        ASSERT_TRUE(expected.count(page["file"])) << page["file"];
        const ContactRecord& r = *expected.at(page["file"]);
        nlohmann::json entries = nlohmann::json::array();
        for (const auto& label : contacts::kOutputLabels) {
            if (!r.text_or_empty(label.field).empty()) {
                const std::string form = utf8(contacts::html_form(label));
                const std::size_t close = form.find("</b>");
                entries.push_back({form.substr(3, close - 3), form.substr(close + 4) + value(r, label.field)});
            }
        }
        EXPECT_EQ(page["entries"], entries) << page["file"];
    }
}

void check_text(const ContactStore& store, const std::filesystem::path& folder)
{
    const auto files = output_test::files_in(folder);
    const auto expected = by_file_name(store, Format::Txt);
    ASSERT_EQ(files.size(), expected.size());
    for (const auto& file : files) {
        ASSERT_TRUE(expected.count(file.filename())) << file;
        const ContactRecord& r = *expected.at(file.filename());
        const std::string bytes = output_test::read_bytes(file);
        std::size_t at = 0;
        const auto take = [&](const std::string& piece) {
            EXPECT_EQ(bytes.substr(at, piece.size()), piece) << file;
            at += piece.size();
        };
        take(std::string(contacts::kUtf8Bom));
        for (const auto& label : contacts::kOutputLabels) {
            if (!r.text_or_empty(label.field).empty()) {
                take(utf8(contacts::text_form(label)));
                take(value(r, label.field));
                if (label.field != Field::body) {
                    take("\r\n");
                }
            }
        }
        EXPECT_EQ(at, bytes.size()) << file;
    }
}

void check_pst(const ContactStore& store, const std::filesystem::path& folder)
{
    const auto files = output_test::files_in(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), "contacts.pst");

    // Scanned again, the file gives the same records.
    ContactStore again;
    output_test::scan(files[0], again);
    expect_same_records(store, again);

    // libpff sees one contact folder under Top of Personal Folders, with one contact per record.
    std::string why;
    auto file = pffread::File::open(files[0].string(), &why);
    ASSERT_TRUE(file) << why;
    const pffread::Tree tree = pffread::read_tree(*file);
    ASSERT_TRUE(tree.ok);
    const auto messages = tree.messages();
    const auto records = records_of(store);
    ASSERT_EQ(messages.size(), records.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(messages[i].first, (std::vector<std::string>{"Top of Personal Folders", "Contacts"}));
        EXPECT_EQ(messages[i].second->message_class, "IPM.Contact");
        EXPECT_EQ(messages[i].second->item_type, pffread::kContact);
        const std::string name = utf8(contacts::contact_display_name(*records[i]));
        // The stored UTF-16 (libpff's own converter mangles characters outside the BMP).
        for (uint32_t tag : {0x3001u, 0x0037u}) {
            const pffread::Entry* entry = messages[i].second->find(tag);
            EXPECT_EQ(entry ? utf8(entry->utf16().value_or(u"")) : "", name) << std::hex << tag;
        }
    }

    // readpst, a reader of its own, finds every contact.
    if (std::string(READPST).empty()) {
        GTEST_SKIP() << "readpst is not installed";
    }
    int status = 0;
    const std::size_t cards = output_test::readpst_vcards(READPST, files[0].string(), &status);
    ASSERT_EQ(status, 0);
    // readpst passes over a contact that holds no property at all.
    const auto with_values = std::count_if(records.begin(), records.end(), [](const ContactRecord* r) {
        return std::any_of(
            contacts::kFieldTable.begin(), contacts::kFieldTable.end(),
            [&](const contacts::FieldInfo& i) { return i.type == contacts::FieldType::Text && r->has(i.field); });
    });
    EXPECT_EQ(cards, static_cast<std::size_t>(with_values));
}

struct Check
{
    Format format;
    void (*check)(const ContactStore&, const std::filesystem::path&);
};

const Check kChecks[] = {
    {Format::Pst, check_pst},  {Format::Vcf, check_vcard}, {Format::Csv, check_csv},
    {Format::Txt, check_text}, {Format::Html, check_html},
};

void PrintTo(const Source& s, std::ostream* os)
{
    *os << s.name;
}
void PrintTo(const Check& c, std::ostream* os)
{
    *os << contacts::format_info(c.format)->name;
}

class RoundTrip : public testing::TestWithParam<std::tuple<Source, Check>>
{
};

TEST_P(RoundTrip, WhatIsReadBackIsWhatTheStoreHolds)
{
    const auto& [source, check] = GetParam();
    output_test::TempDir dir;
    const auto pst = dir.path() / "source.pst";
    const pst::Status written = source.write(pst.string());
    ASSERT_TRUE(written.ok) << written.message;
    ContactStore store;
    output_test::scan(pst, store);
    ASSERT_FALSE(store.empty());

    const auto out = dir.path() / "out";
    std::filesystem::create_directory(out);
    int64_t last_done = 0;
    contacts::ConversionOptions options;
    options.progress = [&](int64_t done, int64_t total) {
        EXPECT_EQ(done, last_done + 1);
        EXPECT_EQ(total, store.size());
        last_done = done;
    };
    const auto result = contacts::convert_contacts(store, check.format, out, options);
    ASSERT_EQ(result.outcome, contacts::ConversionOutcome::Completed) << result.reason;
    EXPECT_EQ(result.written, store.size());
    EXPECT_EQ(last_done, store.size());
    EXPECT_EQ(result.folder.parent_path(), out);
    check.check(store, result.folder);
}

std::string case_name(const testing::TestParamInfo<RoundTrip::ParamType>& info)
{
    return std::string(std::get<0>(info.param).name) + "_" +
           contacts::format_info(std::get<1>(info.param).format)->name;
}

INSTANTIATE_TEST_SUITE_P(EveryWriter, RoundTrip,
                         testing::Combine(testing::ValuesIn(kSources), testing::ValuesIn(kChecks)), case_name);

TEST(RoundTripSource, TheTrickyValuesReachTheStore)
{
    // Guards the harness: the hard cases really are in the records that the writers get.
    output_test::TempDir dir;
    const auto pst = dir.path() / "source.pst";
    ASSERT_TRUE(fixture::write_plan(pst.string(), tricky_plan()).ok);
    ContactStore store;
    output_test::scan(pst, store);
    ASSERT_EQ(store.size(), 5);
    std::map<std::string, const ContactRecord*> by_first;
    for (const ContactRecord* r : records_of(store)) {
        by_first[value(*r, Field::first_name) + value(*r, Field::company_name)] = r;
    }
    ASSERT_EQ(by_first.size(), 5u);
    EXPECT_EQ(value(*by_first["JohnAcme, \"Inc.\""], Field::full_name), "Doe, John");
    EXPECT_EQ(value(*by_first["JohnAcme, \"Inc.\""], Field::business_street), "1 Main St\r\nSuite 2");
    EXPECT_EQ(value(*by_first["ZoëSociété Générale"], Field::last_name), "Åström-山田 😀");
    EXPECT_EQ(value(*by_first["ZoëSociété Générale"], Field::middle_name), "𝔄𝔅");
    EXPECT_EQ(value(*by_first["Dated"], Field::birthday).size(), 10u);
    EXPECT_EQ(value(*by_first["Dated"], Field::anniversary).size(), 10u);
    EXPECT_EQ(value(*by_first["Company Only"], Field::birthday), "text birthday");
}

} // namespace

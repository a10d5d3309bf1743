// Contact photos through the vCard, HTML and PST writers. One table of photos (every type, sizes
// at the edges of base64's padding, of the vCard's folded lines and of a 76-character MIME line,
// and large ones) is written by the conversion job and read back by readers that share no code
// with the writers: Evolution's EContact (vCard); Python's html.parser with a strict base64
// decoder (HTML); the engine's scan with both readers, libpff, pst-check and readpst (PST).
// A record without a photo gives the same bytes as before in every format.
#include <contacts/conversion.h>
#include <contacts/output_writers.h>
#include <engine/scan_events.h>
#include <engine/scan_run.h>
#include <fixture/fixture.h>
#include <gtest/gtest.h>
#include <libpff.h>
#include <nlohmann/json.hpp>
#include <pffread/pffread.h>
#include <pst/writer.h>
#include <pstcheck/check.h>

#include <algorithm>
#include <map>

#include "support.h"

namespace {

using output_test::lines_of;

using contacts::ContactRecord;
using contacts::ContactStore;
using contacts::Field;
using contacts::Format;
using contacts::PhotoType;
using output_test::utf8;

struct PhotoCase
{
    const char* name; // the record's last name
    PhotoType type;
    std::size_t size;  // 0: no photo
    bool texts = true; // false: the photo is all the record holds
};

constexpr std::size_t kLine = contacts::kVcardPhotoLineBytes; // 54 bytes, 72 base64 characters

const PhotoCase kCases[] = {
    {"None", PhotoType::jpeg, 0},
    // One, two and three bytes: "==", "=" and no padding.
    {"Jpeg1", PhotoType::jpeg, 1},
    {"Png2", PhotoType::png, 2},
    {"Gif3", PhotoType::gif, 3},
    {"Jpeg4", PhotoType::jpeg, 4},
    // Around one folded vCard line, and two.
    {"Gif53", PhotoType::gif, kLine - 1},
    {"Jpeg54", PhotoType::jpeg, kLine},
    {"Png55", PhotoType::png, kLine + 1},
    {"Gif107", PhotoType::gif, 2 * kLine - 1},
    {"Jpeg108", PhotoType::jpeg, 2 * kLine},
    {"Png109", PhotoType::png, 2 * kLine + 1},
    // Around a 76-character MIME line (57 bytes).
    {"Jpeg56", PhotoType::jpeg, 56},
    {"Png57", PhotoType::png, 57},
    {"Gif58", PhotoType::gif, 58},
    // Real pictures, and a large one.
    {"JpegPicture", PhotoType::jpeg, 20'000},
    {"PngPicture", PhotoType::png, 30'000},
    {"Jpeg100k", PhotoType::jpeg, 100 * 1024},
    {"Gif100k", PhotoType::gif, 100 * 1024 + 1},
    // A photo and nothing else.
    {"", PhotoType::gif, 3, false},
};

// The photo of a case: a real JPEG or PNG from 1000 bytes up; else the type's signature, cut to
// the size, followed by every byte value in turn (so every base64 digit appears).
std::vector<uint8_t> photo_of(const PhotoCase& c)
{
    if (c.size >= 1000 && c.type != PhotoType::gif) {
        return fixture::photo_bytes(c.type == PhotoType::png ? fixture::PhotoFormat::Png : fixture::PhotoFormat::Jpeg,
                                    c.size, c.size);
    }
    static const std::map<PhotoType, std::vector<uint8_t>> kSignatures = {
        {PhotoType::jpeg, {0xFF, 0xD8, 0xFF, 0xE0}},
        {PhotoType::png, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}},
        {PhotoType::gif, {'G', 'I', 'F', '8', '9', 'a'}},
    };
    const auto& signature = kSignatures.at(c.type);
    std::vector<uint8_t> bytes(signature.begin(), signature.begin() + std::min(c.size, signature.size()));
    for (std::size_t i = bytes.size(); i < c.size; ++i) {
        bytes.push_back(static_cast<uint8_t>(i * 167 + 13));
    }
    return bytes;
}

contacts::ContactRecordPtr record_of(const PhotoCase& c, bool with_photo, int32_t number)
{
    contacts::ContactDraft draft;
    if (c.texts) {
        draft.set_text(Field::first_name, u"Photo");
        draft.set_text(Field::last_name, output_test::utf16(c.name));
        draft.set_text(Field::email, u"photo@example.com");
        draft.set_text(Field::business_street, u"Straße 1\r\nHof"); // quoted-printable before the photo
        draft.set_text(Field::body, u"Note");
    }
    if (with_photo) {
        const std::vector<uint8_t> photo = photo_of(c);
        draft.set_photo(photo, c.type);
    }
    draft.set_number(number);
    return ContactRecord::make(draft);
}

std::string hex(std::span<const uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

// ---- the pieces in memory

// A photo adds its own piece and changes nothing else: the vCard gets its PHOTO property last
// (base64 on folded lines of 54 bytes, an empty line after them), the HTML page an <img> first;
// without a photo both are what the record gives without one.
TEST(PhotoPieces, APhotoAddsItsOwnPieceAndNothingElse)
{
    const std::string end = "END:VCARD\r\n";
    for (const PhotoCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto with = record_of(c, true, 1);
        const auto without = record_of(c, false, 1);
        const std::vector<uint8_t> photo = photo_of(c);
        std::string card, plain_card, page, plain_page;
        contacts::append_vcard(*with, card);
        contacts::append_vcard(*without, plain_card);
        contacts::append_html_page(*with, page);
        contacts::append_html_page(*without, plain_page);
        if (c.size == 0) {
            EXPECT_TRUE(with->photo().empty());
            EXPECT_EQ(card, plain_card);
            EXPECT_EQ(page, plain_page);
            EXPECT_EQ(contacts::photo_data_uri(*with), "");
            EXPECT_TRUE(contacts::contact_message(*with).attachments().empty());
            continue;
        }

        // vCard: the record without a photo, with the photo's lines before END:VCARD.
        const std::size_t head = plain_card.size() - end.size();
        ASSERT_EQ(card.substr(0, head), plain_card.substr(0, head));
        ASSERT_EQ(card.substr(card.size() - end.size()), end);
        const auto lines = lines_of(card.substr(head, card.size() - end.size() - head));
        const std::size_t full = c.size / kLine, rest = c.size % kLine;
        ASSERT_EQ(lines.size(), 1 + full + (rest ? 1 : 0) + 2); // header, base64 lines, "", ""
        EXPECT_EQ(lines[0], "PHOTO;ENCODING=BASE64;TYPE=" + std::string(contacts::photo_type_name(c.type)) + ":");
        std::string base64;
        for (std::size_t i = 1; i + 2 < lines.size(); ++i) {
            const bool last = i + 3 == lines.size();
            EXPECT_EQ(lines[i].size(), 1 + (last && rest ? (rest + 2) / 3 * 4 : kLine / 3 * 4)) << i;
            EXPECT_LT(lines[i].size(), 76u);
            EXPECT_EQ(lines[i][0], ' ') << i; // folded onto the property
            base64 += lines[i].substr(1);
        }
        EXPECT_EQ(lines[lines.size() - 2], ""); // the empty line that ends the value
        EXPECT_EQ(base64.size(), contacts::base64_length(c.size));

        // HTML: the image first, the same base64 in its data URI.
        const std::string uri = contacts::photo_data_uri(*with);
        EXPECT_EQ(uri, "data:" + std::string(contacts::photo_mime_type(c.type)) + ";base64," + base64);
        EXPECT_EQ(page, "<img src=\"" + uri + "\" alt=\"Photo\">" + (plain_page.empty() ? "" : "<br>" + plain_page));
    }
}

// ---- the files, read back

class PhotoFiles : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new output_test::TempDir;
        s_store = new ContactStore;
        for (const PhotoCase& c : kCases) {
            contacts::contact_store_append(*s_store, record_of(c, true, s_store->next_number()));
        }
    }
    static void TearDownTestSuite()
    {
        delete s_store;
        delete s_dir;
    }

    // The folder of the store converted to `format`.
    static std::filesystem::path convert(Format format)
    {
        const auto into = s_dir->path() / contacts::format_info(format)->name;
        std::filesystem::create_directory(into);
        const auto result = contacts::convert_contacts(*s_store, format, into);
        EXPECT_EQ(result.outcome, contacts::ConversionOutcome::Completed) << result.reason;
        return result.folder;
    }

    static std::vector<const ContactRecord*> records()
    {
        std::vector<const ContactRecord*> out;
        for (const ContactRecord* r = s_store->first(); r; r = r->next()) {
            out.push_back(r);
        }
        return out;
    }

    static const PhotoCase& case_of(const ContactRecord& r) { return kCases[static_cast<std::size_t>(r.number() - 1)]; }

    static output_test::TempDir* s_dir;
    static ContactStore* s_store;
};

output_test::TempDir* PhotoFiles::s_dir = nullptr;
ContactStore* PhotoFiles::s_store = nullptr;

// Evolution's parser gives every photo back byte for byte with its type, and the properties of
// the card around it; the file keeps its lines under 76 characters.
TEST_F(PhotoFiles, EvolutionReadsTheVcardPhotosBack)
{
    const auto files = output_test::files_in(convert(Format::Vcf));
    ASSERT_EQ(files.size(), 1u);
    const std::string bytes = output_test::read_bytes(files[0]);
    for (std::size_t start = 0, end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        ASSERT_GT(end, start);
        EXPECT_EQ(bytes[end - 1], '\r');
        EXPECT_LT(end - start - 1, 76u);
    }
    const auto cards = nlohmann::json::parse(output_test::python_readback("evolution-photos", files));
    const auto all = records();
    ASSERT_EQ(cards.size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const PhotoCase& c = case_of(*all[i]);
        SCOPED_TRACE(c.name);
        const auto& card = cards[i];
        std::vector<std::string> names = {"VERSION", "N", "FN"};
        if (c.texts) {
            names.insert(names.end(), {"EMAIL", "ADR"});
        }
        if (c.size > 0) {
            names.push_back("PHOTO");
        }
        EXPECT_EQ(card["names"], names);
        if (c.size == 0) {
            EXPECT_TRUE(card["photo"].is_null());
            continue;
        }
        ASSERT_TRUE(card["photo"].is_object());
        EXPECT_EQ(lower(card["photo"]["mime"].get<std::string>()), contacts::photo_mime_type(c.type));
        EXPECT_EQ(card["photo"]["hex"], hex(photo_of(c)));
    }
}

// Each page's image is a data URI whose base64 decodes (strictly) to the photo; the entries after
// it are the page's entries; a page without a photo holds no image.
TEST_F(PhotoFiles, HtmlPagesCarryThePhotoAsADataUri)
{
    const auto files = output_test::files_in(convert(Format::Html));
    ASSERT_EQ(files.size(), std::size(kCases));
    std::map<std::string, const ContactRecord*> by_file;
    for (const ContactRecord* r : records()) {
        by_file[contacts::contact_file_name(*r, Format::Html)] = r;
    }
    const auto pages = nlohmann::json::parse(output_test::python_readback("html-photos", files));
    ASSERT_EQ(pages.size(), files.size());
    for (const auto& page : pages) {
        ASSERT_TRUE(by_file.count(page["file"])) << page["file"];
        const PhotoCase& c = case_of(*by_file.at(page["file"]));
        ASSERT_EQ(c.texts, !page["entries"].empty());
        SCOPED_TRACE(c.name);
        const ContactRecord& r = *by_file.at(page["file"]);
        EXPECT_EQ(page["entries"].size(),
                  std::count_if(contacts::kOutputLabels.begin(), contacts::kOutputLabels.end(),
                                [&](const contacts::OutputLabel& l) { return r.has(l.field); }));
        if (c.size == 0) {
            EXPECT_TRUE(page["images"].empty());
            continue;
        }
        ASSERT_EQ(page["images"].size(), 1u);
        EXPECT_EQ(page["images"][0]["alt"], "Photo");
        EXPECT_EQ(page["images"][0]["mime"], contacts::photo_mime_type(c.type));
        EXPECT_EQ(page["images"][0]["hex"], hex(photo_of(c)));
    }
}

// Both readers of the engine give the photos back.
constexpr engine::ReaderKind kReaders[] = {engine::ReaderKind::native, engine::ReaderKind::libpff};

// The PST file: valid for pst-check; each contact with a photo holds one contact picture
// attachment with the picture's properties and PidLidHasPicture (libpff); scanning the file gives
// the same records and photos; readpst reads every contact.
TEST_F(PhotoFiles, PstContactsHoldAContactPictureAttachment)
{
    const auto files = output_test::files_in(convert(Format::Pst));
    ASSERT_EQ(files.size(), 1u);
    const std::string path = files[0].string();
    const auto problems = pstcheck::check_file(path);
    EXPECT_TRUE(problems.empty()) << pstcheck::join(problems);
    const auto all = records();

    for (const engine::ReaderKind reader : kReaders) {
        SCOPED_TRACE(engine::reader_kind_name(reader));
        engine::ScanSession session;
        session.options.reader = reader;
        engine::ScanListener listener;
        ContactStore again;
        ASSERT_EQ(engine::scan_run(session, path, again, listener).outcome, engine::ScanOutcome::Done);
        ASSERT_EQ(again.size(), s_store->size());
        const ContactRecord* read = again.first();
        for (const ContactRecord* r : all) {
            const PhotoCase& c = case_of(*r);
            SCOPED_TRACE(c.name);
            EXPECT_EQ(read->text(Field::last_name), r->text(Field::last_name));
            EXPECT_EQ(read->text(Field::business_street), r->text(Field::business_street));
            const contacts::PhotoView photo = read->photo();
            if (c.size > 0) {
                EXPECT_EQ(photo.type, c.type);
                EXPECT_EQ(hex(photo.bytes), hex(photo_of(c)));
            } else {
                EXPECT_TRUE(photo.empty());
            }
            read = read->next();
        }
    }

    std::string why;
    auto file = pffread::File::open(path, &why);
    ASSERT_TRUE(file) << why;
    std::size_t messages = 0;
    ASSERT_TRUE(pffread::walk(*file, [&](const pffread::Item& item, const pffread::Visit& at) {
        if (at.is_folder) {
            return;
        }
        ASSERT_LT(messages, std::size(kCases));
        const PhotoCase& c = kCases[messages++];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(item.utf8(0x3A11).value_or(""), c.name);
        const auto has_picture = item.entry(0x8015); // PidLidHasPicture
        int count = -1;
        ASSERT_EQ(libpff_message_get_number_of_attachments(item.handle(), &count, nullptr), 1);
        if (c.size == 0) {
            EXPECT_EQ(count, 0);
            EXPECT_FALSE(has_picture);
            return;
        }
        ASSERT_TRUE(has_picture);
        ASSERT_TRUE(has_picture->named);
        EXPECT_EQ(has_picture->named->guid, pffread::kPsetidAddress);
        EXPECT_EQ(has_picture->data, std::vector<uint8_t>{1});
        ASSERT_EQ(count, 1);
        libpff_item_t* handle = nullptr;
        ASSERT_EQ(libpff_message_get_attachment(item.handle(), 0, &handle, nullptr), 1);
        const pffread::Item attachment(handle);
        size64_t size = 0;
        ASSERT_EQ(libpff_attachment_get_data_size(handle, &size, nullptr), 1);
        std::vector<uint8_t> bytes(size);
        ASSERT_EQ(libpff_attachment_data_read_buffer(handle, bytes.data(), bytes.size(), nullptr),
                  static_cast<ssize_t>(size));
        EXPECT_EQ(hex(bytes), hex(photo_of(c)));
        const std::string extension(contacts::photo_file_extension(c.type));
        const auto text = [&](uint32_t id) { return attachment.utf8(id).value_or("(none)"); };
        EXPECT_EQ(text(0x3703), extension); // PidTagAttachExtension
        EXPECT_EQ(text(0x3704), "ContactPicture" + extension);
        EXPECT_EQ(text(0x3707), "ContactPicture" + extension);
        EXPECT_EQ(text(0x370E), contacts::photo_mime_type(c.type));
        const auto value = [&](uint32_t id) { return attachment.entry(id).value_or(pffread::Entry{}).data; };
        EXPECT_EQ(value(0x7FFF), std::vector<uint8_t>{1});                        // contact photo
        EXPECT_EQ(value(0x7FFE), std::vector<uint8_t>{1});                        // hidden
        EXPECT_EQ(value(0x3705), (std::vector<uint8_t>{1, 0, 0, 0}));             // by value
        EXPECT_EQ(value(0x370B), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF})); // rendering position -1
    }));
    EXPECT_EQ(messages, all.size());

    if (std::string(READPST).empty()) {
        GTEST_SKIP() << "readpst is not installed";
    }
    int status = 0;
    std::string said;
    const std::size_t count = output_test::readpst_vcards(READPST, path, &status, &said);
    ASSERT_EQ(status, 0) << said;
    EXPECT_EQ(count, std::count_if(std::begin(kCases), std::end(kCases), [](const PhotoCase& c) { return c.texts; }));
}

} // namespace

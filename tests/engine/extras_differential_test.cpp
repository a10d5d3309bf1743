// Beyond the live folders, both readers side by side: files our writer makes at test time (with
// photos, orphans, deleted contacts, ANSI, all of them together) go through engine::scan_run with
// our reader and with libpff. The live contacts and the orphans must be the same, in the same
// order, photos included (bytes and type, and the bytes the file was written with); our reader
// must find every deleted contact, libpff a part of them at most; no recovered contact may equal
// a live one; with recovery off each reader gives exactly its live list. A table of attachments
// pins down which one becomes the photo, and files whose free-space blocks are damaged must scan
// without a crash and without changing the live list.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "contacts/contact_store.h"
#include "contacts/text.h"
#include "engine/scan_run.h"
#include "fixture/fixture.h"
#include "outcome.h"
#include "pst/recovery.h"
#include "test_files.h"

namespace {

using contacts::ContactRecord;
using contacts::Field;
using contacts::Origin;
using contacts::PhotoType;
using pst_test::outcome;
using testfiles::json;

constexpr engine::ReaderKind kReaders[] = {engine::ReaderKind::native, engine::ReaderKind::libpff};

std::string utf8(std::u16string_view s)
{
    return contacts::utf16_to_utf8(s);
}

std::string text(const ContactRecord& r, Field f)
{
    return utf8(r.text_or_empty(f));
}

std::string photo_key(const contacts::PhotoView& photo)
{
    return std::string(photo.bytes.begin(), photo.bytes.end());
}

// A contact's values as one text (origin aside): every field, present or not, the gender and
// the photo's type and size. Photo bytes are compared on their own (long texts make poor
// failure messages).
std::string describe(const ContactRecord& r)
{
    std::string out;
    for (const auto& info : contacts::kFieldTable) {
        const auto value = r.text(info.field);
        out += info.name;
        if (value) {
            out += '=';
            out += utf8(*value);
        } else {
            out += " absent";
        }
        out += '\n';
    }
    out += "gender=" + std::to_string(r.gender()) + "\nphoto=";
    out += std::string(contacts::photo_type_name(r.photo().type)) + " " + std::to_string(r.photo().bytes.size());
    return out;
}

struct Contact
{
    std::string values;     // describe()
    std::string first_name; // "Deleted 7", "Orphan 2", ...
    std::string customer_id;
    std::string photo; // the photo's bytes
    PhotoType photo_type = PhotoType::none;
};

struct Scan
{
    engine::ScanResult result;
    std::vector<Contact> live, orphans, recovered;
};

Scan scan(const std::string& path, engine::ReaderKind reader, bool recovery)
{
    Scan out;
    contacts::ContactStore store; // outlives the session, whose handles refer to it
    engine::ScanSession session;
    session.options.reader = reader;
    session.options.recovery = recovery;
    session.options.offline = true; // the 4 KiB-page cases are offline folder files
    engine::ScanListener listener;
    out.result = engine::scan_run(session, path, store, listener);
    for (const ContactRecord* r = store.first(); r != nullptr; r = r->next()) {
        Contact c{describe(*r), text(*r, Field::first_name), text(*r, Field::customer_id), photo_key(r->photo()),
                  r->photo().type};
        switch (r->origin()) {
        case Origin::live:
            out.live.push_back(std::move(c));
            break;
        case Origin::orphan:
            out.orphans.push_back(std::move(c));
            break;
        case Origin::recovered:
            out.recovered.push_back(std::move(c));
            break;
        case Origin::autocomplete:
        case Origin::recipient_cache:
        case Origin::correspondent:
            ADD_FAILURE() << "a card of another source in a scan of the contacts alone";
            break;
        }
    }
    return out;
}

std::vector<std::string> values_of(const std::vector<Contact>& list)
{
    std::vector<std::string> out;
    for (const Contact& c : list) {
        out.push_back(c.values);
    }
    return out;
}

std::set<std::string> names_of(const std::vector<Contact>& list)
{
    std::set<std::string> out;
    for (const Contact& c : list) {
        out.insert(c.first_name);
    }
    return out;
}

std::set<std::string> numbered(const std::string& prefix, int count)
{
    std::set<std::string> out;
    for (int i = 1; i <= count; ++i) {
        out.insert(prefix + std::to_string(i));
    }
    return out;
}

// The photo bytes each live contact was written with, by customer id.
std::map<std::string, std::string> planned_photos(const fixture::ContactsOptions& options)
{
    std::map<std::string, std::string> out;
    const fixture::Plan plan = fixture::plan_contacts(options);
    for (const fixture::PlannedMessage& m : plan.messages) {
        const std::optional<std::string> id = fixture::text_of(m.message, 0x3A4A);
        if (m.fate != fixture::Fate::Live || !id || m.message.attachments().empty()) {
            continue;
        }
        for (const pst::Property& p : m.message.attachments().front().properties) {
            if (p.name.kind == pst::PropertyName::Kind::Id && p.name.id == 0x3701) {
                const auto& bytes = std::get<std::vector<uint8_t>>(p.value.value);
                out[*id] = std::string(bytes.begin(), bytes.end());
            }
        }
    }
    return out;
}

// What both readers must agree on for one file.
void check_file(const std::string& path, const fixture::ContactsOptions& options, bool libpff_recovers_all)
{
    const auto photos = planned_photos(options);
    ASSERT_EQ(photos.size(), static_cast<size_t>(options.photos));
    std::map<engine::ReaderKind, Scan> full;
    for (const engine::ReaderKind reader : kReaders) {
        SCOPED_TRACE(engine::reader_kind_name(reader));
        const Scan on = scan(path, reader, true);
        const Scan off = scan(path, reader, false);
        ASSERT_EQ(on.result.outcome, engine::ScanOutcome::Done);
        ASSERT_EQ(off.result.outcome, engine::ScanOutcome::Done);
        EXPECT_FALSE(on.result.recovery_failed);

        // Recovery never changes the live list; off, nothing else comes.
        EXPECT_EQ(values_of(off.live), values_of(on.live));
        EXPECT_TRUE(off.orphans.empty() && off.recovered.empty());
        EXPECT_EQ(off.result.orphans + off.result.recovered, 0);
        EXPECT_EQ(on.result.orphans, static_cast<int32_t>(on.orphans.size()));
        EXPECT_EQ(on.result.recovered, static_cast<int32_t>(on.recovered.size()));
        EXPECT_EQ(on.live.size(), static_cast<size_t>(options.contacts));

        // Photos: the ones written, on the contacts they were written on.
        size_t with_photo = 0;
        for (const Contact& c : on.live) {
            const auto it = photos.find(c.customer_id);
            if (it == photos.end()) {
                EXPECT_TRUE(c.photo.empty()) << c.customer_id;
                continue;
            }
            ++with_photo;
            EXPECT_TRUE(c.photo == it->second) << c.customer_id << ": " << c.photo.size() << " bytes";
            const auto* bytes = reinterpret_cast<const uint8_t*>(it->second.data());
            EXPECT_EQ(c.photo_type, contacts::photo_type_from_magic({bytes, it->second.size()})) << c.customer_id;
        }
        EXPECT_EQ(with_photo, photos.size());

        // Orphans: each one once, and the deleted contacts among what is recovered.
        EXPECT_EQ(names_of(on.orphans), numbered("Orphan ", options.orphans));
        EXPECT_EQ(on.orphans.size(), static_cast<size_t>(options.orphans));
        const std::set<std::string> deleted = numbered("Deleted ", options.deleted);
        const std::set<std::string> recovered = names_of(on.recovered);
        EXPECT_EQ(recovered.size(), on.recovered.size()) << "a deleted contact came twice";
        if (reader == engine::ReaderKind::native || libpff_recovers_all) {
            EXPECT_EQ(recovered, deleted);
        } else {
            EXPECT_TRUE(std::includes(deleted.begin(), deleted.end(), recovered.begin(), recovered.end()));
        }
        const std::vector<std::string> live = values_of(on.live);
        const std::set<std::string> live_values(live.begin(), live.end());
        for (const Contact& c : on.recovered) {
            EXPECT_EQ(live_values.count(c.values), 0u) << c.first_name << " equals a live contact";
        }
        full.emplace(reader, on);
    }
    const Scan& ours = full.at(engine::ReaderKind::native);
    const Scan& theirs = full.at(engine::ReaderKind::libpff);
    EXPECT_EQ(values_of(ours.live), values_of(theirs.live));
    EXPECT_EQ(values_of(ours.orphans), values_of(theirs.orphans));
    for (size_t i = 0; i < std::min(ours.live.size(), theirs.live.size()); ++i) {
        EXPECT_TRUE(ours.live[i].photo == theirs.live[i].photo) << ours.live[i].customer_id;
    }
    // What libpff recovers, our reader recovers too.
    const std::set<std::string> ours_recovered = names_of(ours.recovered);
    for (const Contact& c : theirs.recovered) {
        EXPECT_EQ(ours_recovered.count(c.first_name), 1u) << c.first_name;
    }
}

struct FileCase
{
    const char* name;
    int contacts, folders, other, seed, deleted;
    bool deleted_index;
    int orphans, photos;
    pst::FileFormat format;
    pst::BlockEncoding encoding;
    // libpff recovers deleted items only through superseded B-tree leaf pages.
    bool libpff_recovers_all;
    bool compressed_ost = false; // Unicode4k: compressed blocks, content type "SO"

    fixture::ContactsOptions options() const
    {
        fixture::ContactsOptions o = fixture::ContactsOptions::of(contacts, folders, other, seed);
        o.deleted = deleted;
        o.deleted_index = deleted_index;
        o.orphans = orphans;
        o.photos = photos;
        o.format = format;
        o.encoding = encoding;
        o.compress = compressed_ost;
        o.offline = compressed_ost;
        o.text.codepage = format == pst::FileFormat::Ansi ? 1252 : 0; // an ANSI file's texts are 8-bit
        return o;
    }
};

constexpr auto kUnicode = pst::FileFormat::Unicode;
constexpr auto kAnsi = pst::FileFormat::Ansi;
constexpr auto kPlainBlocks = pst::BlockEncoding::None;
constexpr auto kPermuted = pst::BlockEncoding::Permute;
constexpr auto kUnicode4k = pst::FileFormat::Unicode4k;

const FileCase kFileCases[] = {
    // name               contacts folders other seed deleted index orphans photos
    {"plain", 80, 3, 0, 2, 0, false, 0, 0, kUnicode, kPlainBlocks, false},
    {"photos", 80, 3, 0, 3, 0, false, 0, 12, kUnicode, kPlainBlocks, false},
    {"orphans", 80, 3, 0, 4, 0, false, 7, 0, kUnicode, kPlainBlocks, false},
    {"deleted", 80, 3, 0, 5, 25, false, 0, 0, kUnicode, kPlainBlocks, false},
    {"deleted_index", 80, 3, 0, 6, 25, true, 0, 0, kUnicode, kPlainBlocks, true},
    {"ansi", 80, 3, 0, 7, 10, true, 4, 5, kAnsi, kPlainBlocks, true},
    {"everything_permuted", 300, 6, 30, 8, 40, true, 9, 20, kUnicode, kPermuted, true},
    // Free space, orphans and photos of offline folder files with 4 KiB pages and compressed blocks
    // (libpff 20180714 finds 22 of the 25 deleted contacts of the first through the superseded
    // pages; the rest of what it finds our reader finds too).
    {"four_k_compressed_ost", 80, 3, 0, 9, 25, true, 5, 6, kUnicode4k, kPlainBlocks, false, true},
    {"four_k_cyclic_ost", 80, 3, 10, 10, 10, false, 3, 4, kUnicode4k, pst::BlockEncoding::Cyclic, false, true},
};

TEST(ExtrasDifferential, BothReadersAgreeBeyondTheLiveFolders)
{
    testfiles::TempDir dir;
    for (const FileCase& c : kFileCases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".pst");
        const pst::Status written = fixture::write_contacts(path, c.options());
        ASSERT_TRUE(written.ok) << written.message;
        check_file(path, c.options(), c.libpff_recovers_all);
    }
}

// ---------------------------------------------------------------------------------------------
// Which attachment becomes the photo, and its type: the first one marked as the contact photo
// whose PT_BINARY data has bytes; the type from the bytes, else the MIME tag, else the
// extension, else the long file name's, else the short file name's.

const std::string kPlain = "6e6f7420616e20696d616765"; // "not an image"
const std::string kGif = "474946383961010001000000";   // "GIF89a" ...
const std::string kPng = "89504e470d0a1a0a00000000";
const std::string kJpeg = "ffd8ffe000104a4649460000";

json flag(bool on)
{
    return testfiles::prop(0x7FFF, "bool", on);
}
json data(const std::string& hex)
{
    return testfiles::raw(0x3701, 0x0102, hex);
}
json string8(uint32_t tag, const std::string& value)
{
    return testfiles::prop(tag, "string8", value);
}
json attachment(json props)
{
    return {{"props", std::move(props)}};
}

struct PhotoCase
{
    const char* name;
    json attachments;
    PhotoType type;    // none: no photo
    std::string bytes; // hex
};

std::vector<PhotoCase> photo_cases()
{
    using testfiles::unicode;
    return {
        {"NoAttachment", json::array(), PhotoType::none, ""},
        {"Unflagged", json::array({attachment({flag(false), data(kGif)})}), PhotoType::none, ""},
        {"NoFlag", json::array({attachment({data(kGif)})}), PhotoType::none, ""},
        {"NoData", json::array({attachment({flag(true), string8(0x370E, "image/gif")})}), PhotoType::none, ""},
        {"EmptyData", json::array({attachment({flag(true), data("")})}), PhotoType::none, ""},
        {"DataNotBinary", json::array({attachment({flag(true), testfiles::raw(0x3701, 0x001F, "4700490046003800")})}),
         PhotoType::none, ""},
        {"SecondMarked", json::array({attachment({flag(false), data(kJpeg)}), attachment({flag(true), data(kGif)})}),
         PhotoType::gif, kGif},
        {"EmptyThenGood", json::array({attachment({flag(true), data("")}), attachment({flag(true), data(kPng)})}),
         PhotoType::png, kPng},
        // The first marked one with bytes is the photo even when its type is unknown.
        {"UnknownTypeFirst",
         json::array({attachment({flag(true), data(kPlain)}), attachment({flag(true), data(kGif)})}), PhotoType::none,
         ""},
        {"MagicFirst", json::array({attachment({flag(true), data(kJpeg), string8(0x370E, "image/png")})}),
         PhotoType::jpeg, kJpeg},
        {"Mime8Bit", json::array({attachment({flag(true), data(kPlain), string8(0x370E, "image/png")})}),
         PhotoType::png, kPlain},
        {"MimeUnicode", json::array({attachment({flag(true), data(kPlain), unicode(0x370E, "image/gif")})}),
         PhotoType::gif, kPlain},
        {"ExtensionBeforeNames",
         json::array({attachment({flag(true), data(kPlain), unicode(0x3703, ".gif"), unicode(0x3707, "a.png")})}),
         PhotoType::gif, kPlain},
        {"LongName",
         json::array({attachment(
             {flag(true), data(kPlain), unicode(0x3707, "photo.final.png"), string8(0x3704, "PHOTO.GIF")})}),
         PhotoType::png, kPlain},
        {"ShortName", json::array({attachment({flag(true), data(kPlain), string8(0x3704, "PHOTO.GIF")})}),
         PhotoType::gif, kPlain},
        {"NameWithoutDot", json::array({attachment({flag(true), data(kPlain), unicode(0x3707, "picture")})}),
         PhotoType::none, ""},
    };
}

std::string unhex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

TEST(ExtrasDifferential, ContactPhotoIsTheFirstMarkedAttachmentWithBytes)
{
    const std::vector<PhotoCase> cases = photo_cases();
    json messages = json::array();
    for (const PhotoCase& c : cases) {
        json m = testfiles::message("IPM.Contact", json::array({testfiles::unicode(0x3A06, c.name)}));
        m["attachments"] = c.attachments;
        messages.push_back(std::move(m));
    }
    testfiles::TempDir dir;
    const std::string path =
        testfiles::write_pst(dir, "photos.pst", {{"folders", json::array({testfiles::folder("Contacts", messages)})}});
    for (const engine::ReaderKind reader : kReaders) {
        SCOPED_TRACE(engine::reader_kind_name(reader));
        const Scan s = scan(path, reader, true);
        ASSERT_EQ(s.result.outcome, engine::ScanOutcome::Done);
        ASSERT_EQ(s.live.size(), cases.size());
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(cases[i].name);
            EXPECT_EQ(s.live[i].first_name, cases[i].name);
            EXPECT_EQ(s.live[i].photo_type, cases[i].type);
            EXPECT_TRUE(s.live[i].photo == unhex(cases[i].bytes)) << s.live[i].photo.size() << " bytes";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Damaged free space: the blocks of deleted contacts (found through our recovery scan of the
// intact file) overwritten or cut off. Neither reader may crash; where only free space changed,
// the live list stays as it was and our reader recovers nothing that was not there.

using Damage = void (*)(std::string& file, const std::vector<pst::read::RecoveredItem>& items);

void overwrite(std::string& file, uint64_t at, size_t count, char byte)
{
    for (uint64_t i = at; i < at + count && i < file.size(); ++i) {
        file[i] = byte;
    }
}

struct DamageCase
{
    const char* name;
    Damage damage;
    bool free_space_only; // only bytes of free space change
};

const DamageCase kDamageCases[] = {
    {"heap headers zeroed",
     [](std::string& f, const auto& items) {
         for (const auto& it : items) {
             overwrite(f, it.offset, 16, '\0');
         }
     },
     true},
    {"heap middles overwritten",
     [](std::string& f, const auto& items) {
         for (const auto& it : items) {
             overwrite(f, it.offset + it.size / 2, 48, '\xA5');
         }
     },
     true},
    {"page maps pointed past the heap",
     [](std::string& f, const auto& items) {
         for (const auto& it : items) {
             overwrite(f, it.offset, 2, '\xFF');
         }
     },
     true},
    {"every other byte flipped",
     [](std::string& f, const auto& items) {
         for (const auto& it : items) {
             for (uint64_t i = it.offset; i < it.offset + it.size && i < f.size(); i += 2) {
                 f[i] = static_cast<char>(f[i] ^ 0x5A);
             }
         }
     },
     true},
    {"cut inside the last deleted block",
     [](std::string& f, const auto& items) { f.resize(std::min<uint64_t>(f.size(), items.back().offset + 40)); },
     false},
    {"cut inside the first deleted block",
     [](std::string& f, const auto& items) { f.resize(std::min<uint64_t>(f.size(), items.front().offset + 40)); },
     false},
};

std::vector<pst::read::RecoveredItem> deleted_blocks(const std::string& path)
{
    std::string why;
    pst::Status opened;
    auto file = pst::read::File::open(path, &opened);
    EXPECT_TRUE(file) << opened.message;
    if (!file) {
        return {};
    }
    pst::read::Recovery recovery(*file);
    pst::read::RecoveryResult found;
    EXPECT_EQ(outcome(recovery.scan({}, &found), &why), 1) << why;
    return found.items;
}

TEST(ExtrasDifferential, DamagedFreeSpaceNeitherCrashesNorChangesTheLiveList)
{
    testfiles::TempDir dir;
    fixture::ContactsOptions options = fixture::ContactsOptions::of(60, 2, 0, 9);
    options.deleted = 20;
    options.deleted_index = true;
    options.orphans = 3;
    const std::string intact_path = dir.file("intact.pst");
    ASSERT_TRUE(fixture::write_contacts(intact_path, options).ok);
    const std::vector<pst::read::RecoveredItem> items = deleted_blocks(intact_path);
    ASSERT_EQ(items.size(), 20u);
    const std::string intact = testfiles::read_bytes(intact_path);
    const std::vector<std::string> live = values_of(scan(intact_path, engine::ReaderKind::native, false).live);
    ASSERT_EQ(live.size(), 60u);
    const std::set<std::string> deleted = numbered("Deleted ", options.deleted);

    for (const DamageCase& c : kDamageCases) {
        SCOPED_TRACE(c.name);
        std::string bytes = intact;
        c.damage(bytes, items);
        ASSERT_NE(bytes, intact);
        const std::string path = dir.file("damaged.pst");
        testfiles::write_bytes(path, bytes);
        for (const engine::ReaderKind reader : kReaders) {
            SCOPED_TRACE(engine::reader_kind_name(reader));
            const Scan s = scan(path, reader, true);
            if (!c.free_space_only) {
                // Deleted blocks lie between live ones: a cut file loses live contacts too.
                if (s.result.outcome == engine::ScanOutcome::Done) {
                    EXPECT_LE(s.live.size(), live.size());
                }
                continue;
            }
            ASSERT_EQ(s.result.outcome, engine::ScanOutcome::Done);
            EXPECT_EQ(values_of(s.live), live);
            EXPECT_EQ(names_of(s.orphans), numbered("Orphan ", options.orphans));
            if (reader == engine::ReaderKind::native) {
                const std::set<std::string> found = names_of(s.recovered);
                EXPECT_TRUE(std::includes(deleted.begin(), deleted.end(), found.begin(), found.end()));
            }
        }
    }
}

} // namespace

// A stop while libpff searches free space ends the search: the call returns as stopped, and
// nothing is visited once go_on() has said no. (libpff needs more than a second for this file,
// so the stop usually comes while its search runs; either way the outcome is the same.)
TEST(ExtrasDifferential, StopEndsLibpffsSearch)
{
    testfiles::TempDir dir;
    fixture::ContactsOptions options = fixture::ContactsOptions::of(100, 1, 0, 10);
    options.deleted = 3000;
    options.deleted_index = true;
    const std::string path = dir.file("many-deleted.pst");
    ASSERT_TRUE(fixture::write_contacts(path, options).ok);
    engine::SourceOptions source_options;
    source_options.reader = engine::ReaderKind::libpff;
    std::string why;
    pst::Status opened;
    const auto source = engine::PstSource::open(path, source_options, &opened);
    ASSERT_TRUE(source) << opened.message;
    int asked = 0;
    bool said_no = false;
    int visited_after_no = 0;
    const auto go_on = [&] {
        said_no = said_no || ++asked > 1; // yes before the search, no from then on
        return !said_no;
    };
    const auto visit = [&](engine::PstItem&, engine::ExtraOrigin) {
        visited_after_no += said_no ? 1 : 0;
        return true;
    };
    EXPECT_EQ(outcome(source->for_each_extra_item(visit, go_on)), 1);
    EXPECT_TRUE(said_no);
    EXPECT_EQ(visited_after_no, 0);
}

// The writers of the five formats over OutputFiles.
#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "contacts/output_writers.h"
#include "contacts/text.h"
#include "pst/writer.h"

namespace contacts {

namespace {

using Piece = void (*)(const ContactRecord&, std::string&);

// How a text format lays out its bytes.
struct TextLayout
{
    Format format;
    bool bom;
    void (*header)(std::string&); // once at the start of a one-file format
    Piece piece;                  // one contact
};

void no_header(std::string&) {}

constexpr TextLayout kLayouts[] = {
    {Format::Vcf, false, no_header, append_vcard},
    {Format::Csv, true, append_csv_header, append_csv_row},
    {Format::Txt, true, no_header, append_text_page},
    {Format::Html, true, no_header, append_html_page},
};

const TextLayout* layout_of(Format format)
{
    for (const auto& l : kLayouts) {
        if (l.format == format) {
            return &l;
        }
    }
    return nullptr;
}

// CSV and vCard: every contact into one file.
class OneFileWriter : public ContactWriter
{
public:
    OneFileWriter(const TextLayout& layout, std::unique_ptr<ByteSink> sink) : m_layout(layout), m_sink(std::move(sink))
    {
    }

    pst::Status start()
    {
        std::string bytes;
        if (m_layout.bom) {
            bytes += kUtf8Bom;
        }
        m_layout.header(bytes);
        return m_sink->write(bytes);
    }

    pst::Status add(const ContactRecord& record) override
    {
        m_bytes.clear();
        m_layout.piece(record, m_bytes);
        return m_sink->write(m_bytes);
    }

    pst::Status finish() override { return m_sink->close(); }

private:
    const TextLayout& m_layout;
    std::unique_ptr<ByteSink> m_sink;
    std::string m_bytes; // reused per contact
};

// A UID written in a file, as the 16 bytes that its 32 hex digits spell (every UID here is of
// identity_uid's form): a key that costs no string of its own.
struct UidKey
{
    uint64_t high = 0;
    uint64_t low = 0;
    bool operator==(const UidKey&) const = default;
};
// The UIDs written so far: open addressing over a power-of-two table, grown at half full (one
// allocation per doubling instead of one per UID).
class UidSet
{
public:
    // Adds `key`; false when it is there already.
    bool insert(const UidKey& key)
    {
        if (2 * (m_count + 1) > m_slots.size()) {
            grow();
        }
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            if (!m_used[i]) {
                m_slots[i] = key;
                m_used[i] = 1;
                ++m_count;
                return true;
            }
            if (m_slots[i] == key) {
                return false;
            }
        }
    }

private:
    static std::size_t hash(const UidKey& k)
    {
        uint64_t h = k.high ^ (k.low * 0x9E3779B97F4A7C15ull);
        h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDull;
        return static_cast<std::size_t>(h ^ (h >> 33));
    }

    void grow()
    {
        std::vector<UidKey> slots = std::move(m_slots);
        std::vector<uint8_t> used = std::move(m_used);
        m_slots.assign(std::max<std::size_t>(64, 2 * slots.size()), UidKey{});
        m_used.assign(m_slots.size(), 0);
        m_count = 0;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (used[i]) {
                insert(slots[i]);
            }
        }
    }

    std::vector<UidKey> m_slots;
    std::vector<uint8_t> m_used;
    std::size_t m_count = 0;
};

UidKey uid_key(std::string_view uid)
{
    UidKey key;
    int digits = 0;
    for (const char c : uid) {
        const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value >= 0) {
            uint64_t& half = digits++ < 16 ? key.high : key.low;
            half = half << 4 | static_cast<uint64_t>(value);
        }
    }
    return key;
}

// vCard 3.0 / 4.0 and the importers' CSV layouts: every contact into one file.
class ChosenFileWriter : public ContactWriter
{
public:
    ChosenFileWriter(Format format, const OutputChoices& choices, const ExchangeMap* exchange,
                     const ContactGroups* groups, std::unique_ptr<ByteSink> sink)
        : m_format(format), m_choices(choices), m_exchange(exchange), m_groups(groups), m_sink(std::move(sink))
    {
        if (m_groups == nullptr) {
            return;
        }
        // The CSV layouts name a contact's groups in its own row.
        for (const ContactGroup& group : m_groups->groups) {
            for (const GroupMember& member : group.members) {
                if (member.contact != nullptr) {
                    m_groups_of[member.contact].push_back(group.name);
                }
            }
        }
    }

    pst::Status start()
    {
        if (m_format != Format::Csv) {
            return pst::Status::success(); // vCards carry no byte-order mark
        }
        std::string bytes(kUtf8Bom);
        append_csv_header(m_choices.csv, bytes);
        return m_sink->write(bytes);
    }

    pst::Status add(const ContactRecord& record) override
    {
        m_bytes.clear();
        const ContactEmails emails = contact_emails(record, m_exchange);
        m_left_out += emails.left_out;
        if (m_format == Format::Csv) {
            const auto groups = m_groups_of.find(&record);
            append_csv_row(record, m_choices.csv, emails,
                           groups == m_groups_of.end() ? std::span<const std::u16string_view>()
                                                       : std::span<const std::u16string_view>(groups->second),
                           m_bytes);
        } else {
            std::string uid = unique_uid(record);
            append_vcard(record, m_choices.vcard, uid, emails, m_bytes);
            if (m_groups != nullptr && !m_groups->groups.empty()) {
                m_uid_of.emplace(&record, std::move(uid));
            }
        }
        return m_sink->write(m_bytes);
    }

    pst::Status finish() override
    {
        if (m_groups != nullptr) {
            m_bytes.clear();
            if (m_format == Format::Vcf) {
                group_cards();
            } else if (m_choices.csv == CsvLayout::google) {
                one_off_rows();
            } else {
                m_written_groups = static_cast<int64_t>(m_groups->groups.size());
            }
            if (const pst::Status s = m_sink->write(m_bytes); !s) {
                return s;
            }
        }
        return m_sink->close();
    }
    int64_t exchange_left_out() const override { return m_left_out; }
    int64_t groups_written() const override { return m_written_groups; }

private:
    // After the contacts, a card per group whose members are the contacts of this file, the
    // groups of the file and its one-off addresses.
    void group_cards()
    {
        std::vector<std::string> uids;
        for (std::size_t i = 0; i < m_groups->groups.size(); ++i) {
            uids.push_back(unique_uid_of(identity_uid(m_groups->groups[i].identity, 0x80000000u + uint32_t(i))));
        }
        std::vector<std::string> members;
        for (std::size_t i = 0; i < m_groups->groups.size(); ++i) {
            members.clear();
            std::u16string_view first_address; // a group without a name is named by it
            for (const GroupMember& member : m_groups->groups[i].members) {
                if (member.contact != nullptr) {
                    if (const auto uid = m_uid_of.find(member.contact); uid != m_uid_of.end()) {
                        members.push_back("urn:uuid:" + uid->second);
                    }
                    if (first_address.empty()) {
                        first_address = first_of(contact_emails(*member.contact, m_exchange).address);
                    }
                } else if (member.group >= 0) {
                    members.push_back("urn:uuid:" + uids[static_cast<std::size_t>(member.group)]);
                } else {
                    std::string address = "mailto:";
                    utf16_to_utf8_uri(member.address, address);
                    members.push_back(std::move(address));
                    if (first_address.empty()) {
                        first_address = member.address;
                    }
                }
            }
            append_group_vcard(m_groups->groups[i], m_choices.vcard, uids[i], members, first_address, m_bytes);
        }
        m_written_groups = static_cast<int64_t>(m_groups->groups.size());
    }

    // The first address that is not empty; empty when none is.
    static std::u16string_view first_of(const std::array<std::u16string_view, 3>& addresses)
    {
        for (const std::u16string_view address : addresses) {
            if (!address.empty()) {
                return address;
            }
        }
        return {};
    }

    // Google: a one-off member is a row of its own, its group among its labels.
    void one_off_rows()
    {
        ContactDraft draft;
        for (const ContactGroup& group : m_groups->groups) {
            const std::u16string_view name = group.name;
            for (const GroupMember& member : group.members) {
                if (member.contact != nullptr || member.group >= 0) {
                    continue;
                }
                draft.reset();
                draft.set_text(Field::full_name, member.name);
                draft.set_text(Field::email, member.address);
                const ContactRecordPtr row = ContactRecord::make(draft);
                if (row) {
                    append_csv_row(*row, CsvLayout::google, contact_emails(*row, nullptr),
                                   std::span<const std::u16string_view>(&name, 1), m_bytes);
                }
            }
        }
        m_written_groups = static_cast<int64_t>(m_groups->groups.size());
    }

    static void utf16_to_utf8_uri(std::u16string_view text, std::string& out)
    {
        for (const char c : utf16_to_utf8(text)) {
            if (c == ',' || c == ';' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                out += hex;
            } else {
                out.push_back(c);
            }
        }
    }

    std::string unique_uid_of(std::string uid)
    {
        for (uint32_t extra = 0; !m_uids.insert(uid_key(uid)); ++extra) {
            char tail[16];
            std::snprintf(tail, sizeof tail, "%08x", 0x80000000u + extra);
            uid.replace(uid.size() - 8, 8, tail);
        }
        return uid;
    }

    // The contact's UID, or, when an earlier contact of the file has it (a deleted copy of a
    // live contact keeps its search key), one with the contact's number in its last part.
    std::string unique_uid(const ContactRecord& record)
    {
        std::string uid = contact_uid(record);
        for (uint32_t extra = 0; !m_uids.insert(uid_key(uid)); ++extra) {
            char tail[16];
            std::snprintf(tail, sizeof tail, "%08x", static_cast<uint32_t>(record.number()) + extra);
            uid.replace(uid.size() - 8, 8, tail);
        }
        return uid;
    }

    Format m_format;
    OutputChoices m_choices;
    const ExchangeMap* m_exchange;
    const ContactGroups* m_groups;
    std::unique_ptr<ByteSink> m_sink;
    int64_t m_left_out = 0;
    int64_t m_written_groups = 0;
    std::unordered_map<const ContactRecord*, std::vector<std::u16string_view>> m_groups_of;
    std::unordered_map<const ContactRecord*, std::string> m_uid_of;
    std::string m_bytes;
    UidSet m_uids;
};

// Text and HTML: one file per contact.
class FilePerContactWriter : public ContactWriter
{
public:
    FilePerContactWriter(const TextLayout& layout, OutputFiles& files) : m_layout(layout), m_files(files) {}

    pst::Status add(const ContactRecord& record) override
    {
        pst::Status why;
        auto sink = m_files.create(contact_file_name(record, m_layout.format), &why);
        if (!sink) {
            return why;
        }
        m_bytes.assign(m_layout.bom ? kUtf8Bom : "");
        m_layout.piece(record, m_bytes);
        if (why = sink->write(m_bytes); !why) {
            return why;
        }
        return sink->close();
    }

    pst::Status finish() override { return pst::Status::success(); }

private:
    const TextLayout& m_layout;
    OutputFiles& m_files;
    std::string m_bytes;
};

// PST: a "Contacts" folder under "Top of Personal Folders" with one message per contact.
class PstWriter : public ContactWriter
{
public:
    explicit PstWriter(std::unique_ptr<pst::Writer> writer) : m_writer(std::move(writer))
    {
        m_folder = m_writer->add_folder(m_writer->top_of_personal_folders(), u"Contacts", u"IPF.Contact");
    }

    bool ready() const { return m_folder != 0; }

    pst::Status add(const ContactRecord& record) override
    {
        return from(m_writer->add_message(m_folder, contact_message(record))); // moved, not copied
    }

    pst::Status finish() override { return from(m_writer->finish()); }

private:
    static pst::Status from(const pst::Status& s)
    {
        return s ? pst::Status::success() : pst::Status::failure(s.message);
    }

    std::unique_ptr<pst::Writer> m_writer;
    pst::FolderId m_folder = 0;
};

std::unique_ptr<ContactWriter> make_pst_writer(OutputFiles& files, const FormatInfo& info, pst::Status* why)
{
    auto pst = files.create_pst(info.file_name, why);
    if (!pst) {
        return nullptr;
    }
    auto writer = std::make_unique<PstWriter>(std::move(pst));
    if (!writer->ready()) {
        *why = pst::Status::failure(std::string(info.file_name) + ": the contacts folder cannot be made");
        return nullptr;
    }
    return writer;
}

} // namespace

const ChoiceInfo<VcardVersion>* vcard_version_by_name(std::string_view name) noexcept
{
    for (const auto& v : kVcardVersions) {
        if (name == v.name) {
            return &v;
        }
    }
    return nullptr;
}

const ChoiceInfo<CsvLayout>* csv_layout_by_name(std::string_view name) noexcept
{
    for (const auto& l : kCsvLayouts) {
        if (name == l.name) {
            return &l;
        }
    }
    return nullptr;
}

std::unique_ptr<ContactWriter> make_contact_writer(Format format, OutputFiles& files, pst::Status* why,
                                                   const OutputChoices& choices, const ExchangeMap* exchange,
                                                   const ContactGroups* groups)
{
    const FormatInfo* info = format_info(format);
    if (!info) {
        *why = pst::Status::failure("unknown output format " + std::to_string(static_cast<int>(format)));
        return nullptr;
    }
    if (format == Format::Pst) {
        return make_pst_writer(files, *info, why);
    }
    if (writes_for_importers(format, choices)) {
        auto sink = files.create(info->file_name, why);
        if (!sink) {
            return nullptr;
        }
        auto writer = std::make_unique<ChosenFileWriter>(format, choices, exchange, groups, std::move(sink));
        if (*why = writer->start(); !*why) {
            return nullptr;
        }
        return writer;
    }
    const TextLayout& layout = *layout_of(format);
    if (!info->file_name) {
        return std::make_unique<FilePerContactWriter>(layout, files);
    }
    auto sink = files.create(info->file_name, why);
    if (!sink) {
        return nullptr;
    }
    auto writer = std::make_unique<OneFileWriter>(layout, std::move(sink));
    if (*why = writer->start(); !*why) {
        return nullptr;
    }
    return writer;
}

} // namespace contacts

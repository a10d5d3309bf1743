// The five output formats of a conversion: PST, vCard, CSV, text and HTML.
//
// Every writer reads the field table (contact_record.h) for its labels, captions and property
// tags. Writers put their bytes into ByteSinks that an OutputFiles hands out, so tests write into
// memory and a sink that fails proves that a full disk is reported, never hidden.
//
//   DirectoryOutput files(folder);
//   pst::Status why;
//   auto writer = make_contact_writer(Format::Csv, files, &why);   // nullptr and `why` on failure
//   for (record ...) if (!(why = writer->add(*record))) break;
//   if (why) why = writer->finish();
//   if (why) why = files.commit();                                   // the files take their names
//
// Texts are written as UTF-8: CSV, TXT and HTML with a byte-order mark, vCard without one.
// No Qt. Not thread-safe: one thread drives one writer.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "contacts/contact_groups.h"
#include "contacts/contact_record.h"
#include "pst/status.h"

namespace pst {
class Message;
class Writer;
} // namespace pst

namespace contacts {

// Format codes as the save-format dialog records them.
enum class Format : int
{
    Pst = 1,
    Vcf = 2,
    Csv = 3,
    Txt = 4,
    Html = 5,
};

struct FormatInfo
{
    Format format;
    const char* name;      // command-line name: "pst", "vcf", "csv", "txt", "html"
    const char* extension; // ".pst", ".vcf", ...
    const char* file_name; // the one file of the conversion ("contacts.csv"); nullptr = one file per contact
};

inline constexpr std::array<FormatInfo, 5> kFormats = {{
    {Format::Pst, "pst", ".pst", "contacts.pst"},
    {Format::Vcf, "vcf", ".vcf", "contacts.vcf"},
    {Format::Csv, "csv", ".csv", "contacts.csv"},
    {Format::Txt, "txt", ".txt", nullptr},
    {Format::Html, "html", ".html", nullptr},
}};

// The vCard versions of the .vcf output. 2.1 is the default; 3.0 and 4.0 are for the importers
// that refuse 2.1.
enum class VcardVersion : uint8_t
{
    v21,
    v30,
    v40,
};
// The column layouts of the .csv output: Pelimoor's 59 labels (the default), or the header that
// Google Contacts or Outlook exports, which their importers match by name.
enum class CsvLayout : uint8_t
{
    pelimoor,
    google,
    outlook,
};

// One choice of either kind: its command-line name ("3.0", "google") and what the window shows.
template <typename Choice> struct ChoiceInfo
{
    Choice choice;
    const char* name;
    const char* caption;
};
inline constexpr std::array<ChoiceInfo<VcardVersion>, 3> kVcardVersions = {{
    {VcardVersion::v21, "2.1", "vCard 2.1"},
    {VcardVersion::v30, "3.0", "vCard 3.0 (Apple, iCloud, Google, Android, Nextcloud)"},
    {VcardVersion::v40, "4.0", "vCard 4.0 (Thunderbird, RFC 6350)"},
}};
inline constexpr std::array<ChoiceInfo<CsvLayout>, 3> kCsvLayouts = {{
    {CsvLayout::pelimoor, "pelimoor", "Pelimoor (59 labels)"},
    {CsvLayout::google, "google", "Google Contacts"},
    {CsvLayout::outlook, "outlook", "Outlook"},
}};
// The row named `name`; nullptr when none is.
const ChoiceInfo<VcardVersion>* vcard_version_by_name(std::string_view name) noexcept;
const ChoiceInfo<CsvLayout>* csv_layout_by_name(std::string_view name) noexcept;

// The choices that shape the .vcf and .csv outputs; the defaults give the files of old.
struct OutputChoices
{
    VcardVersion vcard = VcardVersion::v21;
    CsvLayout csv = CsvLayout::pelimoor;
};

// SMTP addresses of legacy Exchange DNs as the file's messages pair them, keyed by
// exchange_key(DN).
using ExchangeMap = std::unordered_map<std::u16string, std::u16string>;
// A DN as a key of the map: ASCII letters in upper case (DNs compare without regard to case).
std::u16string exchange_key(std::u16string_view dn);
// DNs longer than this are not looked up and not kept in the NOTE: left out, and counted.
inline constexpr std::size_t kMaxExchangeDn = 1024;

// The e-mail addresses that the vCard 3.0/4.0 and importer CSV outputs write for a record: the
// record's three, where a slot holds an EX address its SMTP address (the original display name
// when it holds one, else the map's), else nothing. The DNs left without an SMTP address (the
// short ones) are kept for a NOTE line.
// The texts are views into the record and the map, valid while both live.
struct ContactEmails
{
    std::array<std::u16string_view, 3> address;
    std::vector<std::u16string_view> kept_dns;
    int left_out = 0; // EX addresses written without an SMTP address
};
ContactEmails contact_emails(const ContactRecord& record, const ExchangeMap* exchange);
// "Exchange address without a known SMTP address: <DN>" lines after the notes (CRLF between).
std::u16string notes_with_dns(std::u16string_view notes, const std::vector<std::u16string_view>& dns);

// The row of `format`; nullptr for a code outside 1..5.
const FormatInfo* format_info(Format format) noexcept;
// The row whose name is `name` ("csv"); nullptr when none is.
const FormatInfo* format_by_name(std::string_view name) noexcept;

// A sequential byte stream. After a failed write the sink accepts nothing more. close() must be
// called for the bytes to count as written; a sink destroyed without close() loses its data.
class ByteSink
{
public:
    virtual ~ByteSink() = default;
    virtual pst::Status write(std::string_view bytes) = 0;
    virtual pst::Status close() = 0;
};

// Collects the bytes in *out (which must outlive the sink).
class StringSink : public ByteSink
{
public:
    explicit StringSink(std::string* out) : m_out(out) {}
    pst::Status write(std::string_view bytes) override;
    pst::Status close() override { return pst::Status::success(); }

private:
    std::string* m_out;
};

// Where the files of one conversion go. Names are plain file names (UTF-8, no directory part).
// The files made by create() are whole or absent: they take their names together, at commit().
class OutputFiles
{
public:
    virtual ~OutputFiles() = default;
    // A new file `name`; nullptr and *why when it cannot be made. Its sinks must not outlive
    // this object.
    virtual std::unique_ptr<ByteSink> create(const std::string& name, pst::Status* why) = 0;
    // A PST writer whose file will be `name`, which appears when the writer finishes; nullptr
    // and *why when it cannot be made.
    virtual std::unique_ptr<pst::Writer> create_pst(const std::string& name, pst::Status* why) = 0;
    // Gives every file made by create() and closed whole its name. A failure names the file and
    // the reason; the files not yet named then are removed.
    virtual pst::Status commit() { return pst::Status::success(); }
};

// Files inside an existing directory that holds nothing of anyone else's. Each is written under
// a temporary name beside its own ("contacts.vcf.tmp-a1B2c3", staging/staged_file.h) and never
// replaces a file: a file that is not closed whole, and every closed one when the object goes
// before commit(), is removed, so a conversion that fails leaves no file under a final name,
// and one that is killed only temporary ones. The directory must outlive the object.
class DirectoryOutput : public OutputFiles
{
public:
    explicit DirectoryOutput(std::filesystem::path directory) : m_directory(std::move(directory)) {}
    ~DirectoryOutput() override;
    DirectoryOutput(const DirectoryOutput&) = delete;
    DirectoryOutput& operator=(const DirectoryOutput&) = delete;
    std::unique_ptr<ByteSink> create(const std::string& name, pst::Status* why) override;
    std::unique_ptr<pst::Writer> create_pst(const std::string& name, pst::Status* why) override;
    pst::Status commit() override;
    const std::filesystem::path& directory() const { return m_directory; }

private:
    // Calls visit(path) for the temporary file of each closed file, in the order they closed.
    template <typename Visit> void for_each_closed(Visit visit) const;

    std::filesystem::path m_directory;
    std::string m_closed; // the temporary names of the closed files, each ended by a NUL
};

// Writes contacts in one format. add() takes the records in store order; finish() completes
// the output (for PST: the file appears only then). After a failure nothing more is written and
// the files already made are left for the caller to remove. The PST writer reads a record's
// texts up to finish(): the records must stay alive until then (store records do).
class ContactWriter
{
public:
    virtual ~ContactWriter() = default;
    virtual pst::Status add(const ContactRecord& record) = 0;
    virtual pst::Status finish() = 0;
    // EX addresses written without an SMTP address so far (left out of the e-mail fields).
    virtual int64_t exchange_left_out() const { return 0; }
    // Distribution lists written (by finish()).
    virtual int64_t groups_written() const { return 0; }
};

// The writer of `format` into `files`. For the one-file formats the file is created here;
// nullptr and *why when that fails or the format code is unknown. `choices` pick the vCard
// version and the CSV layout; `exchange` (may be null) the SMTP addresses of DNs for the new ones.
std::unique_ptr<ContactWriter> make_contact_writer(Format format, OutputFiles& files, pst::Status* why,
                                                   const OutputChoices& choices = {},
                                                   const ExchangeMap* exchange = nullptr,
                                                   const ContactGroups* groups = nullptr);
// Whether `choices` make `format` one of the outputs for importers (vCard 3.0/4.0, Google or
// Outlook CSV), which write SMTP addresses for EX ones.
bool writes_for_importers(Format format, const OutputChoices& choices);

// ---- the pieces of each format, appended to `out` as UTF-8 (for the writers and tests)

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The CSV header line of the 59 labels, ending in CRLF.
void append_csv_header(std::string& out);
// One CSV line: the 59 values in header order, quoted where a value holds a comma, a quote or a
// line break (quotes doubled), ending in CRLF.
void append_csv_row(const ContactRecord& record, std::string& out);
// The text page of one contact: a line per label whose field has a value, "Body" last without
// a line end.
void append_text_page(const ContactRecord& record, std::string& out);
// The HTML page of one contact: the same entries in their HTML forms, values escaped, "<br>"
// between them. A photo comes first, as <img src="data:..." alt="Photo"> (photo_data_uri), with
// "<br>" after it when entries follow.
void append_html_page(const ContactRecord& record, std::string& out);
// One vCard 2.1 record, ending in CRLF after "END:VCARD". A photo is the last property:
// "PHOTO;ENCODING=BASE64;TYPE=JPEG:" (PNG, GIF), then the base64 on folded lines of a blank and
// the text of kVcardPhotoLineBytes bytes, then an empty line, as vCard 2.1 ends a base64 value.
void append_vcard(const ContactRecord& record, std::string& out);

// One vCard of `version` (2.1: append_vcard). 3.0 and 4.0: UTF-8, backslash escapes, CRLF,
// lines folded at 75 octets between whole characters, VERSION right after BEGIN, FN and N
// always, UID from contact_uid().
void append_vcard(const ContactRecord& record, VcardVersion version, std::string& out);
// The same with the UID given (the writer makes the UIDs of one file unique) and the addresses.
void append_vcard(const ContactRecord& record, VcardVersion version, std::string_view uid, const ContactEmails& emails,
                  std::string& out);
// The UID of a contact: a UUID made from its identity, stable across runs over the same file
// ("7f3a...-..."); from its number when the identity is unknown.
std::string contact_uid(const ContactRecord& record);

// The UUID of an identity ("7f3a...-..."); from `number` when the identity is all zero.
std::string identity_uid(const ContactIdentity& identity, uint32_t number);
// One group card after the contacts: vCard 4.0 "KIND:group" with "MEMBER:" lines, vCard 3.0
// "X-ADDRESSBOOKSERVER-KIND:group" with "X-ADDRESSBOOKSERVER-MEMBER:" lines. `members`: their
// URIs ("urn:uuid:...", "mailto:..."). FN is the group's name, else `first_address` (the
// address of its first member that has one; empty: none), else kNoName.
void append_group_vcard(const ContactGroup& group, VcardVersion version, std::string_view uid,
                        const std::vector<std::string>& members, std::u16string_view first_address, std::string& out);

// What FN holds for a card with nothing to name it by (importers refuse a card without FN).
inline constexpr std::u16string_view kNoName = u"(no name)";
// The name vCard 3.0 and 4.0 give a contact (FN), never empty: its display name, else its given,
// middle and family names joined by blanks, else its company, else the first of `emails`, else
// its file-as name, else kNoName. (vCard 2.1 and the other outputs name it by
// contact_display_name(), file-as first.)
std::u16string formatted_name(const ContactRecord& record, const ContactEmails& emails);

// The header line and one row of a CSV layout (pelimoor: append_csv_header / append_csv_row).
// Each ends in CRLF; values are quoted as in append_csv_row.
void append_csv_header(CsvLayout layout, std::string& out);
void append_csv_row(const ContactRecord& record, CsvLayout layout, std::string& out);
// `groups`: the names of the groups the contact belongs to (Google: among the Labels; Outlook:
// among the Categories).
void append_csv_row(const ContactRecord& record, CsvLayout layout, const ContactEmails& emails,
                    std::span<const std::u16string_view> groups, std::string& out);
// The header names of the Google Contacts and Outlook layouts, in order.
std::span<const char* const> csv_layout_columns(CsvLayout layout);
// Appends one CSV value: as it is, or in quotes (inner quotes doubled) when it holds a comma,
// a quote, a CR or an LF.
void append_csv_value(std::u16string_view value, std::string& out);

// The entity that stands for `c` in HTML text ("&lt;" for '<'; also >, &, " and '), or nullptr
// when `c` needs none. The one escaping table of every page the program writes.
const char* html_entity(char16_t c);
// Appends `text` with <, >, &, " and ' escaped as entities.
void append_html_escaped(std::u16string_view text, std::string& out);

// ---- contact photos

// Bytes per folded base64 line of a vCard photo: 72 characters, 73 with the folding blank, so
// that these lines stay under 76 characters like the quoted-printable ones.
inline constexpr std::size_t kVcardPhotoLineBytes = 54;

// Appends `bytes` in base64 (RFC 4648 alphabet, '=' padding, no line breaks).
void append_base64(std::span<const uint8_t> bytes, std::string& out);
// The length of that text: 4 characters for every 3 bytes begun.
constexpr std::size_t base64_length(std::size_t bytes) noexcept
{
    return (bytes + 2) / 3 * 4;
}
// ".jpg" / ".png" / ".gif"; "" for none.
std::string_view photo_file_extension(PhotoType type) noexcept;
// The record's photo as a self-contained data URI ("data:image/jpeg;base64,/9j/..."), ready
// for an <img src>; "" when the record has no photo.
std::string photo_data_uri(const ContactRecord& record);

// The name a contact's file gets in the one-file-per-contact formats:
// "<number> <last name>,<first name><extension>", the name parts made safe for a file name
// (no '/', no control characters, not too long); "<number><extension>" when both are empty.
std::string contact_file_name(const ContactRecord& record, Format format);

// The name under which a contact is shown: the file-as name, else first and last name, else
// the company, else the e-mail address; empty when the record has none of them.
std::u16string contact_display_name(const ContactRecord& record);

// The IPM.Contact message of one record: every field written to the property it is read from
// (named properties in PSETID_Address), birthday and anniversary dates as PT_SYSTIME, the body
// as PR_BODY, PR_DISPLAY_NAME and PR_SUBJECT from contact_display_name(); a photo as the
// contact's picture attachment "ContactPicture.jpg" (.png, .gif) with PidLidHasPicture
// (pst::add_contact_picture). The message views the record's texts instead of copying them
// (pst::Message::set_unicode_view): the record must outlive the writer's use of the message.
pst::Message contact_message(const ContactRecord& record);

} // namespace contacts

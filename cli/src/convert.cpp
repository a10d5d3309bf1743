#include "cli/convert.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <ostream>
#include <string_view>

#include "contacts/contact_record.h"
#include "contacts/contact_sources.h"
#include "contacts/contact_store.h"
#include "contacts/store_text.h"
#include "contacts/text.h"
#include "dump/group_json.h"
#include "dump/record_json.h"
#include "format_mode.h"
#include "merge/merge.h"
#include "merge_step.h"
#include "scan_inputs.h"
#include "upload_mode.h"

namespace cli {

namespace {

using contacts::ContactRecord;
using contacts::ContactStore;
using contacts::Field;

// ---- output of one record

// Whether one of the eight bytes of `word` is below 0x20 (a tab, a line break, ...) or a
// backslash: the bytes a value may need escaped, eight at a time.
bool may_need_escapes(uint64_t word)
{
    constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
    const uint64_t backslashes = word ^ (kOnes * '\\');
    return ((((word - kOnes * 0x20) & ~word) | ((backslashes - kOnes) & ~backslashes)) & kHighs) != 0;
}

// Tab-separated text: a tab, line break or backslash inside a value is written as \t, \n, \r
// or \\ so that every contact stays on one line.
void append_list_value(std::u16string_view value, std::string& line)
{
    if (value.empty()) {
        return; // most columns of most lines
    }
    std::size_t from = line.size();
    contacts::utf16_to_utf8(value, line);
    for (uint64_t word; from + sizeof word <= line.size(); from += sizeof word) {
        std::memcpy(&word, line.data() + from, sizeof word);
        if (may_need_escapes(word)) {
            break;
        }
    }
    const auto special = [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == '\\'; };
    const auto first = std::find_if(line.begin() + static_cast<std::ptrdiff_t>(from), line.end(), special);
    if (first == line.end()) {
        return;
    }
    // Rare: the value holds a character the line format escapes.
    const std::string tail(first, line.end());
    line.erase(first, line.end());
    for (char c : tail) {
        switch (c) {
        case '\t':
            line += "\\t";
            break;
        case '\n':
            line += "\\n";
            break;
        case '\r':
            line += "\\r";
            break;
        case '\\':
            line += "\\\\";
            break;
        default:
            line.push_back(c);
        }
    }
}

// `sources`: the store, when the run reads several files and each line names its record's file.
void write_list_line(const ContactRecord& r, const ContactStore* sources, std::string& out)
{
    // Each column's text looked up alone: the line shows a few of the record's fields.
    char number[12];
    out.append(number,
               static_cast<std::size_t>(std::to_chars(std::begin(number), std::end(number), r.number()).ptr - number));
    for (std::size_t c = 0; c < contacts::kScanListColumns; ++c) {
        out.push_back('\t');
        append_list_value(r.text_or_empty(contacts::kListColumns[c].field), out);
    }
    if (sources != nullptr) {
        out.push_back('\t');
        thread_local std::u16string path;
        path.clear();
        contacts::utf8_to_utf16(contacts::contact_source(*sources, r).path, path);
        append_list_value(path, out);
    }
    out.push_back('\n');
}

using dump::append_json_string;

void append_json_member(const contacts::FieldInfo& info, const ContactRecord& r, std::string& line)
{
    std::string value;
    switch (info.type) {
    case contacts::FieldType::Int32:
        value = std::to_string(info.field == Field::number ? r.number() : r.kind_code());
        break;
    case contacts::FieldType::Int16:
        value = std::to_string(r.gender());
        break;
    default: {
        const auto text = r.text(info.field);
        if (!text) {
            return; // absent fields are left out
        }
        append_json_string(*text, value);
    }
    }
    line += line.size() > 1 ? ",\"" : "\"";
    line += info.name;
    line += "\":";
    line += value;
}

void write_json_line(const ContactRecord& r, const ContactStore* sources, std::string& out)
{
    std::string line = "{";
    append_json_member(contacts::field_info(Field::number), r, line);
    for (const auto& info : contacts::kFieldTable) {
        // The display name, read for the vCard 3.0 and 4.0 outputs, is not among the keys the
        // lines have always had.
        if (info.field != Field::number && info.field != Field::display_name) {
            append_json_member(info, r, line);
        }
    }
    line += ",\"origin\":\"";
    line += contacts::origin_name(r.origin());
    line += '"';
    if (const contacts::PhotoView photo = r.photo(); !photo.empty()) {
        line += ",\"photo_type\":\"";
        line += contacts::photo_type_name(photo.type);
        line += "\",\"photo_bytes\":";
        line += std::to_string(photo.bytes.size());
    }
    if (sources != nullptr) {
        const contacts::ContactSource source = contacts::contact_source(*sources, r);
        std::u16string path;
        contacts::utf8_to_utf16(source.path, path);
        line += ",\"source\":";
        append_json_string(path, line);
        line += ",\"folder\":";
        append_json_string(source.folder, line);
    }
    line += "}\n";
    out += line;
}

// ---- modes

// Appends one record's text; `sources` as for write_list_line.
using Writer = void (*)(const ContactRecord& r, const ContactStore* sources, std::string& out);

// One converter mode: its flag and what it writes per contact. Further modes are rows here.
struct Mode
{
    std::string_view flag;
    std::string_view arguments;
    std::string_view help;
    Writer write;
};

constexpr Mode kModes[] = {
    {"--list", "FILE.pst...",
     "one line per contact, in the order found, fields separated by tabs: number, full name,\n"
     "      first name, last name, company, business phone, business fax, home phone, mobile\n"
     "      phone, and with more than one FILE the file it came from (a tab, line break or\n"
     "      backslash inside a value is written as \\t, \\n, \\r, \\\\)",
     &write_list_line},
    {"--json", "FILE.pst...",
     "one JSON object per line per contact, in the order found; keys are the record's field\n"
     "      names (number, kind_name, kind_code, first_name, ..., index_key, group_name, body,\n"
     "      categories, flag), then origin (live, orphan, recovered, autocomplete, recipient_cache\n"
     "      or correspondent) and, for a contact with\n"
     "      a photo, photo_type (JPEG, PNG, GIF) and photo_bytes; with more than one FILE,\n"
     "      source (the file as given) and folder (its folder path, names joined by \\; \"\" for\n"
     "      the root and for contacts found outside the folders);\n"
     "      fields the contact does not have are left out, empty ones are \"\"; texts are UTF-8\n"
     "      exactly as stored (a lone UTF-16 surrogate, which UTF-8 cannot hold, as \\uXXXX)",
     &write_json_line},
};

const Mode* find_mode(std::string_view flag)
{
    for (const auto& mode : kModes) {
        if (mode.flag == flag) {
            return &mode;
        }
    }
    return nullptr;
}

void write_help(std::ostream& out)
{
    out << "Usage: pelimoor-convert [OPTIONS] MODE FILE.pst...\n"
           "       pelimoor-convert [OPTIONS] --format FORMAT [--vcard V | --csv L] [--out DIR] FILE.pst...\n"
           "       pelimoor-convert --help\n"
           "\n"
           "Reads every contact of one or more Outlook personal folder files (.pst) and writes them\n"
           "to standard output as UTF-8. Several files are read one after another into one result,\n"
           "in the order given. The files are only read, never changed. A FILE may also be an\n"
           "Outlook autocomplete list (.nk2, or a Stream_Autocomplete_*.dat file of Outlook's\n"
           "RoamCache folder): each of its rows becomes a card.\n"
           "\n"
           "Modes:\n";
    for (const auto& mode : kModes) {
        out << "  " << mode.flag << ' ' << mode.arguments << "\n      " << mode.help << "\n";
    }
    write_format_help(out);
    write_upload_help(out);
    out << "  --help\n      this text\n"
           "\n"
           "Options (before FILE.pst):\n"
           "  --reader native|libpff\n"
           "      the PST reader: native (the default) is Pelimoor's own, fast on large files and\n"
           "      safe on damaged ones; libpff is the libpff library, kept as a second opinion for\n"
           "      a file the native reader refuses or reads differently. PELIMOOR_READER sets the\n"
           "      default.\n"
           "  --codepage N\n"
           "      the Windows code page of 8-bit texts in messages that do not name one (default\n"
           "      1252, Western European). Use it for an old ANSI file whose names come out\n"
           "      garbled: 932 Japanese, 936 Simplified Chinese, 949 Korean, 950 Traditional\n"
           "      Chinese, 874 Thai, 1250 Central European, 1251 Cyrillic, 1253 Greek, 1254\n"
           "      Turkish, 1255 Hebrew, 1256 Arabic, 1257 Baltic, 1258 Vietnamese. A message's own\n"
           "      code page, charset or locale always wins. PELIMOOR_CODEPAGE sets the default.\n"
           "  --no-recovery\n"
           "      read the live folders only. Without it, contacts found beyond them follow the live\n"
           "      ones: orphans (their folder is gone) and deleted contacts still held in the file's\n"
           "      free space, marked by their origin. PELIMOOR_RECOVERY=0 sets this default.\n"
           "  --ost\n"
           "      also read offline folder files (.ost, the cache Outlook keeps of an Exchange or\n"
           "      IMAP account), Outlook 2013's compressed form included. Use it when contacts live\n"
           "      only in an OST: the local contacts of an IMAP account, or an OST left behind by a\n"
           "      profile that is gone. Without it an OST is refused as not being a PST file.\n"
           "  --merge\n"
           "      makes the cards of one person one card in every mode: cards that share an e-mail\n"
           "      address or a mobile, business or other number and differ in no one-value field\n"
           "      (names, company, job title, birthday, ...); copies of one item too. Pairs that\n"
           "      clash, share only a name, or share an address between different names are held\n"
           "      for review. merge-report.csv lists both (in the --format folder; for --list and\n"
           "      --json in --out DIR, given after the mode). The same files in any order give the\n"
           "      same output. FILEs may also be dumps of --json --full (scans made elsewhere)\n"
           "  --region CC\n"
           "      (with --merge) the region national phone numbers are read in (DE, US, GB, ...);\n"
           "      default: the locale's\n"
           "  --json --full FILE.pst...\n"
           "      every record losslessly, one JSON object a line (photo, search key, Exchange\n"
           "      addresses, file, folder): a dump for --merge on another machine\n"
           "  --verbose\n"
           "      list every item that could not be read (its folder, position and why) on\n"
           "      standard error; without it only the count per reason is given\n"
           "\n"
           "Messages go to standard error; while scanning on a terminal a progress line is shown.\n"
           "\n"
           "Exit status: 0 success, 1 the file (every file, when several are given) was refused or\n"
           "could not be scanned, 2 bad usage, 3 writing the output failed, 4 some of several files\n"
           "were refused (each is named on standard error) and the contacts of the others were\n"
           "written, 5 (--upload) some cards were refused by the server or not sent (stopped;\n"
           "upload-report.csv names each), 6 (--upload) the server could not be used (not\n"
           "reached, its certificate, the user name or password, no address book) and no card\n"
           "reached it.\n"
           "\n"
           "Example:\n"
           "  pelimoor-convert --list contacts.pst > contacts.tsv\n"
           "  pelimoor-convert --format vcf --vcard 3.0 --out ~/Desktop Outlook.pst archive.pst\n"
           "  PELIMOOR_PASSWORD=... pelimoor-convert --upload https://cloud.example.org/remote.php/dav \\\n"
           "      --user anna Outlook.pst\n";
}

int usage_error(std::ostream& err, std::string_view what)
{
    err << "pelimoor-convert: " << what << "\nTry 'pelimoor-convert --help'.\n";
    return kExitUsage;
}

} // namespace

// Takes --verbose out of the arguments before FILE.pst.
std::vector<std::string> take_verbose(const std::vector<std::string>& args, bool* verbose)
{
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--verbose" && i + 1 < args.size()) {
            *verbose = true;
        } else {
            rest.push_back(args[i]);
        }
    }
    return rest;
}

int run(const std::vector<std::string>& all_args, std::ostream& out, std::ostream& err, const RunOptions& given)
{
    RunOptions options = given;
    std::vector<std::string> args;
    std::string problem;
    if (!engine::take_source_options(take_verbose(all_args, &options.verbose), &args, &options.source, &problem)) {
        return usage_error(err, problem);
    }
    if (!take_merge_options(args, options, &problem)) {
        return usage_error(err, problem);
    }
    if (args.empty()) {
        return usage_error(err, "no mode given");
    }
    if (args[0] == "--help" || args[0] == "-h") {
        if (args.size() != 1) {
            return usage_error(err, "--help takes no arguments");
        }
        write_help(out);
        return kExitSuccess;
    }
    if (args[0] == "--format") {
        return run_format(args, out, err, options);
    }
    if (args[0] == "--upload") {
        return run_upload(args, out, err, options);
    }
    const Mode* mode = find_mode(args[0]);
    if (mode == nullptr) {
        return usage_error(err, "unknown mode '" + args[0] + "'");
    }
    std::size_t first_file = 1;
    // --json --full: every record losslessly, with its file and folder (a dump for --merge).
    const bool full = mode->flag == "--json" && args.size() > 1 && args[1] == "--full";
    first_file += full ? 1 : 0;
    // --out DIR (with --merge): where merge-report.csv goes.
    std::string report_dir;
    if (options.merge && args.size() > first_file + 1 && args[first_file] == "--out") {
        report_dir = args[first_file + 1];
        first_file += 2;
    }
    if (args.size() <= first_file) {
        return usage_error(err, std::string(mode->flag) + " needs a FILE.pst");
    }
    std::vector<std::string> files(args.begin() + static_cast<std::ptrdiff_t>(first_file), args.end());
    if (options.merge) {
        merge::sort_for_merge(files);
    }

    ContactStore store;
    const ScannedInputs scanned = scan_inputs(files, store, err, options);
    if (scanned.read.empty()) {
        return kExitScanFailed;
    }
    // With several files each record names its own; with one, the lines are those of old.
    const ContactStore* sources = files.size() > 1 || options.merge ? &store : nullptr;
    const auto write = [&](const ContactRecord& r, std::string& text) {
        if (full) {
            const contacts::ContactSource source = contacts::contact_source(store, r);
            dump::append_record_line(r, {source.path, source.folder, source.node_id}, text);
        } else {
            mode->write(r, sources, text);
        }
    };
    const auto put = [&out](std::string_view text) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        return static_cast<bool>(out);
    };
    std::unique_ptr<merge::StoreMerge> merged;
    if (options.merge) {
        merged = merge_and_say(store, scanned.groups.get(), options, err);
    }
    // Nothing merged and no card renumbered: the cards to write are the store's, in its order.
    if (merged && merged->result.merged == 0 && merged->result.owned.empty()) {
        contacts::write_store_text(store, write, put);
        if (!report_dir.empty() && !write_merge_report(*merged, report_dir, err)) {
            return kExitWriteFailed;
        }
    } else if (merged) {
        contacts::write_records_text(merged->result.records, write, put);
        if (!report_dir.empty() && !write_merge_report(*merged, report_dir, err)) {
            return kExitWriteFailed;
        }
    } else {
        contacts::write_store_text(store, write, put);
    }
    // A dump ends with the distribution lists, their members named by the numbers written above.
    const contacts::ContactGroups* lists = merged ? &merged->groups : scanned.groups.get();
    if (full && lists != nullptr) {
        std::string text;
        for (const contacts::ContactGroup& group : lists->groups) {
            dump::append_group_line(group, text);
        }
        put(text);
    }
    out.flush();
    if (!out) {
        err << "pelimoor-convert: cannot write the output\n";
        return kExitScanFailed;
    }
    return scan_status(scanned);
}

} // namespace cli

#include "normalise.h"

#include <phonenumbers/phonenumberutil.h>
#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cctype>

#include "contacts/text.h"

namespace merge {

namespace {

bool is_blank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' || c == 0x00A0 ||
           c == 0x3000 || (c >= 0x2000 && c <= 0x200B) || c == 0x202F || c == 0xFEFF;
}

std::u16string_view trimmed(std::u16string_view s)
{
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool is_ascii(std::u16string_view s)
{
    for (char16_t c : s) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

char16_t ascii_lower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// Appends `s` with blanks made one blank, none at either end; A-Z made a-z when `lower`.
void append_collapsed(std::u16string_view s, bool lower, std::u16string& out)
{
    bool blank = false;
    bool any = false;
    for (char16_t c : s) {
        if (is_blank(c)) {
            blank = any;
            continue;
        }
        if (blank) {
            out.push_back(u' ');
            blank = false;
        }
        out.push_back(lower ? ascii_lower(c) : c);
        any = true;
    }
}

std::u16string from_unicode_string(const icu::UnicodeString& s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s.getBuffer()), static_cast<std::size_t>(s.length()));
}

icu::UnicodeString to_unicode_string(std::u16string_view s)
{
    return icu::UnicodeString(s.data(), static_cast<int32_t>(s.size()));
}

} // namespace

Normaliser::Normaliser(std::string region) : m_region(std::move(region))
{
    for (char& c : m_region) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (m_region.empty()) {
        m_region = "ZZ";
    }
    using i18n::phonenumbers::PhoneNumberUtil;
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    if (const int code = util->GetCountryCodeForRegion(m_region); code != 0) {
        contacts::utf8_to_utf16(std::to_string(code), m_country);
        std::string trunk;
        util->GetNddPrefixForRegion(m_region, true, &trunk);
        if (trunk.size() == 1) {
            contacts::utf8_to_utf16(trunk, m_trunk);
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    m_nfkc_cf = icu::Normalizer2::getNFKCCasefoldInstance(status);
    if (U_FAILURE(status)) {
        m_nfkc_cf = nullptr;
    }
    status = U_ZERO_ERROR;
    UParseError parse{};
    m_latin.reset(icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD, parse, status));
    if (U_FAILURE(status)) {
        m_latin.reset();
    }
}

Normaliser::~Normaliser() = default;

std::u16string Normaliser::fold(std::u16string_view value)
{
    if (is_ascii(value)) {
        std::u16string out(value);
        for (char16_t& c : out) {
            if (c >= u'A' && c <= u'Z') {
                c = static_cast<char16_t>(c + 32);
            }
        }
        return out;
    }
    if (m_nfkc_cf == nullptr) {
        return std::u16string(value);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString folded = m_nfkc_cf->normalize(to_unicode_string(value), status);
    if (U_FAILURE(status)) {
        return std::u16string(value);
    }
    return from_unicode_string(folded);
}

const std::u16string& Normaliser::latin_name(std::u16string_view trimmed)
{
    std::u16string key(trimmed);
    if (const auto it = m_latin_names.find(key); it != m_latin_names.end()) {
        return it->second;
    }
    constexpr std::size_t kKept = 1u << 16; // names; a file of more distinct ones starts afresh
    if (m_latin_names.size() >= kKept) {
        m_latin_names.clear();
    }
    std::u16string folded = fold(trimmed);
    if (!is_ascii(folded) && m_latin) {
        icu::UnicodeString s = to_unicode_string(folded);
        m_latin->transliterate(s);
        folded = fold(from_unicode_string(s));
    }
    return m_latin_names.emplace(std::move(key), std::move(folded)).first->second;
}

std::u16string Normaliser::text(std::u16string_view value)
{
    std::u16string out;
    append_text(value, out);
    return out;
}

std::u16string Normaliser::email(std::u16string_view value)
{
    std::u16string out;
    append_email(value, out);
    return out;
}

std::u16string Normaliser::phone(std::u16string_view value)
{
    std::u16string out;
    append_phone(value, out);
    return out;
}

std::u16string Normaliser::name(std::u16string_view value)
{
    std::u16string out;
    append_name(value, out);
    return out;
}

std::u16string Normaliser::person(std::u16string_view first, std::u16string_view last, std::u16string_view full)
{
    std::u16string out;
    append_person(first, last, full, out);
    return out;
}

void Normaliser::append_text(std::u16string_view value, std::u16string& out)
{
    value = trimmed(value);
    if (is_ascii(value)) {
        append_collapsed(value, true, out);
    } else {
        append_collapsed(fold(value), false, out);
    }
}

void Normaliser::append_email(std::u16string_view value, std::u16string& out)
{
    value = trimmed(value);
    if (is_ascii(value)) {
        for (char16_t c : value) {
            out.push_back(ascii_lower(c));
        }
    } else {
        out += fold(value);
    }
}

void Normaliser::append_phone(std::u16string_view value, std::u16string& out)
{
    value = trimmed(value);
    // "+" and the digits, taken back below for the forms without it.
    const std::size_t start = out.size();
    out.push_back(u'+');
    bool plain = true; // digits and the usual separators only
    for (char16_t c : value) {
        if (c >= u'0' && c <= u'9') {
            out.push_back(c);
        } else if (c != u' ' && c != u'-' && c != u'.' && c != u'/' && !(c == u'+' && out.size() == start + 1)) {
            plain = false;
        }
    }
    const std::size_t digits = start + 1; // where they begin
    const std::size_t count = out.size() - digits;
    if (count == 0) {
        out.resize(start);
        return;
    }
    // The plain forms without libphonenumber's parse, which takes tens of microseconds (its
    // patterns run on ICU's regular expressions): "+49 171 1234567" is E.164 once the separators
    // are gone, and "0171 1234567" in a region whose trunk prefix is 0 is its country code and
    // the rest. "00..." (an international prefix) and everything else go to the parse.
    if (plain && value.front() == u'+') {
        return;
    }
    const std::size_t trunk = m_trunk.size();
    if (plain && trunk != 0 && count > trunk + 3 && out.compare(digits, trunk, m_trunk) == 0 &&
        out[digits + trunk] != m_trunk.back() && out[digits + trunk] != u'0') {
        out.replace(digits, trunk, m_country);
        return;
    }
    using i18n::phonenumbers::PhoneNumber;
    using i18n::phonenumbers::PhoneNumberUtil;
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    PhoneNumber number;
    if (util->Parse(contacts::utf16_to_utf8(value), m_region, &number) == PhoneNumberUtil::NO_PARSING_ERROR &&
        util->IsPossibleNumber(number)) {
        std::string e164;
        util->Format(number, PhoneNumberUtil::E164, &e164);
        out.resize(start);
        for (char c : e164) { // "+" and digits
            out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
        }
        return;
    }
    out.erase(start, 1); // the digits alone
}

void Normaliser::append_name(std::u16string_view value, std::u16string& out)
{
    value = trimmed(value);
    const bool ascii = is_ascii(value);
    const std::u16string_view folded = ascii ? value : std::u16string_view(latin_name(value));
    const std::size_t start = out.size();
    for (char16_t c : folded) {
        if (ascii) {
            c = ascii_lower(c);
        }
        const bool keep = (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c >= 0x80;
        if (keep) {
            out.push_back(c);
        } else if (out.size() > start && out.back() != u' ') {
            out.push_back(u' ');
        }
    }
    while (out.size() > start && out.back() == u' ') {
        out.pop_back();
    }
    // Umlauts written out (Mueller for Müller) and left out (Umit for Ümit) compare equal: "ae",
    // "oe" and "ue" count as "a", "o" and "u" on both sides.
    std::size_t to = start;
    for (std::size_t i = start; i < out.size(); ++i) {
        const char16_t c = out[i];
        out[to++] = c;
        if (i + 1 < out.size() && out[i + 1] == u'e' && (c == u'a' || c == u'o' || c == u'u')) {
            ++i;
        }
    }
    out.resize(to);
}

void Normaliser::append_person(std::u16string_view first, std::u16string_view last, std::u16string_view full,
                               std::u16string& out)
{
    // `given` then `family`, a blank between when both are there.
    const auto both = [this](std::u16string_view given, std::u16string_view family, std::u16string& to) {
        const std::size_t start = to.size();
        append_name(given, to);
        const std::size_t blank = to.size();
        to.push_back(u' ');
        append_name(family, to);
        if (blank == start || to.size() == blank + 1) {
            to.erase(blank, 1);
        }
    };
    if (!trimmed(first).empty() || !trimmed(last).empty()) {
        both(first, last, out);
        return;
    }
    full = trimmed(full);
    m_words.clear();
    if (const std::size_t comma = full.find(u','); comma != std::u16string_view::npos) {
        // "Last, First" turned round.
        both(full.substr(comma + 1), full.substr(0, comma), m_words);
    } else {
        append_name(full, m_words);
    }
    // Middle initials (one-letter words between the first and the last) dropped.
    const std::size_t start = out.size();
    std::u16string_view rest = m_words;
    for (bool first_word = true; !rest.empty(); first_word = false) {
        const std::size_t blank = rest.find(u' ');
        const std::u16string_view word = rest.substr(0, blank);
        rest = blank == std::u16string_view::npos ? std::u16string_view() : rest.substr(blank + 1);
        if (word.size() == 1 && !first_word && blank != std::u16string_view::npos) {
            continue;
        }
        if (out.size() > start) {
            out.push_back(u' ');
        }
        out += word;
    }
}

} // namespace merge

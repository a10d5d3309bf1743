#include "normalise.h"

#include <phonenumbers/phonenumberutil.h>
#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cctype>
#include <vector>

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

// Blanks made one blank, none at either end.
std::u16string collapse_blanks(std::u16string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    bool blank = false;
    for (char16_t c : s) {
        if (is_blank(c)) {
            blank = !out.empty();
            continue;
        }
        if (blank) {
            out.push_back(u' ');
            blank = false;
        }
        out.push_back(c);
    }
    return out;
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

std::u16string Normaliser::text(std::u16string_view value)
{
    return collapse_blanks(fold(trimmed(value)));
}

std::u16string Normaliser::email(std::u16string_view value)
{
    return fold(trimmed(value));
}

std::u16string Normaliser::phone(std::u16string_view value)
{
    value = trimmed(value);
    std::u16string digits;
    bool plain = true; // digits and the usual separators only
    for (char16_t c : value) {
        if (c >= u'0' && c <= u'9') {
            digits.push_back(c);
        } else if (c != u' ' && c != u'-' && c != u'.' && c != u'/' && !(c == u'+' && digits.empty())) {
            plain = false;
        }
    }
    if (digits.empty()) {
        return {};
    }
    // The plain forms without libphonenumber's parse, which takes tens of microseconds (its
    // patterns run on ICU's regular expressions): "+49 171 1234567" is E.164 once the separators
    // are gone, and "0171 1234567" in a region whose trunk prefix is 0 is its country code and
    // the rest. "00..." (an international prefix) and everything else go to the parse.
    if (plain && value.front() == u'+') {
        return u"+" + digits;
    }
    if (plain && !m_trunk.empty() && digits.size() > m_trunk.size() + 3 &&
        digits.compare(0, m_trunk.size(), m_trunk) == 0 && digits[m_trunk.size()] != m_trunk.back() &&
        digits[m_trunk.size()] != u'0') {
        return u"+" + m_country + digits.substr(m_trunk.size());
    }
    using i18n::phonenumbers::PhoneNumber;
    using i18n::phonenumbers::PhoneNumberUtil;
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    PhoneNumber number;
    if (util->Parse(contacts::utf16_to_utf8(value), m_region, &number) == PhoneNumberUtil::NO_PARSING_ERROR &&
        util->IsPossibleNumber(number)) {
        std::string e164;
        util->Format(number, PhoneNumberUtil::E164, &e164);
        std::u16string out;
        contacts::utf8_to_utf16(e164, out);
        return out;
    }
    return digits;
}

std::u16string Normaliser::name(std::u16string_view value)
{
    std::u16string folded = fold(trimmed(value));
    if (!is_ascii(folded) && m_latin) {
        icu::UnicodeString s = to_unicode_string(folded);
        m_latin->transliterate(s);
        folded = fold(from_unicode_string(s));
    }
    std::u16string out;
    out.reserve(folded.size());
    for (char16_t c : folded) {
        const bool keep = (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c >= 0x80;
        if (keep) {
            out.push_back(c);
        } else if (!out.empty() && out.back() != u' ') {
            out.push_back(u' ');
        }
    }
    while (!out.empty() && out.back() == u' ') {
        out.pop_back();
    }
    // Umlauts written out (Mueller for Müller) and left out (Umit for Ümit) compare equal: "ae",
    // "oe" and "ue" count as "a", "o" and "u" on both sides.
    std::u16string folded_out;
    folded_out.reserve(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        folded_out.push_back(out[i]);
        if (i + 1 < out.size() && out[i + 1] == u'e' && (out[i] == u'a' || out[i] == u'o' || out[i] == u'u')) {
            ++i;
        }
    }
    return folded_out;
}

std::u16string Normaliser::person(std::u16string_view first, std::u16string_view last, std::u16string_view full)
{
    std::u16string words;
    if (!trimmed(first).empty() || !trimmed(last).empty()) {
        words = name(first);
        const std::u16string family = name(last);
        if (!words.empty() && !family.empty()) {
            words.push_back(u' ');
        }
        words += family;
        return words;
    }
    full = trimmed(full);
    if (const std::size_t comma = full.find(u','); comma != std::u16string_view::npos) {
        // "Last, First" turned round.
        words = name(full.substr(comma + 1));
        const std::u16string family = name(full.substr(0, comma));
        if (!words.empty() && !family.empty()) {
            words.push_back(u' ');
        }
        words += family;
    } else {
        words = name(full);
    }
    // Middle initials (one-letter words between the first and the last) dropped.
    std::vector<std::u16string_view> parts;
    std::u16string_view rest = words;
    while (!rest.empty()) {
        const std::size_t blank = rest.find(u' ');
        parts.push_back(rest.substr(0, blank));
        rest = blank == std::u16string_view::npos ? std::u16string_view() : rest.substr(blank + 1);
    }
    std::u16string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].size() == 1 && i != 0 && i + 1 != parts.size()) {
            continue;
        }
        if (!out.empty()) {
            out.push_back(u' ');
        }
        out += parts[i];
    }
    return out;
}

} // namespace merge

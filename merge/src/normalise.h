// The forms cards are compared in: e-mail keys, phone keys, names and one-value texts.
// One Normaliser per thread (ICU's transliterator keeps state, and so do its buffers and cache).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Normalizer2;
class Transliterator;
U_NAMESPACE_END

namespace merge {

class Normaliser
{
public:
    // `region`: the default region of national phone numbers ("DE"); empty: none.
    explicit Normaliser(std::string region);
    ~Normaliser();
    Normaliser(const Normaliser&) = delete;
    Normaliser& operator=(const Normaliser&) = delete;

    // Trimmed, inner blanks made one, NFKC case-folded. "" for a blank text.
    std::u16string text(std::u16string_view value);
    // An e-mail address: trimmed and case-folded, nothing else ("" when blank).
    std::u16string email(std::u16string_view value);
    // A phone number in E.164 ("+4917112345678"); a number that cannot be read: its digits
    // ("0711"); "" when it holds no digit.
    std::u16string phone(std::u16string_view value);
    // A name or name part: case-folded, written in ASCII Latin letters (German umlauts as ae,
    // oe, ue), punctuation made blanks, blanks made one. "" when nothing is left.
    std::u16string name(std::u16string_view value);
    // The name a card goes by, from its first and last name, else from its full name ("Last,
    // First" turned round); middle initials dropped. "" when it has none.
    std::u16string person(std::u16string_view first, std::u16string_view last, std::u16string_view full);

    // The same forms appended to `out` (nothing for ""), for keys built of many: plain ASCII text
    // allocates nothing once `out` has room.
    void append_text(std::u16string_view value, std::u16string& out);
    void append_email(std::u16string_view value, std::u16string& out);
    void append_phone(std::u16string_view value, std::u16string& out);
    void append_name(std::u16string_view value, std::u16string& out);
    void append_person(std::u16string_view first, std::u16string_view last, std::u16string_view full,
                       std::u16string& out);

private:
    std::u16string fold(std::u16string_view trimmed);
    // A name past ICU (case folded, in ASCII Latin letters, folded again), kept per distinct text:
    // the transliterator takes microseconds, and names recur.
    const std::u16string& latin_name(std::u16string_view trimmed);
    std::string m_region;
    std::u16string m_country; // the region's country code ("49"); empty without a region
    std::u16string m_trunk;   // its trunk prefix ("0") when it is one digit
    const icu::Normalizer2* m_nfkc_cf = nullptr;
    std::unique_ptr<icu::Transliterator> m_latin;
    std::unordered_map<std::u16string, std::u16string> m_latin_names;
    std::u16string m_words; // person()'s words before the middle initials go
};

} // namespace merge

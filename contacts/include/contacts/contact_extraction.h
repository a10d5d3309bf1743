// Reading a contact item's properties into a ContactDraft.
//
// The 76 text values are read in the read table's order, then the plain-text body. Values
// stored as Unicode (PT_UNICODE) are taken from the item's stored UTF-16LE bytes, so every
// character reaches the record as the file holds it; 8-bit values (PT_STRING8) are decoded by
// libpff with the item's code page, or the file's (1252). Birthday and anniversary stored as
// dates become "YYYY-MM-DD": the local-date named property when present, else the UTC value
// plus 12 hours. Properties of other types leave their field absent. The categories and the
// flag state are read last, from their own properties.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <libpff.h>

#include "contacts/contact_record.h"

namespace contacts {

// The read table: fields in the order their properties are read (0x3A1C and 0x3A5D twice).
extern const std::array<Field, 76> kReadOrder;

// Named properties holding the local dates of the two date fields.
inline constexpr uint32_t kTagBirthdayLocal = 0x80DE;
inline constexpr uint32_t kTagAnniversaryLocal = 0x80DF;
// The flag state (PR_FLAG_STATUS, a long): 2 flagged, 1 completed.
inline constexpr uint32_t kTagFlagStatus = 0x1090;
// The categories: "Keywords" in PS_PUBLIC_STRINGS, a multi-valued string.
inline constexpr std::array<uint8_t, 16> kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr std::string_view kCategoriesName = "Keywords";

// Decodes the stored bytes of a multi-valued string (a little-endian u32 count, one u32 offset
// per value, then the values; each runs to the next offset or the end) and joins the non-empty
// values with "; " into `out` (replacing its contents). Unicode values are UTF-16LE; 8-bit ones
// code page 1252. A value is cut at its first NUL. Returns false (and leaves `out` empty) when
// the layout is malformed: too short, offsets out of order or past the end.
bool join_multi_strings(const uint8_t* data, std::size_t size, bool unicode, std::u16string& out);

// Reads contact items. Keeps one scratch buffer (at least 24 bytes, as large as the largest
// value read so far) for its whole life. Not thread-safe: one reader per scan thread.
class ContactReader
{
public:
    ContactReader();

    // Resets `draft` (every text absent, gender 0) and reads the item's values into it.
    // Returns 1; -1 when the item is missing or the scratch buffer cannot be grown (the draft
    // is then reset). Number, index key and the constants are left to the caller.
    int read(libpff_item_t* item, ContactDraft& draft);

    std::size_t scratch_size() const { return m_scratch.size(); }

private:
    // Sets `categories` from the "Keywords" values; leaves it absent when there are none.
    void read_categories(libpff_record_set_t* set, ContactDraft& draft);

    std::vector<uint8_t> m_scratch;
    std::u16string m_joined; // the joined categories, reused across items
};

// "YYYY-MM-DD" of a FILETIME (100 ns ticks since 1601-01-01), shifted by `shift_hours`.
// Returns false for values outside years 1601-9999.
bool format_filetime_date(uint64_t filetime, int shift_hours, char16_t out[10]);

// Sets the draft's index key from its first name: the first UTF-16 code unit as a one-unit
// text (empty when the first name is empty; absent when it is absent).
void set_index_key(ContactDraft& draft);

} // namespace contacts

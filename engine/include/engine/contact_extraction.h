// One contact item to one record: its properties read into a ContactDraft, numbered, keyed and
// built into the store's record.
//
// The 76 text values are read in the read table's order, then the plain-text body and the
// display name (PR_DISPLAY_NAME, which the vCard 3.0 and 4.0 outputs name a contact by). Values
// stored as Unicode (PT_UNICODE) are taken as stored, so every character reaches the record as
// the file holds it (surrogate pairs included); 8-bit values (PT_STRING8) are decoded in the
// message's code page (see engine/text_decoding.h). Birthday and anniversary stored as dates
// become "YYYY-MM-DD": the local-date named property when present, else the UTC value plus 12
// hours. Properties of other types leave their field absent. The categories and the flag
// state are read last, from their own properties.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contact_record.h"
#include "engine/pst_source.h"

namespace contacts {
class ContactStore;
}

namespace engine {

using contacts::ContactDraft;
using contacts::Field;

// The read table: fields in the order their properties are read (0x3A1C and 0x3A5D twice).
extern const std::array<Field, 76> kReadOrder;

// Named properties holding the local dates of the two date fields.
inline constexpr uint32_t kTagBirthdayLocal = 0x80DE;
inline constexpr uint32_t kTagAnniversaryLocal = 0x80DF;
// What identifies the item (PidTagSearchKey, binary): the contact's identity.
inline constexpr uint32_t kTagSearchKey = 0x300B;
// The flag state (PR_FLAG_STATUS, a long): 2 flagged, 1 completed.
inline constexpr uint32_t kTagFlagStatus = 0x1090;
// The categories: "Keywords" in PS_PUBLIC_STRINGS (pst::kPsPublicStrings), a multi-valued string.
inline constexpr std::u16string_view kCategoriesName = u"Keywords";

// Decodes the stored bytes of a multi-valued string (a little-endian u32 count, one u32 offset
// per value, then the values; each runs to the next offset or the end) and joins the non-empty
// values with "; " into `out` (replacing its contents). Unicode values are UTF-16LE; 8-bit ones
// are read in `codepage`. A value is cut at its first NUL. Returns false (and leaves `out`
// empty) when the layout is malformed: too short, offsets out of order or past the end.
bool join_multi_strings(const uint8_t* data, std::size_t size, bool unicode, std::u16string& out, int codepage = 1252);

// Reads contact items. Not thread-safe: one reader per scan thread.
class ContactReader
{
public:
    // Resets `draft` (every text absent, gender 0) and reads the properties into it; 8-bit
    // texts of a message that names no code page are read in `fallback_codepage`. Number,
    // index key, identity and the constants are left to the caller.
    void read(const PropertyList& properties, ContactDraft& draft, int fallback_codepage = 1252);

private:
    // The e-mail slots whose address type is EX, packed into the draft's exchange addresses.
    // `found`: the first property of each slot's type, address and original tag (nullptr when
    // absent), three a slot.
    void read_exchange(const PropertyList& list, int codepage, ContactDraft& draft,
                       std::span<const PropertyList::Property* const> found);
    // Sets `categories` from the "Keywords" values; leaves it absent when there are none.
    void read_categories(const PropertyList& properties, int codepage, ContactDraft& draft);

    std::u16string m_text;   // one value's text, reused across values
    std::u16string m_joined; // the joined categories, reused across items
};

// What identifies an item of the file across runs (a contact's or a group's UID): the first 16
// bytes of its PidTagSearchKey, else (no key, or one of zeros) its node id; zeros when it has
// neither (an item found in free space without a key).
contacts::ContactIdentity item_identity(const PropertyList& list, uint32_t node_id);

// The values of a contact that follow from its properties, node id and photo (null: none): what
// ContactReader::read reads, then the index key and the identity. The kind code is left alone.
void read_contact_values(const PropertyList& list, uint32_t node_id, const ContactPhoto* photo, ContactReader& reader,
                         ContactDraft& draft, int fallback_codepage);

// Reads one contact item into `draft`: its properties, its photo, `kind_code` and the index key
// that follows from them, and its identity (read ahead when the item has them so). A failure
// when the item's properties cannot be read.
pst::Status read_contact(PstItem& item, ContactReader& reader, ContactDraft& draft, int kind_code,
                         int fallback_codepage);

// Gives a read draft its number (the store's next) and builds the record; nullptr when memory
// runs out.
contacts::ContactRecordPtr build_contact(contacts::ContactStore& store, ContactDraft& draft);

// The type of a photo: what its bytes' signature says, else its MIME tag, else its extension;
// none when nothing names a type the outputs can carry.
contacts::PhotoType photo_type_of(const ContactPhoto& photo);

// "YYYY-MM-DD" of a FILETIME (100 ns ticks since 1601-01-01), shifted by `shift_hours`.
// Returns false for values outside years 1601-9999.
bool format_filetime_date(uint64_t filetime, int shift_hours, char16_t out[10]);

// Sets the draft's index key from its first name: the first UTF-16 code unit as a one-unit
// text (empty when the first name is empty; absent when it is absent).
void set_index_key(ContactDraft& draft);

} // namespace engine

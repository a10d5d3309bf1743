// The cards an upload sends: the converter's own vCard 3.0 or 4.0 output, one card per resource.
//
// make_cards runs the .vcf writer (contacts/output_writers.h) into memory with the version asked
// for and cuts its text into cards, so a card on the server is byte for byte the card of a
// --format vcf file of the same version (unique UIDs, EX addresses, groups after the contacts:
// 4.0 KIND:group, 3.0 X-ADDRESSBOOKSERVER-KIND:group). Each card's resource is named from its
// UID ("<uid>.vcf").
//
// No Qt here but fit_card's image reader (QtGui's QImageReader, which needs no display).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contact_groups.h"
#include "contacts/contact_store.h"
#include "contacts/output_writers.h"
#include "pst/status.h"

namespace carddav {

struct Card
{
    std::string uid;  // the UID property's value
    std::string text; // BEGIN:VCARD ... END:VCARD CRLF, UTF-8
    std::string name; // FN, unescaped (UTF-8), for reports
    bool group = false;
    // The resource's name in the address book: the UID, made safe for a path segment, + ".vcf".
    std::string resource_name() const;
};

// What make_cards reads.
struct CardSource
{
    const contacts::ContactStore* store = nullptr;
    // Not empty: only these records, in this order (the merged book, the window's selection).
    std::vector<const contacts::ContactRecord*> selection;
    // The distribution lists (may be null): group cards after the contacts.
    const contacts::ContactGroups* groups = nullptr;
    // The SMTP addresses of Exchange DNs, built only when a card needs one (may be empty).
    std::function<contacts::ExchangeMap()> exchange_map;
};

// Every card of `source` in `version` (3.0 or 4.0; 2.1 is refused by CardDAV servers and
// answered with a failure). Fails only when the writer does.
pst::Status make_cards(const CardSource& source, contacts::VcardVersion version, std::vector<Card>* cards);

// Cuts a .vcf text of the writer into its cards (the UID and FN read from each).
std::vector<Card> split_cards(std::string_view vcf);

// The logical lines of a card: continuation lines (a blank or tab first) joined to the line
// before them, line ends and empty lines left out.
std::vector<std::string> logical_lines(std::string_view card);

// Fits `card` into `limit` bytes: while it is larger and holds a PHOTO, the photo is decoded with
// Qt's image reader and written again as a JPEG of smaller dimensions (and quality) until the card
// fits, the lines folded as the writer folds them. Returns whether the card now fits; *scaled
// says whether its photo was changed. A card larger than the limit without a photo is left as it
// is (the server's answer will say what it thinks).
bool fit_card(Card& card, int64_t limit, bool* scaled);

} // namespace carddav

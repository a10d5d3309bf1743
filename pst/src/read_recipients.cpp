// A message's recipient table (subnode 0x692): one row per recipient, its columns the
// recipient's properties (PidTagRecipientType, PidTagDisplayName, PidTagAddressType, ...).
#include "pst/messaging.h"

#include "read_ndb.h"

namespace pst::read {

int open_recipient_table(File& file, const Node& message, Table* table, std::string* why)
{
    if (message.bid_sub == 0)
        return 0;
    const auto at = [&] { return "recipients of node " + detail::hex(message.nid) + ": "; };
    Node sub;
    std::string inner;
    const int found = file.find_subnode(message.bid_sub, nid::kRecipientTable, &sub, &inner);
    if (found < 0)
        return detail::fail(why, at() + inner);
    if (found == 0)
        return 0;
    if (table->open(file, sub, &inner) < 0)
        return detail::fail(why, at() + inner);
    return 1;
}

} // namespace pst::read

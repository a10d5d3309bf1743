// A message's recipient table (subnode 0x692): one row per recipient, its columns the
// recipient's properties (PidTagRecipientType, PidTagDisplayName, PidTagAddressType, ...).
#include "pst/messaging.h"

#include "read_ndb.h"

namespace pst::read {

Status open_recipient_table(File& file, const Node& message, Table* table)
{
    if (message.bid_sub == 0)
        return Status::none();
    const auto at = [&] { return "recipients of node " + detail::hex(message.nid) + ": "; };
    Node sub;
    Status found = file.find_subnode(message.bid_sub, nid::kRecipientTable, &sub);
    if (!found)
        return std::move(found).within(at());
    if (found.absent)
        return Status::none();
    if (Status status = table->open(file, sub); !status)
        return std::move(status).within(at());
    return Status::success();
}

} // namespace pst::read

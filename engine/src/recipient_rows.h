// A message's recipient rows, read by each reader behind the seam (PstItem::recipient_rows).
#pragma once

#include <string>

#include <libpff.h>

#include "engine/pst_source.h"
#include "pst/reader.h"

namespace engine {

// Through our own reader: the recipient table of `message` (a node B-tree entry), opened in
// `table` (kept by the caller from message to message, so that its buffers are reused). Results
// as PstItem::recipient_rows, a failure with what could not be read when the table cannot be.
pst::Status read_recipient_rows(pst::read::File& file, const pst::read::Node& message, pst::read::Table& table,
                                RecipientRows* out);

// Through libpff: the recipients item of `message`, one record set per row.
pst::Status read_recipient_rows(libpff_item_t* message, RecipientRows* out);

} // namespace engine

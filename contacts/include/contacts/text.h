// UTF-8 / UTF-16 conversion for record texts: the PST layer's conversions (pst/text.h), under
// the names the contacts code uses.
#pragma once

#include "pst/text.h"

namespace contacts {

using pst::units_before_nul;
using pst::utf16_to_utf8;
using pst::utf16le_to_utf16;
using pst::utf8_is_valid;
using pst::utf8_to_utf16;

} // namespace contacts

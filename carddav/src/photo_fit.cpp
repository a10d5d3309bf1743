#include "carddav/cards.h"

namespace carddav {

bool fit_card(Card& card, int64_t limit, bool* scaled)
{
    *scaled = false;
    return static_cast<int64_t>(card.text.size()) <= limit;
}

} // namespace carddav

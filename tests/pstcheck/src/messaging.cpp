// LTP and messaging layers (filled in below the NDB checks).
#include "model.h"

namespace pstcheck::detail {

void check_messaging(File&) {}

} // namespace pstcheck::detail

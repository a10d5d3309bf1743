// The extraction's reusable buffers, kept by the export handle.
#pragma once

#include "contacts/contact_extraction.h"
#include "contacts/contact_record.h"

namespace engine {

struct ExtractionState
{
    contacts::ContactReader reader;
    contacts::ContactDraft draft;
};

} // namespace engine

// The extraction's reusable buffers, kept by the export handle.
#pragma once

#include "contacts/contact_record.h"
#include "engine/contact_extraction.h"

namespace engine {

struct ExtractionState
{
    ContactReader reader;
    contacts::ContactDraft draft;
};

} // namespace engine

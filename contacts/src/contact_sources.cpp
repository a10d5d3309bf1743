#include "contacts/contact_sources.h"

#include <algorithm>

#include "contacts/contact_store.h"
#include "contacts/text.h"

namespace contacts {

uint32_t ContactSources::add_file(std::string path)
{
    File file;
    const std::size_t slash = path.find_last_of('/');
    utf8_to_utf16(slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1),
                  file.name);
    file.path = std::move(path);
    return static_cast<uint32_t>(m_files.push_back(std::move(file)));
}

uint32_t ContactSources::add_place(uint32_t file, std::u16string folder)
{
    return static_cast<uint32_t>(m_places.push_back(Place{file, std::move(folder)})) + 1;
}

uint32_t ContactSources::file_of(uint32_t place) const noexcept
{
    return place == kNoPlace ? kUnknownFile : m_places[place - 1].file;
}

std::u16string_view ContactSources::folder_of(uint32_t place) const noexcept
{
    return place == kNoPlace ? std::u16string_view() : std::u16string_view(m_places[place - 1].folder);
}

void ContactSources::clear() noexcept
{
    m_files.clear();
    m_places.clear();
}

ContactSource contact_source(const ContactStore& store, const ContactRecord& record) noexcept
{
    const ContactSources& sources = store.sources();
    ContactSource source;
    source.file = sources.file_of(record.place());
    if (source.file != kUnknownFile) {
        source.path = sources.file_path(source.file);
    }
    source.folder = sources.folder_of(record.place());
    source.node_id = record.node_id();
    return source;
}

bool identity_is_search_key(const ContactIdentity& identity) noexcept
{
    // identity_of_node: "NID:", four bytes of the id, zeros.
    const ContactIdentity node_form = identity_of_node(0);
    const bool of_node = std::equal(identity.begin(), identity.begin() + 4, node_form.begin()) &&
                         std::all_of(identity.begin() + 8, identity.end(), [](uint8_t b) { return b == 0; });
    return !of_node && identity != ContactIdentity{};
}

} // namespace contacts

#include "contacts/contact_record.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "contacts/text.h"

namespace contacts {

namespace {

// The bits set in `word`, counted inline: std::popcount is a call into the compiler's library
// on processors without a population count instruction, which the baseline x86-64 lacks.
std::size_t bits_set(uint32_t word)
{
    word = word - ((word >> 1) & 0x55555555u);
    word = (word & 0x33333333u) + ((word >> 2) & 0x33333333u);
    word = (word + (word >> 4)) & 0x0F0F0F0Fu;
    return (word * 0x01010101u) >> 24;
}

bool is_text(Field f)
{
    return field_info(f).type == FieldType::Text;
}

// The code units before the first NUL (all of them when there is none).
std::size_t length_to_nul(std::u16string_view v)
{
    return units_before_nul(v.data(), v.size());
}

} // namespace

// ---- ContactDraft

ContactDraft::ContactDraft()
{
    reset();
}

ContactDraft::ContactDraft(const ContactDraft& other)
    : m_buffer(other.m_used != 0 ? std::make_unique_for_overwrite<char16_t[]>(other.m_used) : nullptr),
      m_used(other.m_used), m_capacity(other.m_used), m_start(other.m_start), m_length(other.m_length),
      m_no_nul(other.m_no_nul), m_present(other.m_present), m_gender(other.m_gender), m_kind_code(other.m_kind_code),
      m_number(other.m_number), m_origin(other.m_origin), m_photo_type(other.m_photo_type), m_photo(other.m_photo),
      m_identity(other.m_identity), m_exchange(other.m_exchange), m_place(other.m_place), m_node_id(other.m_node_id)
{
    std::char_traits<char16_t>::copy(m_buffer.get(), other.m_buffer.get(), m_used);
}

ContactDraft& ContactDraft::operator=(const ContactDraft& other)
{
    if (this != &other) {
        ContactDraft copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void ContactDraft::reset()
{
    if (m_capacity * sizeof(char16_t) > kKeptBytes) {
        m_buffer.reset();
        m_capacity = 0;
    }
    if (m_photo.capacity() > kKeptBytes) {
        m_photo = std::vector<uint8_t>();
    }
    if (m_exchange.capacity() * sizeof(char16_t) > kKeptBytes) {
        m_exchange = std::u16string();
    }
    m_used = 0;
    m_start.fill(0);
    m_length.fill(kAbsent);
    m_no_nul.reset();
    m_present.fill(0);
    m_gender = 0;
    m_kind_code = kContactKindCode;
    m_number = 0;
    m_origin = Origin::live;
    m_photo_type = PhotoType::none;
    m_photo.clear();
    m_identity.fill(0);
    m_exchange.clear();
    m_place = 0;
    m_node_id = 0;
}

void ContactDraft::set_photo(std::span<const uint8_t> bytes, PhotoType type)
{
    if (bytes.empty() || type == PhotoType::none) {
        m_photo.clear();
        m_photo_type = PhotoType::none;
        return;
    }
    m_photo.assign(bytes.begin(), bytes.end());
    m_photo_type = type;
}

void ContactDraft::swap(ContactDraft& other) noexcept
{
    using std::swap;
    swap(m_buffer, other.m_buffer);
    swap(m_used, other.m_used);
    swap(m_capacity, other.m_capacity);
    // The tables through a copy each: swapping them element by element costs more.
    const auto start = m_start;
    m_start = other.m_start;
    other.m_start = start;
    const auto length = m_length;
    m_length = other.m_length;
    other.m_length = length;
    swap(m_no_nul, other.m_no_nul);
    swap(m_present, other.m_present);
    swap(m_gender, other.m_gender);
    swap(m_kind_code, other.m_kind_code);
    swap(m_number, other.m_number);
    swap(m_origin, other.m_origin);
    swap(m_photo_type, other.m_photo_type);
    m_photo.swap(other.m_photo);
    swap(m_identity, other.m_identity);
    m_exchange.swap(other.m_exchange);
    swap(m_place, other.m_place);
    swap(m_node_id, other.m_node_id);
}

void ContactDraft::grow(std::size_t length)
{
    // Room to spare past a long text (a contact's notes), for the short ones read after it (the
    // display name, the dates, the categories), which would otherwise copy it all again.
    constexpr std::size_t kSpare = 1024;
    const std::size_t capacity = std::max({m_capacity * 2, m_used + length + kSpare, std::size_t{1024}});
    auto grown = std::make_unique_for_overwrite<char16_t[]>(capacity);
    std::char_traits<char16_t>::copy(grown.get(), m_buffer.get(), m_used);
    m_buffer = std::move(grown);
    m_capacity = capacity;
}

char16_t* ContactDraft::set_text_uninitialized(Field f, std::size_t length)
{
    if (!is_text(f)) {
        return nullptr;
    }
    const auto i = field_index(f);
    if (m_capacity - m_used < length) {
        grow(length);
    }
    m_start[i] = static_cast<uint32_t>(m_used);
    m_length[i] = static_cast<uint32_t>(length);
    m_no_nul.reset(i);
    m_present[i / 32] |= 1u << (i % 32);
    m_used += length;
    return m_buffer.get() + m_start[i];
}

void ContactDraft::set_text(Field f, std::u16string_view value)
{
    // A value taken from this draft would move when the buffer grows: copy it first.
    const bool inside = m_used != 0 && value.data() >= m_buffer.get() && value.data() < m_buffer.get() + m_used;
    if (inside) {
        const std::u16string copy(value);
        set_text(f, copy);
        return;
    }
    if (char16_t* out = set_text_uninitialized(f, value.size())) {
        std::char_traits<char16_t>::copy(out, value.data(), value.size());
    }
}

void ContactDraft::truncate_text(Field f, std::size_t length)
{
    const auto i = field_index(f);
    if (m_length[i] != kAbsent && length < m_length[i]) {
        m_length[i] = static_cast<uint32_t>(length);
    }
}

void ContactDraft::end_text_before_nul(Field f, std::size_t length)
{
    const auto i = field_index(f);
    if (m_length[i] != kAbsent && length <= m_length[i]) {
        m_length[i] = static_cast<uint32_t>(length);
        m_no_nul.set(i);
    }
}

void ContactDraft::clear_text(Field f)
{
    const auto i = field_index(f);
    m_length[i] = kAbsent;
    m_present[i / 32] &= ~(1u << (i % 32));
}

std::optional<std::u16string_view> ContactDraft::text(Field f) const
{
    const auto i = field_index(f);
    if (m_length[i] == kAbsent) {
        return std::nullopt;
    }
    return std::u16string_view(m_buffer.get() + m_start[i], m_length[i]);
}

// ---- ContactRecord

uint32_t ContactRecord::offset(std::size_t slot) const noexcept
{
    const auto* after = reinterpret_cast<const unsigned char*>(this) + sizeof(ContactRecord);
    if (m_short_offsets) {
        return reinterpret_cast<const uint16_t*>(after)[slot];
    }
    return reinterpret_cast<const uint32_t*>(after)[slot];
}

std::u16string_view ContactRecord::slot_text(std::size_t slot) const noexcept
{
    // A text ends where the next one starts, the last one where the EX addresses do.
    const uint32_t start = offset(slot);
    const uint32_t end = slot + 1 < m_present_count ? offset(slot + 1) : m_exchange_at;
    return std::u16string_view(block() + start, end - start);
}

const char16_t* ContactRecord::block() const noexcept
{
    const std::size_t offset_bytes = m_short_offsets ? sizeof(uint16_t) : sizeof(uint32_t);
    return reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(this) + sizeof(ContactRecord) +
                                             m_present_count * offset_bytes);
}

void ContactRecord::plan_for(const ContactDraft& draft, Plan& plan) noexcept
{
    std::size_t units = 0;
    plan.present = 0;
    plan.present_bits = draft.m_present;
    for (std::size_t word = 0; word < plan.present_bits.size(); ++word) {
        for (uint32_t bits = plan.present_bits[word]; bits != 0; bits &= bits - 1) {
            const std::size_t i = word * 32 + static_cast<std::size_t>(std::countr_zero(bits));
            const std::size_t length =
                draft.m_no_nul[i]
                    ? draft.m_length[i]
                    : length_to_nul(std::u16string_view(draft.m_buffer.get() + draft.m_start[i], draft.m_length[i]));
            plan.length[i] = static_cast<uint32_t>(length);
            units += length;
            ++plan.present;
        }
    }
    plan.short_offsets = units <= UINT16_MAX;
    units += draft.exchange().size();
    const std::size_t offset_bytes = plan.short_offsets ? sizeof(uint16_t) : sizeof(uint32_t);
    std::size_t bytes = sizeof(ContactRecord) + plan.present * offset_bytes + units * sizeof(char16_t);
    const PhotoView photo = draft.photo();
    if (!photo.empty()) {
        bytes += photo.bytes.size() + sizeof(uint32_t);
    }
    plan.bytes = bytes > UINT32_MAX ? 0 : bytes;
}

ContactRecord* ContactRecord::build_in(void* memory, const Plan& plan, const ContactDraft& draft,
                                       bool in_arena) noexcept
{
    static_assert(sizeof(ContactRecord) % alignof(uint32_t) == 0);
    auto* record = new (memory) ContactRecord();
    record->m_bytes = static_cast<uint32_t>(plan.bytes);
    record->m_kind_code = draft.kind_code();
    record->m_number = draft.number();
    record->m_gender = draft.gender();
    record->m_in_arena = in_arena;
    record->m_origin = draft.origin();
    record->m_identity = draft.identity();
    record->m_place = draft.place();
    record->m_node_id = draft.node_id();
    record->m_present_count = static_cast<uint8_t>(plan.present);
    record->m_short_offsets = plan.short_offsets;
    auto* offsets = static_cast<unsigned char*>(memory) + sizeof(ContactRecord);
    auto* out = const_cast<char16_t*>(record->block());
    uint32_t at = 0;
    std::size_t slot = 0;
    record->m_present = plan.present_bits;
    // The present texts in field order: by their bits, lowest first.
    for (std::size_t word = 0; word < plan.present_bits.size(); ++word) {
        for (uint32_t bits = plan.present_bits[word]; bits != 0; bits &= bits - 1) {
            const std::size_t i = word * 32 + static_cast<std::size_t>(std::countr_zero(bits));
            const uint32_t n = plan.length[i];
            if (plan.short_offsets) {
                reinterpret_cast<uint16_t*>(offsets)[slot++] = static_cast<uint16_t>(at);
            } else {
                reinterpret_cast<uint32_t*>(offsets)[slot++] = at;
            }
            std::char_traits<char16_t>::copy(out + at, draft.m_buffer.get() + draft.m_start[i], n);
            at += n;
        }
    }
    const std::u16string_view exchange = draft.exchange();
    record->m_exchange_at = at;
    record->m_exchange_units = static_cast<uint32_t>(exchange.size());
    std::char_traits<char16_t>::copy(out + at, exchange.data(), exchange.size());
    // The photo ends the record: its bytes, then their count (unaligned, copied bytewise).
    const PhotoView photo = draft.photo();
    if (!photo.empty()) {
        record->m_photo_type = photo.type;
        auto* end = static_cast<unsigned char*>(memory) + plan.bytes;
        const auto size = static_cast<uint32_t>(photo.bytes.size());
        std::memcpy(end - sizeof size, &size, sizeof size);
        std::memcpy(end - sizeof size - size, photo.bytes.data(), size);
    }
    return record;
}

PhotoView ContactRecord::photo() const noexcept
{
    if (m_photo_type == PhotoType::none) {
        return {};
    }
    const auto* end = reinterpret_cast<const unsigned char*>(this) + m_bytes;
    uint32_t size = 0;
    std::memcpy(&size, end - sizeof size, sizeof size);
    return {std::span<const uint8_t>(end - sizeof size - size, size), m_photo_type};
}

std::u16string_view ContactRecord::exchange() const noexcept
{
    return {block() + m_exchange_at, m_exchange_units};
}

void append_exchange_address(int slot, std::u16string_view dn, std::u16string_view original, std::u16string& packed)
{
    packed += static_cast<char16_t>(u'0' + slot);
    packed += dn;
    packed += u'\x1F';
    packed += original;
    packed += u'\x1E';
}

std::vector<ExchangeAddress> exchange_addresses(std::u16string_view packed)
{
    std::vector<ExchangeAddress> out;
    while (!packed.empty()) {
        const std::size_t end = packed.find(u'\x1E');
        const std::u16string_view entry = packed.substr(0, end);
        packed.remove_prefix(end == std::u16string_view::npos ? packed.size() : end + 1);
        const std::size_t split = entry.find(u'\x1F');
        if (entry.empty() || entry[0] < u'0' || entry[0] > u'2' || split == std::u16string_view::npos) {
            continue;
        }
        out.push_back({entry[0] - u'0', entry.substr(1, split - 1), entry.substr(split + 1)});
    }
    return out;
}

ContactIdentity identity_of_node(uint32_t node_id) noexcept
{
    ContactIdentity id{'N', 'I', 'D', ':'};
    for (int i = 0; i < 4; ++i) {
        id[4 + i] = static_cast<uint8_t>(node_id >> (24 - 8 * i));
    }
    return id;
}

ContactIdentity identity_of_search_key(std::span<const uint8_t> key) noexcept
{
    ContactIdentity id{};
    std::copy_n(key.begin(), std::min(key.size(), id.size()), id.begin());
    return id;
}

std::string_view origin_name(Origin origin) noexcept
{
    switch (origin) {
    case Origin::live:
        return "live";
    case Origin::orphan:
        return "orphan";
    case Origin::recovered:
        return "recovered";
    case Origin::autocomplete:
        return "autocomplete";
    case Origin::recipient_cache:
        return "recipient_cache";
    case Origin::correspondent:
        return "correspondent";
    }
    return "live";
}

std::u16string_view origin_category(Origin origin) noexcept
{
    switch (origin) {
    case Origin::autocomplete:
        return u"Autocomplete";
    case Origin::recipient_cache:
        return u"Recipient cache";
    case Origin::correspondent:
        return u"Correspondent";
    case Origin::live:
    case Origin::orphan:
    case Origin::recovered:
        break;
    }
    return {};
}

namespace {

struct PhotoTypeInfo
{
    PhotoType type;
    std::string_view name;
    std::string_view mime;
};
constexpr PhotoTypeInfo kPhotoTypes[] = {
    {PhotoType::jpeg, "JPEG", "image/jpeg"},
    {PhotoType::png, "PNG", "image/png"},
    {PhotoType::gif, "GIF", "image/gif"},
};

// MIME types and extensions (ASCII case ignored) that name each type.
struct PhotoAlias
{
    std::string_view text;
    PhotoType type;
};
constexpr PhotoAlias kMimeAliases[] = {
    {"image/jpeg", PhotoType::jpeg}, {"image/jpg", PhotoType::jpeg},  {"image/pjpeg", PhotoType::jpeg},
    {"image/png", PhotoType::png},   {"image/x-png", PhotoType::png}, {"image/gif", PhotoType::gif},
};
constexpr PhotoAlias kExtensionAliases[] = {
    {"jpg", PhotoType::jpeg},  {"jpeg", PhotoType::jpeg}, {"jpe", PhotoType::jpeg},
    {"jfif", PhotoType::jpeg}, {"png", PhotoType::png},   {"gif", PhotoType::gif},
};

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

template <std::size_t N> PhotoType find_alias(const PhotoAlias (&table)[N], std::string_view text) noexcept
{
    // Stored texts may carry blanks or a terminator.
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    for (const auto& alias : table) {
        if (equal_ignoring_ascii_case(alias.text, text)) {
            return alias.type;
        }
    }
    return PhotoType::none;
}

const PhotoTypeInfo* photo_info(PhotoType type) noexcept
{
    for (const auto& info : kPhotoTypes) {
        if (info.type == type) {
            return &info;
        }
    }
    return nullptr;
}

} // namespace

std::string_view photo_type_name(PhotoType type) noexcept
{
    const PhotoTypeInfo* info = photo_info(type);
    return info == nullptr ? std::string_view() : info->name;
}

std::string_view photo_mime_type(PhotoType type) noexcept
{
    const PhotoTypeInfo* info = photo_info(type);
    return info == nullptr ? std::string_view() : info->mime;
}

PhotoType photo_type_from_mime(std::string_view mime) noexcept
{
    return find_alias(kMimeAliases, mime);
}

PhotoType photo_type_from_extension(std::string_view extension) noexcept
{
    if (const auto dot = extension.rfind('.'); dot != std::string_view::npos) {
        extension.remove_prefix(dot + 1);
    }
    return find_alias(kExtensionAliases, extension);
}

PhotoType photo_type_from_magic(std::span<const uint8_t> b) noexcept
{
    if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) {
        return PhotoType::jpeg;
    }
    if (b.size() >= 4 && b[0] == 0x89 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G') {
        return PhotoType::png;
    }
    if (b.size() >= 4 && b[0] == 'G' && b[1] == 'I' && b[2] == 'F' && b[3] == '8') {
        return PhotoType::gif;
    }
    return PhotoType::none;
}

ContactRecordPtr ContactRecord::make(const ContactDraft& draft) noexcept
{
    Plan plan;
    plan_for(draft, plan);
    void* memory = plan.bytes == 0 ? nullptr : ::operator new(plan.bytes, std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    return ContactRecordPtr(build_in(memory, plan, draft, false));
}

void ContactRecordDeleter::operator()(ContactRecord* r) const noexcept
{
    // A record in a store's arena goes with the arena.
    if (r != nullptr && !r->m_in_arena) {
        r->~ContactRecord();
        ::operator delete(static_cast<void*>(r));
    }
}

std::optional<std::u16string_view> ContactRecord::text(Field f) const noexcept
{
    switch (field_info(f).type) {
    case FieldType::Constant:
        return f == Field::kind_name ? kKindName : kGroupName;
    case FieldType::Text: {
        const auto i = field_index(f);
        const uint32_t word = m_present[i / 32];
        const uint32_t bit = 1u << (i % 32);
        if ((word & bit) == 0) {
            return std::nullopt;
        }
        // The slot of a present field: the present fields before it.
        std::size_t slot = bits_set(word & (bit - 1));
        for (std::size_t w = 0; w < i / 32; ++w) {
            slot += bits_set(m_present[w]);
        }
        return slot_text(slot);
    }
    default:
        return std::nullopt;
    }
}

std::u16string_view ContactRecord::text_or_empty(Field f) const noexcept
{
    return text(f).value_or(std::u16string_view());
}

void ContactRecord::texts(RecordTexts& out) const noexcept
{
    out.fill({});
    for (const FieldInfo& info : kFieldTable) {
        if (info.type == FieldType::Constant) {
            out[field_index(info.field)] = text_or_empty(info.field);
        }
    }
    // The present texts lie in field order, one slot each.
    std::size_t slot = 0;
    for (std::size_t word = 0; word < m_present.size(); ++word) {
        for (uint32_t bits = m_present[word]; bits != 0; bits &= bits - 1) {
            out[word * 32 + static_cast<std::size_t>(std::countr_zero(bits))] = slot_text(slot++);
        }
    }
}

bool ContactRecord::has(Field f) const noexcept
{
    if (!is_text(f)) {
        return text(f).has_value();
    }
    const auto i = field_index(f);
    return (m_present[i / 32] >> (i % 32) & 1u) != 0;
}

const FieldInfo* field_by_name(std::string_view name) noexcept
{
    for (const auto& info : kFieldTable) {
        if (name == info.name) {
            return &info;
        }
    }
    return nullptr;
}

} // namespace contacts

namespace contacts {

namespace {

// Both forms of every label, built once.
struct LabelForms
{
    std::array<std::u16string, kOutputLabels.size()> text;
    std::array<std::u16string, kOutputLabels.size()> html;

    LabelForms()
    {
        for (std::size_t i = 0; i < kOutputLabels.size(); ++i) {
            const OutputLabel& l = kOutputLabels[i];
            std::u16string_view separator = l.separator;
            text[i] = std::u16string(l.label) + std::u16string(separator);
            while (!separator.empty() && separator.back() == u' ') {
                separator.remove_suffix(1);
            }
            html[i] =
                u"<b>" + std::u16string(l.label) + std::u16string(separator) + u"</b>" + (l.html_blank ? u" " : u"");
        }
    }
};

const LabelForms& label_forms()
{
    static const LabelForms forms;
    return forms;
}

std::size_t label_index(const OutputLabel& label)
{
    return static_cast<std::size_t>(&label - kOutputLabels.data());
}

} // namespace

std::u16string_view text_form(const OutputLabel& label)
{
    return label_forms().text[label_index(label)];
}

std::u16string_view html_form(const OutputLabel& label)
{
    return label_forms().html[label_index(label)];
}

} // namespace contacts

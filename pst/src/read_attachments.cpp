// A message's attachment table (subnode 0x671) and the attachment objects its rows name.
#include "read_ndb.h"

namespace pst::read {

using namespace detail;

namespace {
constexpr uint32_t kNidAttachmentTable = nid::kAttachmentTable;
constexpr uint32_t kTypeAttachment = nid::kTypeAttachment;
} // namespace

struct Attachments::Impl
{
    File* file = nullptr;
    Node message;
    Table table;
    bool open = false;
};

Attachments::Attachments() : m_impl(std::make_unique<Impl>()) {}
Attachments::~Attachments() = default;

Status Attachments::open(File& file, const Node& message)
{
    Impl& m = *m_impl;
    m.file = &file;
    m.message = message;
    m.open = false;
    const auto at = [&] { return "attachments of node " + hex(message.nid) + ": "; };
    if (message.bid_sub == 0)
        return Status::none();
    Node sub;
    Status found = file.find_subnode(message.bid_sub, kNidAttachmentTable, &sub);
    if (!found)
        return std::move(found).within(at());
    if (found.absent)
        return Status::none();
    if (Status status = m.table.open(file, sub); !status)
        return std::move(status).within(at());
    m.open = true;
    return Status::success();
}

size_t Attachments::count() const
{
    return m_impl->open ? m_impl->table.row_count() : 0;
}

uint32_t Attachments::nid(size_t i) const
{
    return m_impl->table.row_id(i);
}

Table& Attachments::table()
{
    return m_impl->table;
}

Status Attachments::open_attachment(size_t i, PropertyContext* pc)
{
    Impl& m = *m_impl;
    if (i >= count())
        return fail("attachment " + std::to_string(i) + " is past the attachment table");
    const uint32_t id = nid(i);
    const auto at = [&] { return "attachment " + hex(id) + " of node " + hex(m.message.nid) + ": "; };
    if ((id & 0x1F) != kTypeAttachment)
        return fail(at() + "the row names no attachment object");
    Node sub;
    Status found = m.file->find_subnode(m.message.bid_sub, id, &sub);
    if (!found)
        return std::move(found).within(at());
    if (found.absent)
        return fail(at() + "no such subnode");
    if (Status status = pc->open(*m.file, sub); !status)
        return std::move(status).within(at());
    return Status::success();
}

} // namespace pst::read

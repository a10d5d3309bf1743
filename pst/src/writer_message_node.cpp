#include "writer_impl.h"
#include "writer_props.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace pst::detail {

Status WriterImpl::next_message(const Message& message, FolderId folder_id, Folder** folder, BuiltMessage* out)
{
    const Status st = accepting(folder_id, folder);
    if (!st)
        return st;
    out->nid = make_nid(m_next_message, kTypeMessage);
    return build_message(message, out->nid, &out->props, &out->node);
}

Status WriterImpl::build_message(const Message& message, uint32_t nid, std::vector<StoredProp>* out, NodeData* node)
{
    std::vector<StoredProp>& props = *out;
    Status st = stored_props(message.properties(), &props);
    if (!st)
        return st;
    bool has_string8 = std::any_of(props.begin(), props.end(), [](const StoredProp& p) {
        return (p.type & 0x0FFF) == type_code(PropType::String8);
    });
    const bool has_attachments = !message.attachments().empty();
    if (has_attachments) {
        for (StoredProp& p : props)
            if (p.id == 0x0E07 && p.type == type_code(PropType::Long) && p.data.size() == 4)
                put32(p.data.data(), get32(p.data.data()) | kMsgFlagHasAttach);
        props.erase(std::remove_if(props.begin(), props.end(), [](const StoredProp& p) { return p.id == 0x0E1B; }),
                    props.end());
        props.push_back({0x0E1B, type_code(PropType::Boolean), le8(1)});
    }
    props.push_back({0x001A, type_code(PropType::Unicode), utf16le(message.message_class())});
    props.push_back(
        {0x0E07, type_code(PropType::Long), le32(kMsgFlagRead | (has_attachments ? kMsgFlagHasAttach : 0))});
    props.push_back({0x0E17, type_code(PropType::Long), le32(0)});
    props.push_back({0x3007, type_code(PropType::SysTime), le64(m_time)});
    props.push_back({0x3008, type_code(PropType::SysTime), le64(m_time)});
    props.push_back({0x300B, type_code(PropType::Binary), search_key(nid)});
    if (has_string8 && message.codepage_properties()) {
        props.push_back({0x3FFD, type_code(PropType::Long), le32(message.codepage())});
        props.push_back({0x3FDE, type_code(PropType::Long), le32(message.codepage())});
    }
    props.erase(std::remove_if(props.begin(), props.end(), [](const StoredProp& p) { return p.id == 0x0E08; }),
                props.end());
    props.push_back({0x0E08, type_code(PropType::Long), le32(0)}); // filled in with the node's size
    sort_props(props);

    SubnodeData recipients;
    recipients.nid = kNidRecipientTemplate;
    st = recipient_table(message, &recipients.node);
    if (!st)
        return st;
    std::vector<SubnodeData> extra;
    extra.push_back(std::move(recipients));
    st = attachment_nodes(message, &extra);
    if (!st)
        return st;
    uint32_t size = 0;
    *node = build_pc(m_format, props, std::move(extra), 0x0E08, &size);
    for (auto& p : props)
        if (p.id == 0x0E08)
            p.data = le32(size);
    return Status::success();
}

Status WriterImpl::attachment_nodes(const Message& m, std::vector<SubnodeData>* out)
{
    if (m.attachments().empty())
        return Status::success();
    TableBuilder table(m_format, kAttachmentColumns);
    uint32_t index = kFirstAttachment;
    for (const Attachment& a : m.attachments()) {
        std::vector<StoredProp> props;
        Status st = stored_props(a.properties, &props);
        if (!st)
            return st;
        props.erase(std::remove_if(props.begin(), props.end(), [](const StoredProp& p) { return p.id == 0x0E20; }),
                    props.end());
        props.push_back({0x0E20, type_code(PropType::Long), le32(0)}); // filled in with the object's size
        props.push_back({0x3705, type_code(PropType::Long), le32(kAttachByValue)});
        props.push_back({0x370B, type_code(PropType::Long), le32(0xFFFFFFFFu)}); // not rendered in the body
        sort_props(props);
        SubnodeData s;
        s.nid = make_nid(index++, kTypeAttachment);
        uint32_t size = 0;
        s.node = build_pc(m_format, props, {}, 0x0E20, &size);
        for (auto& p : props)
            if (p.id == 0x0E20)
                p.data = le32(size);
        table.add_row(s.nid, m_row_version++, copy_cells(props, kAttachmentColumns, m.codepage()).cells);
        out->push_back(std::move(s));
    }
    SubnodeData t;
    t.nid = kNidAttachmentTemplate;
    t.node = table.finish();
    out->push_back(std::move(t));
    return Status::success();
}

Bytes WriterImpl::search_key(uint32_t nid) const
{
    Bytes b(m_record_key.begin(), m_record_key.end());
    put32(b.data() + 12, get32(b.data() + 12) ^ nid);
    return b;
}

Status WriterImpl::stored_props(const std::vector<Property>& in, std::vector<StoredProp>* out)
{
    for (const Property& p : in) {
        uint16_t id = p.name.id;
        if (p.name.kind != PropertyName::Kind::Id) {
            id = m_names.id_of(p.name);
            if (id == 0)
                return Status::failure("Too many named properties for one PST file");
        }
        StoredProp sp{id, static_cast<uint16_t>(p.value.type), {}};
        sp.view = stored_form(p.value);
        if (!sp.view.data() && !encode_value(p.value, &sp.data))
            return Status::failure("A property value does not match its type (property 0x" + hex(id) + ")");
        out->push_back(std::move(sp));
    }
    return Status::success();
}

std::string WriterImpl::hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}

Status WriterImpl::recipient_table(const Message& m, NodeData* out)
{
    if (m.recipients().empty()) {
        *out = m_no_recipients; // most messages: the same empty table
        return Status::success();
    }
    std::vector<uint32_t> columns = kRecipientColumns;
    std::vector<std::vector<StoredProp>> rows;
    for (const Recipient& r : m.recipients()) {
        std::vector<StoredProp> props;
        for (const Property& p : r.properties)
            if (p.name.kind != PropertyName::Kind::Id)
                return Status::failure("Recipient properties must be plain property ids");
        Status st = stored_props(r.properties, &props);
        if (!st)
            return st;
        sort_props(props);
        for (const auto& p : props) {
            uint32_t tag = static_cast<uint32_t>(p.id) << 16 | p.type;
            bool widened = p.type == type_code(PropType::String8) &&
                           std::find(columns.begin(), columns.end(),
                                     static_cast<uint32_t>(p.id) << 16 | type_code(PropType::Unicode)) != columns.end();
            if (!widened && std::find(columns.begin(), columns.end(), tag) == columns.end())
                columns.push_back(tag);
        }
        rows.push_back(std::move(props));
    }
    TableBuilder table(m_format, columns);
    for (size_t i = 0; i < rows.size(); ++i)
        table.add_row(static_cast<uint32_t>(i), m_row_version++, copy_cells(rows[i], columns, m.codepage()).cells);
    *out = table.finish();
    return Status::success();
}

} // namespace pst::detail

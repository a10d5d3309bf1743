// The facts of personal folder files that the reader and the writer share: the file kinds, the
// block encodings, the client signatures, the property types, the special node ids and the
// file's CRC-32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pst {

// Layout of the node database. Unicode (wVer 23): 64-bit block ids and offsets, 512-byte pages,
// 8176-byte blocks. ANSI (wVer 14): 32-bit ids and offsets, 8180-byte blocks, 16-bit table row
// indexes, so a folder holds at most 65536 messages. Unicode4k (wVer 36, the form Outlook 2013
// writes offline folder files in): 4096-byte pages, blocks up to 64 KiB whose trailer also holds
// the inflated size, zlib-compressed blocks. All three carry the same folders, tables and
// properties.
enum class FileFormat : uint8_t
{
    Unicode,
    Ansi,
    Unicode4k,
};

// Encoding of the data blocks (bCryptMethod): none, the permute substitution Outlook uses by
// default ("compressible encryption"), or the BID-keyed cyclic encoding ("high encryption").
// Internal blocks, pages and the header are never encoded.
enum class BlockEncoding : uint8_t
{
    None = 0,
    Permute = 1,
    Cyclic = 2,
};

// wClientVer / content type at offset 8 of the header.
constexpr uint16_t kClientPst = 0x4D53;     // "SM": personal folder file
constexpr uint16_t kClientOffline = 0x4F53; // "SO": offline folder file (an Exchange or IMAP cache)
constexpr uint16_t kClientPab = 0x4241;     // "AB": personal address book

// How large a written file may grow: ANSI files below the first free-page map (about 2 GB; their
// offsets are 32 bits), Unicode files in whole regions of 253,952 bytes up to 50 GiB, Outlook's
// default limit. A writer that would grow past its limit fails with "The PST file would exceed
// 2 GB" or "... 50 GB".
constexpr uint64_t kMaxAnsiFileSize = 0x4400ull + 8192ull * 253952ull;
constexpr uint64_t kMaxFileSize = 0x4400ull + (50ull * 1024 * 1024 * 1024 - 0x4400ull) / 253952ull * 253952ull;

// Property ids (a tag's high 16 bits) that more than one layer reads or writes.
namespace tag {
constexpr uint16_t kDisplayName = 0x3001;            // PidTagDisplayName
constexpr uint16_t kAttachDataBinary = 0x3701;       // PidTagAttachDataBinary
constexpr uint16_t kAttachExtension = 0x3703;        // PidTagAttachExtension
constexpr uint16_t kAttachFilename = 0x3704;         // PidTagAttachFilename
constexpr uint16_t kAttachLongFilename = 0x3707;     // PidTagAttachLongFilename
constexpr uint16_t kAttachMimeTag = 0x370E;          // PidTagAttachMimeTag
constexpr uint16_t kAttachmentContactPhoto = 0x7FFF; // PidTagAttachmentContactPhoto
} // namespace tag

// MAPI property types (a property tag's low 16 bits) that the layers name. A stored type may be
// any 16-bit code; the writer stores these from typed values (see PropertyValue) and any other
// code as raw bytes: cast it to PropType.
enum class PropType : uint16_t
{
    Short = 0x0002,
    Long = 0x0003,
    Boolean = 0x000B,
    String8 = 0x001E,
    Unicode = 0x001F,
    SysTime = 0x0040,
    Binary = 0x0102,
    MultiLong = 0x1003,
    MultiString8 = 0x101E,
    MultiUnicode = 0x101F,
    MultiBinary = 0x1102,
};

// The stored code of a type, as tags and the readers' type fields hold it.
constexpr uint16_t type_code(PropType type)
{
    return static_cast<uint16_t>(type);
}

// Whether values of `type` have a fixed size of at most 8 bytes (PT_I2, PT_LONG, PT_R4, PT_DOUBLE,
// PT_CURRENCY, PT_APPTIME, PT_ERROR, PT_BOOLEAN, PT_I8, PT_SYSTIME): a table row and the
// autocomplete stream hold them in their cells, every other type is counted bytes elsewhere.
constexpr bool is_fixed_size(uint16_t type)
{
    switch (type) {
    case 0x0002:
    case 0x0003:
    case 0x0004:
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x000A:
    case 0x000B:
    case 0x0014:
    case 0x0040:
        return true;
    default:
        return false;
    }
}

// Whether values of `type` fit in 4 bytes (PT_I2, PT_LONG, PT_R4, PT_ERROR, PT_BOOLEAN): a
// property context holds them in the property's own record. A subset of is_fixed_size.
constexpr bool is_inline_size(uint16_t type)
{
    return type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B;
}

// Node ids with a fixed meaning, and the node types (low 5 bits of a NID) the layers use.
namespace nid {
constexpr uint32_t kMessageStore = 0x21;
constexpr uint32_t kNameToIdMap = 0x61;
constexpr uint32_t kRootFolder = 0x122;
constexpr uint32_t kAttachmentTable = 0x671; // subnode of a message; also the template's NID
constexpr uint32_t kRecipientTable = 0x692;  // subnode of a message; also the template's NID

constexpr uint32_t kTypeFolder = 0x02;
constexpr uint32_t kTypeMessage = 0x04;
constexpr uint32_t kTypeAttachment = 0x05;
constexpr uint32_t kTypeAssocMessage = 0x08;
constexpr uint32_t kTypeHierarchyTable = 0x0D;
constexpr uint32_t kTypeContentsTable = 0x0E;
constexpr uint32_t kTypeAssocContentsTable = 0x0F;

constexpr uint32_t type_of(uint32_t n)
{
    return n & 0x1F;
}
// The node of another type with the same index (a folder's tables share the folder's index).
constexpr uint32_t with_type(uint32_t n, uint32_t type)
{
    return (n & ~0x1Fu) | type;
}
} // namespace nid

// Property sets of named properties.
using Guid = std::array<uint8_t, 16>; // in on-disk (little-endian GUID) byte order

extern const Guid kPsMapi;          // {00020328-0000-0000-C000-000000000046}
extern const Guid kPsPublicStrings; // {00020329-0000-0000-C000-000000000046}
extern const Guid kPsetidAddress;   // {00062004-0000-0000-C000-000000000046}
extern const Guid kPsetidCommon;    // {00062008-0000-0000-C000-000000000046}

// The name-to-id map's property context (node 0x61): its streams' property ids.
namespace namemap {
constexpr uint16_t kBucketCount = 0x0001;  // PtypInteger32: the number of hash buckets
constexpr uint16_t kGuidStream = 0x0002;   // the property sets past PS_MAPI and PS_PUBLIC_STRINGS
constexpr uint16_t kEntryStream = 0x0003;  // 8-byte NAMEID records
constexpr uint16_t kStringStream = 0x0004; // string names, each after its byte count
constexpr uint16_t kFirstBucket = 0x1000;  // hash bucket k is 0x1000 + k
} // namespace namemap

// The CRC-32 variant of personal folder files (no initial or final inversion).
uint32_t crc32(const void* data, size_t size, uint32_t crc = 0);

} // namespace pst

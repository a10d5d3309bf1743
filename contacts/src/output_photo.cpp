// Contact photos in the outputs: base64, data URIs and the picture's file extension.
#include "contacts/output_writers.h"

namespace contacts {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct PhotoExtension
{
    PhotoType type;
    std::string_view extension;
};
constexpr PhotoExtension kPhotoExtensions[] = {
    {PhotoType::jpeg, ".jpg"},
    {PhotoType::png, ".png"},
    {PhotoType::gif, ".gif"},
};

} // namespace

void append_base64(std::span<const uint8_t> bytes, std::string& out)
{
    out.reserve(out.size() + base64_length(bytes.size()));
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        out.push_back(kBase64Alphabet[v >> 18]);
        out.push_back(kBase64Alphabet[(v >> 12) & 0x3F]);
        out.push_back(kBase64Alphabet[(v >> 6) & 0x3F]);
        out.push_back(kBase64Alphabet[v & 0x3F]);
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        const uint32_t v = uint32_t{bytes[i]} << 16 | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
        out.push_back(kBase64Alphabet[v >> 18]);
        out.push_back(kBase64Alphabet[(v >> 12) & 0x3F]);
        out.push_back(rest == 2 ? kBase64Alphabet[(v >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
}

std::string_view photo_file_extension(PhotoType type) noexcept
{
    for (const auto& row : kPhotoExtensions) {
        if (row.type == type) {
            return row.extension;
        }
    }
    return {};
}

std::string photo_data_uri(const ContactRecord& record)
{
    const PhotoView photo = record.photo();
    std::string uri;
    if (photo.empty()) {
        return uri;
    }
    const std::string_view mime = photo_mime_type(photo.type);
    uri.reserve(5 + mime.size() + 8 + base64_length(photo.bytes.size()));
    uri += "data:";
    uri += mime;
    uri += ";base64,";
    append_base64(photo.bytes, uri);
    return uri;
}

} // namespace contacts

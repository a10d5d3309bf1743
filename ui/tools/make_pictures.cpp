// Writes the status-page pictures ("loading.gif", "done.gif", "stop.gif") into a directory.
// Qt reads GIF but cannot write it, so this carries a minimal GIF89a encoder: one frame, a
// 256-colour table and LZW codes kept at 9 bits by a clear code every 250 pixels.
#include "controls/pictures.h"

#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

class BitWriter
{
public:
    void put(unsigned code, int bits)
    {
        m_accumulator |= code << m_count;
        m_count += bits;
        while (m_count >= 8) {
            m_bytes.push_back(static_cast<unsigned char>(m_accumulator & 0xFF));
            m_accumulator >>= 8;
            m_count -= 8;
        }
    }
    std::vector<unsigned char> finish()
    {
        if (m_count > 0)
            m_bytes.push_back(static_cast<unsigned char>(m_accumulator & 0xFF));
        return m_bytes;
    }

private:
    std::vector<unsigned char> m_bytes;
    unsigned m_accumulator = 0;
    int m_count = 0;
};

void put16(std::vector<unsigned char>& out, int v)
{
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

std::vector<unsigned char> encodeGif(const QImage& source)
{
    const QImage image = source.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
    std::vector<unsigned char> out{'G', 'I', 'F', '8', '9', 'a'};
    put16(out, image.width());
    put16(out, image.height());
    out.insert(out.end(), {0xF7, 0, 0}); // global table of 256 entries, 8 bits per colour
    QList<QRgb> colors = image.colorTable();
    colors.resize(256, qRgb(255, 255, 255));
    for (QRgb c : colors)
        out.insert(out.end(), {static_cast<unsigned char>(qRed(c)), static_cast<unsigned char>(qGreen(c)),
                               static_cast<unsigned char>(qBlue(c))});
    out.push_back(0x2C); // image descriptor
    put16(out, 0);
    put16(out, 0);
    put16(out, image.width());
    put16(out, image.height());
    out.push_back(0);
    out.push_back(8); // minimum code size

    constexpr unsigned kClear = 256;
    constexpr unsigned kEnd = 257;
    BitWriter bits;
    int sinceClear = 0;
    bits.put(kClear, 9);
    for (int y = 0; y < image.height(); ++y) {
        const uchar* line = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            if (sinceClear == 250) {
                bits.put(kClear, 9);
                sinceClear = 0;
            }
            bits.put(line[x], 9);
            ++sinceClear;
        }
    }
    bits.put(kEnd, 9);
    const std::vector<unsigned char> data = bits.finish();
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, data.size() - at);
        out.push_back(static_cast<unsigned char>(n));
        out.insert(out.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    for (const char* name : {"loading.gif", "done.gif", "stop.gif"}) {
        const std::vector<unsigned char> gif = encodeGif(controls::statusPicture(QString::fromLatin1(name)));
        const std::string path = std::string(argv[1]) + "/" + name;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(gif.data()), static_cast<std::streamsize>(gif.size()));
        if (!file.good()) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}

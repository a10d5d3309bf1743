// The cards of an upload: cut from the writer's text, photos made smaller to fit a limit, and the
// report of the cards not added.
#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <gtest/gtest.h>

#include "carddav/cards.h"
#include "carddav/server.h"
#include "carddav/upload_report.h"

namespace {

// A noisy JPEG of `side` pixels (noise keeps it from compressing to nothing).
// `comment`: a text the JPEG carries (as padded photos do).
QByteArray jpeg(int side, const QString& comment = {})
{
    QImage image(side, side, QImage::Format_RGB32);
    if (!comment.isEmpty()) {
        image.setText(QStringLiteral("Description"), comment);
    }
    uint32_t seed = 12345;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            seed = seed * 1103515245u + 12345u;
            image.setPixel(x, y, seed >> 8);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

// A card in the writer's form: the photo's base64 folded at 75 octets.
std::string card_with_photo(bool v4, const QByteArray& photo)
{
    std::string text = v4 ? "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:urn:uuid:abc-1\r\nFN:Anna\\, Smith\r\n"
                          : "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:abc-1\r\nFN:Anna\\, Smith\r\n";
    if (!photo.isEmpty()) {
        std::string line = v4 ? "PHOTO:data:image/jpeg;base64\\," : "PHOTO;ENCODING=b;TYPE=JPEG:";
        line += photo.toBase64().toStdString();
        for (std::size_t at = 0, room = 75; at < line.size(); at += room, room = 74) {
            text += (at ? " " : "") + line.substr(at, room) + "\r\n";
        }
    }
    return text + "NOTE:after the photo\r\nEND:VCARD\r\n";
}

QImage photo_of(const carddav::Card& card)
{
    std::string logical;
    for (const std::string& line : carddav::logical_lines(card.text)) {
        if (line.starts_with("PHOTO")) {
            logical = line;
        }
    }
    const std::size_t from =
        logical.find("base64\\,") != std::string::npos ? logical.find("base64\\,") + 8 : logical.find(':') + 1;
    return QImage::fromData(QByteArray::fromBase64(QByteArray::fromStdString(logical.substr(from))));
}

TEST(Cards, SplitReadsUidNameAndKind)
{
    const std::string vcf =
        card_with_photo(true, {}) +
        "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:g-2\r\nX-ADDRESSBOOKSERVER-KIND:group\r\nFN:Fri\r\n ends\r\n"
        "END:VCARD\r\n";
    const auto cards = carddav::split_cards(vcf);
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].uid, "abc-1");
    EXPECT_EQ(cards[0].name, "Anna, Smith");
    EXPECT_FALSE(cards[0].group);
    EXPECT_EQ(cards[0].resource_name(), "abc-1.vcf");
    EXPECT_EQ(cards[1].uid, "g-2");
    EXPECT_EQ(cards[1].name, "Friends");
    EXPECT_TRUE(cards[1].group);
    EXPECT_EQ(cards[0].text + cards[1].text, vcf);
}

TEST(Cards, ResourceNamesAreSafePathSegments)
{
    const struct
    {
        std::string uid;
        std::string name;
    } rows[] = {{"a/b", "a_b.vcf"}, {"..", "...vcf"}, {"", "card.vcf"}, {"x y?%", "x_y__.vcf"}};
    for (const auto& row : rows) {
        carddav::Card card;
        card.uid = row.uid;
        EXPECT_EQ(card.resource_name(), row.name) << row.uid;
    }
}

TEST(FitCard, PhotosAreMadeSmallerUntilTheCardFits)
{
    const QByteArray photo = jpeg(300);
    for (const bool v4 : {false, true}) {
        const std::string text = card_with_photo(v4, photo);
        const int64_t size = static_cast<int64_t>(text.size());
        const struct
        {
            int64_t limit;
            bool fits;
            bool scaled;
        } rows[] = {
            {size, true, false},     // exactly at the limit: left as it is
            {size + 1, true, false}, //
            {size - 1, true, true},  // one byte over: made smaller
            {size / 4, true, true},  //
            {3000, true, true},      // a thumbnail
            {200, false, false},     // not even the smallest photo fits: left as it is
        };
        for (const auto& row : rows) {
            carddav::Card card = carddav::split_cards(text).front();
            bool scaled = true;
            EXPECT_EQ(carddav::fit_card(card, row.limit, &scaled), row.fits) << v4 << ' ' << row.limit;
            EXPECT_EQ(scaled, row.scaled) << v4 << ' ' << row.limit;
            if (row.fits) {
                EXPECT_LE(static_cast<int64_t>(card.text.size()), row.limit);
            }
            if (row.scaled) {
                const QImage image = photo_of(card);
                ASSERT_FALSE(image.isNull()) << v4 << ' ' << row.limit;
                EXPECT_LT(image.width(), 300);
                EXPECT_EQ(image.width(), image.height());
                // The rest of the card is untouched and every line is folded within 75 octets.
                EXPECT_NE(card.text.find("NOTE:after the photo\r\nEND:VCARD\r\n"), std::string::npos);
                for (std::size_t at = 0, end; (end = card.text.find("\r\n", at)) != std::string::npos; at = end + 2) {
                    EXPECT_LE(end - at, 75u);
                }
            } else {
                EXPECT_EQ(card.text, text);
            }
        }
    }
}

TEST(FitCard, APhotosCommentsAreNotCarriedOver)
{
    const QByteArray photo = jpeg(96, QString(50000, QLatin1Char('x')));
    ASSERT_GT(photo.size(), 50000);
    carddav::Card card = carddav::split_cards(card_with_photo(false, photo)).front();
    bool scaled = false;
    EXPECT_TRUE(carddav::fit_card(card, 8000, &scaled));
    EXPECT_TRUE(scaled);
    EXPECT_EQ(card.text.find("xxxx"), std::string::npos);
    EXPECT_FALSE(photo_of(card).isNull());
}

TEST(FitCard, ACardWithoutAPhotoIsLeftAsItIs)
{
    carddav::Card card = carddav::split_cards(card_with_photo(false, {})).front();
    const std::string before = card.text;
    bool scaled = true;
    EXPECT_FALSE(carddav::fit_card(card, 10, &scaled));
    EXPECT_FALSE(scaled);
    EXPECT_EQ(card.text, before);
}

TEST(Account, PlainHttpOnlyToLoopbackOrWhenAllowed)
{
    const struct
    {
        const char* url;
        bool insecure;
        bool usable;
    } rows[] = {
        {"https://dav.example.org/", false, true},
        {"http://dav.example.org/", false, false},
        {"http://dav.example.org/", true, true},
        {"http://127.0.0.1:8080/", false, true},
        {"http://127.255.255.254/", false, true},
        {"http://128.0.0.1/", false, false},
        {"http://[::1]:5232/", false, true},
        {"http://localhost/", false, true},
        {"http://localhost.example.org/", false, false},
        {"ftp://127.0.0.1/", true, false},
        {"https:///nohost", false, false},
    };
    for (const auto& row : rows) {
        carddav::Account account;
        account.url = QUrl(QString::fromLatin1(row.url));
        account.insecure = row.insecure;
        EXPECT_EQ(carddav::account_problem(account).isEmpty(), row.usable) << row.url;
    }
}

TEST(UploadReport, ListsEveryCardNotAddedWithItsStatus)
{
    std::vector<carddav::Card> cards(4);
    std::vector<carddav::CardResult> results(4);
    const char* names[] = {"Anna", "Bert, \"B\"", "Cleo", "Dan"};
    for (std::size_t i = 0; i < 4; ++i) {
        cards[i].uid = "u" + std::to_string(i);
        cards[i].name = names[i];
    }
    results[0] = {carddav::Outcome::added, 201, {}, false};
    results[1] = {carddav::Outcome::refused, 413, QStringLiteral("413 Payload Too Large: too big"), true};
    results[2] = {carddav::Outcome::already_there, 412, QStringLiteral("Already on the server."), false};
    results[3] = {carddav::Outcome::not_sent, 0, QStringLiteral("Stopped."), false};
    EXPECT_EQ(carddav::upload_report_text(cards, results),
              "\xEF\xBB\xBFUID,Name,Outcome,Status,Message\r\n"
              "u1,\"Bert, \"\"B\"\"\",refused,413,413 Payload Too Large: too big\r\n"
              "u2,Cleo,already there,412,Already on the server.\r\n"
              "u3,Dan,not sent,,Stopped.\r\n");
}

} // namespace

int main(int argc, char** argv)
{
    // The image reader's JPEG plugin without a display, as in the converter.
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

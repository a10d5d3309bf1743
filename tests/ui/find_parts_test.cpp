// The parts find is made of, each alone: the resumable merge sort, phone digits, the text chunks.
#include "phone_match.h"
#include "sliced_sort.h"
#include "ui/text_chunks.h"

#include <QTest>
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace ui;

namespace {

struct PhoneCase
{
    const char* term;
    const char* digits;
};

// Terms of phone characters only give their digits, unless they hold no digit or nothing else.
constexpr PhoneCase kPhoneCases[] = {
    {"030-1234", "0301234"},
    {"(030) 1234", ""}, // a space: two terms, never one
    {"(030)1234", "0301234"},
    {"030/12.34", "0301234"},
    {"+49-30", "+4930"},
    {"1234", ""}, // digits alone are found as they are
    {"+", ""},
    {"-", ""},
    {"+-", ""},
    {"", ""},
    {"030-12a", ""},
    {"0", ""},
    {"0-", "0"},
};

} // namespace

class FindPartsTest : public QObject
{
    Q_OBJECT
private slots:
    // Sizes around the run length, stopped after every step, every seventh, or never.
    void slicedSortSortsWhereverItStops()
    {
        constexpr std::size_t kRun = SlicedSort::kRun;
        const std::size_t sizes[] = {0, 1, 2, kRun - 1, kRun, kRun + 1, 2 * kRun, 2 * kRun + 1, 5 * kRun + 7};
        const long budgets[] = {1, 7, -1};
        std::mt19937 random(29);
        for (std::size_t n : sizes) {
            std::vector<int> keys(n);
            for (int& k : keys)
                k = int(random() % (n / 3 + 1)); // with repeats
            std::vector<std::uint32_t> ids(n);
            for (std::size_t i = 0; i < n; ++i)
                ids[i] = std::uint32_t(i);
            for (long budget : budgets) {
                SlicedSort sort(ids);
                const auto less = [&keys](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; };
                std::size_t calls = 0;
                bool done = false;
                while (!done && calls <= 100 * n + 10) {
                    long left = budget;
                    done = sort.run(less, [&left] { return left < 0 || left-- > 0; });
                    ++calls;
                }
                const QByteArray what =
                    QByteArray::number(qulonglong(n)) + " items, budget " + QByteArray::number(qlonglong(budget));
                QVERIFY2(done, what);
                std::vector<std::uint32_t> items = sort.items();
                QVERIFY2(std::is_sorted(items.begin(), items.end(), less), what);
                std::sort(items.begin(), items.end());
                QVERIFY2(items == ids, what);
            }
        }
    }

    void phoneTermsGiveTheirDigits()
    {
        for (const PhoneCase& c : kPhoneCases)
            QCOMPARE(phoneDigits(c.term), std::string(c.digits));
    }

    // A folded number's own line of digits follows it only when it adds something.
    void numberLineFollowsANumber()
    {
        struct Line
        {
            const char* text;
            std::size_t from;
            const char* result;
        };
        const Line lines[] = {
            {"tel 030-1234", 4, "tel 030-1234\n0301234"},
            {"tel 1234", 4, "tel 1234"},
            {"tel +", 4, "tel +"},
            {"030 1234", 0, "030 1234\n0301234"},
            {"x", 1, "x"},
        };
        for (const Line& l : lines) {
            std::string text = l.text;
            appendNumberLine(text, l.from);
            QCOMPARE(text, std::string(l.result));
        }
    }

    // Texts around a chunk's size stay where they were put while more are kept.
    void keptTextsStayPut()
    {
        constexpr std::size_t kChunk = std::size_t(1) << 20;
        const std::size_t sizes[] = {0, 1, kChunk - 1, kChunk, kChunk + 1, 1, kChunk / 2, kChunk / 2, 3};
        TextChunks chunks;
        std::vector<std::pair<std::string_view, std::string>> kept;
        char fill = 'a';
        for (std::size_t size : sizes) {
            const std::string text(size, fill++);
            const std::string_view at = chunks.keep([&text](std::string& out) {
                QVERIFY(out.empty());
                out = text;
            });
            kept.emplace_back(at, text);
        }
        for (const auto& [at, text] : kept)
            QVERIFY(at == text);
        chunks.clear();
        QCOMPARE(chunks.keep([](std::string& out) { out = "again"; }), std::string_view("again"));
    }
};

QTEST_GUILESS_MAIN(FindPartsTest)
#include "find_parts_test.moc"

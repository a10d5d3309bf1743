// 8-bit texts: the code page chain of a message and the decoding, at the edges of each table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/pst_source.h"
#include "engine/text_decoding.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> out;
    for (int b : list) {
        out.push_back(static_cast<uint8_t>(b));
    }
    return out;
}

struct DecodeCase
{
    const char* what;
    int codepage;
    std::vector<uint8_t> in;
    std::u16string out;
};

TEST(TextDecoding, DecodesAtTheEdgesOfEachCodePageTable)
{
    const DecodeCase cases[] = {
        {"ASCII edge 0x7F", 1252, bytes({0x41, 0x7F}), u"A\u007F"},
        {"1252 0x80 euro", 1252, bytes({0x80}), u"\u20AC"},
        {"1252 undefined 0x81", 1252, bytes({0x81}), u"\uFFFD"},
        {"1252 0x9F", 1252, bytes({0x9F}), u"\u0178"},
        {"1252 0xA0 and 0xFF", 1252, bytes({0xA0, 0xFF}), u"\u00A0\u00FF"},
        {"cut at the first NUL", 1252, bytes({0x61, 0x00, 0x62}), u"a"},
        {"empty", 1252, bytes({}), u""},
        {"1251 0xC0 and 0xFF", 1251, bytes({0xC0, 0xFF}), u"\u0410\u044F"},
        {"1251 undefined 0x98", 1251, bytes({0x61, 0x98, 0x62}), u"a\uFFFDb"},
        {"932 kana and kanji", 932, bytes({0x82, 0xA0, 0x96, 0xBE}), u"\u3042\u660E"},
        {"932 half-width katakana 0xA1", 932, bytes({0xA1}), u"\uFF61"},
        {"932 lead byte cut off at the end", 932, bytes({0x61, 0x82}), u"a\uFFFD"},
        {"932 bad trail byte", 932, bytes({0x82, 0x20, 0x62}), u"\uFFFD b"},
        {"936 two-byte", 936, bytes({0xC4, 0xE3}), u"\u4F60"},
        {"949 two-byte", 949, bytes({0xB0, 0xA1}), u"\uAC00"},
        {"950 two-byte", 950, bytes({0xA4, 0x40}), u"\u4E00"},
        {"874 Thai 0xA1", 874, bytes({0xA1}), u"\u0E01"},
        {"1258 Vietnamese 0xD0", 1258, bytes({0xD0}), u"\u0110"},
        {"65001 four-byte UTF-8", 65001, bytes({0xF0, 0x9F, 0x98, 0x80}), u"\U0001F600"},
        {"65001 invalid byte", 65001, bytes({0xFF}), u"\uFFFD"},
        {"unsupported code page reads as 1252", 437, bytes({0x80}), u"\u20AC"},
        // Every Windows code page's undefined bytes, beside the defined bytes around them.
        {"1252 undefined 0x8D 0x8F 0x90 0x9D", 1252, bytes({0x8D, 0x8E, 0x8F, 0x90, 0x9D, 0x9E}),
         u"\uFFFD\u017D\uFFFD\uFFFD\uFFFD\u017E"},
        {"874 0x80 euro, undefined 0x81", 874, bytes({0x80, 0x81}), u"\u20AC\uFFFD"},
        {"874 0xDA, undefined 0xDB, 0xDF", 874, bytes({0xDA, 0xDB, 0xDF}), u"\u0E3A\uFFFD\u0E3F"},
        {"874 0xFB, undefined 0xFC and 0xFF", 874, bytes({0xFB, 0xFC, 0xFF}), u"\u0E5B\uFFFD\uFFFD"},
        {"1250 undefined 0x98 before 0x99", 1250, bytes({0x98, 0x99}), u"\uFFFD\u2122"},
        {"1251 undefined 0x98 between 0x97 and 0x99", 1251, bytes({0x97, 0x98, 0x99}), u"\u2014\uFFFD\u2122"},
        {"1253 undefined 0xAA 0xD2 0xFF", 1253, bytes({0xAA, 0xD2, 0xFE, 0xFF}), u"\uFFFD\uFFFD\u03CE\uFFFD"},
        {"1254 undefined 0x9E before 0x9F", 1254, bytes({0x9E, 0x9F}), u"\uFFFD\u0178"},
        {"1255 undefined 0xCA and 0xFF", 1255, bytes({0xCA, 0xFD, 0xFF}), u"\uFFFD\u200E\uFFFD"},
        {"1256 defines every byte", 1256, bytes({0x81, 0xFF}), u"\u067E\u06D2"},
        {"1257 undefined 0xA1 0xA5", 1257, bytes({0xA1, 0xA5, 0xFF}), u"\uFFFD\uFFFD\u02D9"},
        {"1258 undefined 0x9E before 0x9F", 1258, bytes({0x9E, 0x9F}), u"\uFFFD\u0178"},
        // Double-byte code pages: a lead byte cut off by the end, a bad trail byte, an undefined byte.
        {"936 lead byte cut off at the end", 936, bytes({0x61, 0xC4}), u"a\uFFFD"},
        {"936 bad trail byte", 936, bytes({0x81, 0x20, 0x62}), u"\uFFFD b"},
        {"936 undefined 0xFF", 936, bytes({0xFF, 0x61}), u"\uFFFDa"},
        {"949 lead byte cut off at the end", 949, bytes({0x61, 0xB0}), u"a\uFFFD"},
        {"949 bad trail byte", 949, bytes({0xB0, 0x20, 0x62}), u"\uFFFD b"},
        {"949 undefined 0xFF", 949, bytes({0xFF, 0x61}), u"\uFFFDa"},
        {"950 lead byte cut off at the end", 950, bytes({0x61, 0xA4}), u"a\uFFFD"},
        {"950 bad trail byte", 950, bytes({0xA4, 0x20, 0x62}), u"\uFFFD b"},
        {"950 undefined 0xFF", 950, bytes({0xFF, 0x61}), u"\uFFFDa"},
        {"932 lead byte cut off after a pair", 932, bytes({0x82, 0xA0, 0x82}), u"\u3042\uFFFD"},
    };
    for (const auto& c : cases) {
        std::u16string out = u"x";
        engine::decode_8bit(c.in, c.codepage, out);
        EXPECT_EQ(out, u"x" + c.out) << c.what;
    }
}

struct ChainCase
{
    const char* what;
    std::vector<std::pair<uint32_t, uint32_t>> longs; // property id, value
    int fallback;
    int expected;
};

void add_long(engine::PropertyList& list, uint32_t id, uint32_t value)
{
    const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    list.add(id, pst::type_code(pst::PropType::Long), b, sizeof b);
}

// PidTagMessageCodepage, then the script of PidTagInternetCodepage, then the locale, then the
// user's fallback; values that say nothing pass to the next step.
TEST(TextDecoding, MessageCodePageChainTable)
{
    const ChainCase cases[] = {
        {"nothing named", {}, 1252, 1252},
        {"nothing named, user's 932", {}, 932, 932},
        {"unsupported fallback", {}, 437, 1252},
        {"0x3FFD wins", {{0x3FFD, 1251}, {0x3FDE, 50220}, {0x3FF1, 1041}}, 1252, 1251},
        {"0x3FFD UTF-8", {{0x3FFD, 65001}}, 1252, 65001},
        {"0x3FFD unknown passes on", {{0x3FFD, 12345}, {0x3FDE, 28595}}, 1252, 1251},
        {"ISO-2022-JP 50220", {{0x3FDE, 50220}}, 1252, 932},
        {"ISO-2022-JP 50222", {{0x3FDE, 50222}}, 1252, 932},
        {"EUC-JP 51932", {{0x3FDE, 51932}}, 1252, 932},
        {"KOI8-U 21866", {{0x3FDE, 21866}}, 1252, 1251},
        {"us-ascii 20127", {{0x3FDE, 20127}}, 1250, 1252},
        {"Windows code page stands for itself", {{0x3FDE, 1257}}, 1252, 1257},
        {"TIS-620 28601", {{0x3FDE, 28601}}, 1252, 874},
        {"HZ 52936", {{0x3FDE, 52936}}, 1252, 936},
        {"UTF-8 charset says nothing", {{0x3FDE, 65001}, {0x3FF1, 1049}}, 1252, 1251},
        {"UTF-16 charset says nothing", {{0x3FDE, 1200}}, 950, 950},
        {"locale ja-JP", {{0x3FF1, 1041}}, 1252, 932},
        {"locale zh-TW", {{0x3FF1, 0x0404}}, 1252, 950},
        {"locale zh-CN", {{0x3FF1, 0x0804}}, 1252, 936},
        {"locale sr-Cyrl", {{0x3FF1, 0x0C1A}}, 1252, 1251},
        {"locale sr-Latn", {{0x3FF1, 0x081A}}, 1252, 1250},
        {"locale de-AT by its language", {{0x3FF1, 0x0C07}}, 1251, 1252},
        {"locale without an ANSI code page", {{0x3FF1, 0x042B}}, 1253, 1253},
    };
    for (const auto& c : cases) {
        engine::PropertyList list;
        for (const auto& [id, value] : c.longs) {
            add_long(list, id, value);
        }
        EXPECT_EQ(engine::message_codepage(list, c.fallback), c.expected) << c.what;
    }
}

} // namespace

#include <QByteArray>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "decode/Ucoder.h"
#include "platform/codepage.h"
#include "platform/strutil.h"

using mg::A;

namespace {

std::string Word(const std::string& opening, const std::string& payload) {
    return opening + payload + "?=";
}

}  // namespace

TEST(Base64, GroupsAndPadding) {
    EXPECT_EQ(Base64Decode("QQ=="), "A");
    EXPECT_EQ(Base64Decode("QUI="), "AB");
    EXPECT_EQ(Base64Decode("QUJD"), "ABC");
    EXPECT_EQ(Base64Decode("QUJDRA=="), "ABCD");
    EXPECT_EQ(Base64Decode("+/+/"), "\xFB\xFF\xBF");
    // An incomplete last group is ignored; no validation is done.
    EXPECT_EQ(Base64Decode("QUJDRE"), "ABC");
    EXPECT_EQ(Base64Decode("QUJ"), "");
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_EQ(Base64Decode("Q!=="), std::string("@"));  // "!" counts as 0
    EXPECT_EQ(Base64Decode("Q=I="), "@\x02");    // inner "=" is 0 too
}

TEST(DecodeHeaderText, OpeningsAndCutting) {
    // Unrecognised text, including a label the decoder does not know.
    for (const std::string text : {"", "Hello world", "=?utf-8?B?0J/RgNC40LLQtdGC?=", "a?b?c?d",
                                   "=?koi8-u?q?=F0?="})
        EXPECT_EQ(DecodeHeaderText(text), text);
    // Any letter case of the opening; the payload keeps its case.
    EXPECT_EQ(DecodeHeaderText("=?WINDOWS-1251?B?QUJD?="), "ABC");
    EXPECT_EQ(DecodeHeaderText("=?Iso-8859-2?Q?x=41?="), "xA");
    // Everything around the first encoded word is dropped.
    EXPECT_EQ(DecodeHeaderText("Re: =?windows-1251?b?QUI=?= (fwd)"), "AB");
    EXPECT_EQ(DecodeHeaderText("=?unknown?q?one?= =?unknown?q?two?="), "one");
    // A "?" before the encoded word moves the cut.
    EXPECT_EQ(DecodeHeaderText("Why? =?unknown?q?abc?="), "q");
    EXPECT_EQ(DecodeHeaderText("Why?? =?unknown?q?abc?="), "unknown");
    EXPECT_EQ(DecodeHeaderText("Why???? =?unknown?q?abc?="), "");
    // No closing "?=": no fourth "?", so nothing is left.
    EXPECT_EQ(DecodeHeaderText("=?windows-1251?b?QUJD"), "");
    EXPECT_EQ(DecodeHeaderText("=?unknown?q?"), "");
    // Both kinds of opening: quoted-printable first, then base64 on the result.
    EXPECT_EQ(DecodeHeaderText("=?unknown?q?QU=4aD?= =?unknown?b?x?="), "ABC");
}

TEST(DecodeHeaderText, QuotedPrintable) {
    const std::string q = "=?iso-8859-1?q?";
    EXPECT_EQ(DecodeHeaderText(Word(q, "=3D")), "=");
    EXPECT_EQ(DecodeHeaderText(Word(q, "a=3D41")), "a=41");
    EXPECT_EQ(DecodeHeaderText(Word(q, "snake_case=5Fx")), "snake_case_x");
    EXPECT_EQ(DecodeHeaderText(Word(q, "=c0=C0=e9")), "\xC0\xC0\xE9");  // shown as 1251, unconverted
    // Non-hex characters give a fixed byte: (16 * 35 + 35) mod 256 and
    // (16 * -15 - 15) mod 256.
    EXPECT_EQ(DecodeHeaderText(Word(q, "=zz")), "S");
    EXPECT_EQ(DecodeHeaderText(Word(q, "=!!")), "\x01");
    // An "=" with fewer than two characters after it ends the payload as it is.
    EXPECT_EQ(DecodeHeaderText(Word(q, "=")), "=");
    EXPECT_EQ(DecodeHeaderText(Word(q, "ab=")), "ab=");
    EXPECT_EQ(DecodeHeaderText(Word(q, "ab=4")), "ab=4");
    EXPECT_EQ(DecodeHeaderText(Word(q, "=41=4")), "A=4");
    EXPECT_EQ(DecodeHeaderText(Word(q, "==")), "==");
    EXPECT_EQ(DecodeHeaderText(Word(q, "===")), "F");  // (16 * -26 - 26) mod 256
}

TEST(DecodeHeaderText, KoiMarkAnywhereConverts) {
    // "koi8-r" outside the opening still switches the conversion on.
    EXPECT_EQ(DecodeHeaderText("=?windows-1251?b?8NLJ18XU?= koi8-r"), A("Привет"));
    EXPECT_EQ(DecodeHeaderText("=?windows-1251?b?8NLJ18XU?="), "\xF0\xD2\xC9\xD7\xC5\xD4");
    // Both openings: the payload is quoted-printable decoded and converted,
    // then base64 decoded and converted again.
    EXPECT_EQ(DecodeHeaderText("=?koi8-r?q?8NLJ18XU?= =?koi8-r?b?x?="), A("Привет"));
}

TEST(DecodeHeaderText, RealKoi8rAndWindows1251Subjects) {
    // Built from known text: "Привет", "Счёт на оплату", "Re: Привет, как дела?".
    EXPECT_EQ(DecodeHeaderText("=?koi8-r?B?8NLJ18XU?="), A("Привет"));
    EXPECT_EQ(DecodeHeaderText("=?KOI8-R?Q?=F0=D2=C9=D7=C5=D4?="), A("Привет"));
    EXPECT_EQ(DecodeHeaderText("Fwd: =?koi8-r?b?896j1CDOwSDP0MzB1NU=?="), A("Счёт на оплату"));
    EXPECT_EQ(DecodeHeaderText("=?koi8-r?Q?=F3=DE=A3=D4_=CE=C1_=CF=D0=CC=C1=D4=D5?="),
              A("Счёт_на_оплату"));
    EXPECT_EQ(DecodeHeaderText("=?koi8-r?Q?Re:_=F0=D2=C9=D7=C5=D4,_=CB=C1=CB_=C4=C5=CC=C1=3F?="),
              A("Re:_Привет,_как_дела?"));
    EXPECT_EQ(DecodeHeaderText("=?koi8-r?B?UmU6IPDSydfF1Cwgy8HLIMTFzME/?="), A("Re: Привет, как дела?"));
    EXPECT_EQ(DecodeHeaderText("=?koi8-r?B?s8zLwV+j1snL?="), A("Ёлка_ёжик"));
    EXPECT_EQ(DecodeHeaderText("=?windows-1251?B?0fe48iDt4CDu7+vg8vM=?="), A("Счёт на оплату"));
    EXPECT_EQ(DecodeHeaderText("=?Windows-1251?Q?=A8=EB=EA=E0=5F=B8=E6=E8=EA?="), A("Ёлка_ёжик"));
}

// Reference values from the published code pages, independent of the tables
// under test.
TEST(CodePages, EveryCyrillicLetterBothWays) {
    struct Letter { char16_t unicode; int koi; int cp1251; };
    const Letter letters[] = {
        {0x0430, 0xC1, 0xE0}, {0x0431, 0xC2, 0xE1}, {0x0432, 0xD7, 0xE2}, {0x0433, 0xC7, 0xE3},
        {0x0434, 0xC4, 0xE4}, {0x0435, 0xC5, 0xE5}, {0x0451, 0xA3, 0xB8}, {0x0436, 0xD6, 0xE6},
        {0x0437, 0xDA, 0xE7}, {0x0438, 0xC9, 0xE8}, {0x0439, 0xCA, 0xE9}, {0x043A, 0xCB, 0xEA},
        {0x043B, 0xCC, 0xEB}, {0x043C, 0xCD, 0xEC}, {0x043D, 0xCE, 0xED}, {0x043E, 0xCF, 0xEE},
        {0x043F, 0xD0, 0xEF}, {0x0440, 0xD2, 0xF0}, {0x0441, 0xD3, 0xF1}, {0x0442, 0xD4, 0xF2},
        {0x0443, 0xD5, 0xF3}, {0x0444, 0xC6, 0xF4}, {0x0445, 0xC8, 0xF5}, {0x0446, 0xC3, 0xF6},
        {0x0447, 0xDE, 0xF7}, {0x0448, 0xDB, 0xF8}, {0x0449, 0xDD, 0xF9}, {0x044A, 0xDF, 0xFA},
        {0x044B, 0xD9, 0xFB}, {0x044C, 0xD8, 0xFC}, {0x044D, 0xDC, 0xFD}, {0x044E, 0xC0, 0xFE},
        {0x044F, 0xD1, 0xFF},
        {0x0410, 0xE1, 0xC0}, {0x0411, 0xE2, 0xC1}, {0x0412, 0xF7, 0xC2}, {0x0413, 0xE7, 0xC3},
        {0x0414, 0xE4, 0xC4}, {0x0415, 0xE5, 0xC5}, {0x0401, 0xB3, 0xA8}, {0x0416, 0xF6, 0xC6},
        {0x0417, 0xFA, 0xC7}, {0x0418, 0xE9, 0xC8}, {0x0419, 0xEA, 0xC9}, {0x041A, 0xEB, 0xCA},
        {0x041B, 0xEC, 0xCB}, {0x041C, 0xED, 0xCC}, {0x041D, 0xEE, 0xCD}, {0x041E, 0xEF, 0xCE},
        {0x041F, 0xF0, 0xCF}, {0x0420, 0xF2, 0xD0}, {0x0421, 0xF3, 0xD1}, {0x0422, 0xF4, 0xD2},
        {0x0423, 0xF5, 0xD3}, {0x0424, 0xE6, 0xD4}, {0x0425, 0xE8, 0xD5}, {0x0426, 0xE3, 0xD6},
        {0x0427, 0xFE, 0xD7}, {0x0428, 0xFB, 0xD8}, {0x0429, 0xFD, 0xD9}, {0x042A, 0xFF, 0xDA},
        {0x042B, 0xF9, 0xDB}, {0x042C, 0xF8, 0xDC}, {0x042D, 0xFC, 0xDD}, {0x042E, 0xE0, 0xDE},
        {0x042F, 0xF1, 0xDF},
    };
    ASSERT_EQ(std::size(letters), 66u);
    for (const Letter& l : letters) {
        SCOPED_TRACE(static_cast<int>(l.unicode));
        const std::string koi(1, static_cast<char>(l.koi));
        const std::string cp(1, static_cast<char>(l.cp1251));
        EXPECT_EQ(KoiToWide(koi), std::u16string(1, l.unicode));
        EXPECT_EQ(WideToAnsi(std::u16string(1, l.unicode)), cp);
        EXPECT_EQ(KoiToAnsi(koi), cp);
        EXPECT_EQ(mg::Cp1251ToUnicode(static_cast<unsigned char>(l.cp1251)), l.unicode);
        EXPECT_EQ(mg::UnicodeToCp1251(l.unicode), l.cp1251);
    }
    EXPECT_EQ(KoiToAnsi("\xB3\xA3"), "\xA8\xB8");  // Ё, ё
}

TEST(CodePages, WholeKoi8rTable) {
    // RFC 1489, bytes 128 to 191; 192 to 255 are the letters checked above.
    const char16_t upper[64] = {
        0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524, 0x252C, 0x2534, 0x253C,
        0x2580, 0x2584, 0x2588, 0x258C, 0x2590, 0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219,
        0x221A, 0x2248, 0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7, 0x2550,
        0x2551, 0x2552, 0x0451, 0x2553, 0x2554, 0x2555, 0x2556, 0x2557, 0x2558, 0x2559, 0x255A,
        0x255B, 0x255C, 0x255D, 0x255E, 0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564,
        0x2565, 0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x00A9};
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string wide = KoiToWide(all);
    ASSERT_EQ(wide.size(), 256u);
    for (int b = 0; b < 128; ++b) EXPECT_EQ(wide[static_cast<size_t>(b)], b);
    for (int b = 128; b < 192; ++b) EXPECT_EQ(wide[static_cast<size_t>(b)], upper[b - 128]) << b;
    // Windows-1251 of every KOI8-R byte: one byte each, "?" where the code
    // page has no such character (58 of them).
    const std::string expected = all.substr(0, 128) +
        "????????????????????????"  "??\xA0?\xB0?\xB7?"  "???\xB8????????????"
        "???\xA8???????????\xA9"
        "\xFE\xE0\xE1\xF6\xE4\xE5\xF4\xE3\xF5\xE8\xE9\xEA\xEB\xEC\xED\xEE"
        "\xEF\xFF\xF0\xF1\xF2\xF3\xE6\xE2\xFC\xFB\xE7\xF8\xFD\xF9\xF7\xFA"
        "\xDE\xC0\xC1\xD6\xC4\xC5\xD4\xC3\xD5\xC8\xC9\xCA\xCB\xCC\xCD\xCE"
        "\xCF\xDF\xD0\xD1\xD2\xD3\xC6\xC2\xDC\xDB\xC7\xD8\xDD\xD9\xD7\xDA";
    ASSERT_EQ(expected.size(), 256u);
    EXPECT_EQ(KoiToAnsi(all), expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '?'), 58 + 1);  // and "?" itself
}

TEST(CodePages, WholeWindows1251Table) {
    // The standard code page; 0x98 is unassigned and kept as U+0098.
    const char16_t upper[128] = {
        0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
        0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
        0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
        0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
        0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};
    for (int b = 0; b < 256; ++b) {
        const char16_t u = b < 128 ? static_cast<char16_t>(b)
                         : b < 192 ? upper[b - 128]
                                   : static_cast<char16_t>(0x0410 + b - 192);
        EXPECT_EQ(mg::Cp1251ToUnicode(static_cast<unsigned char>(b)), u) << b;
        EXPECT_EQ(WideToAnsi(std::u16string(1, u)), std::string(1, static_cast<char>(b))) << b;
    }
    EXPECT_EQ(WideToAnsi(u"\u2500\u00F7\u00B2x"), "???x");
}

// No input makes the decoder read outside its text; the sanitized build
// checks every access. Deterministic, so a failure can be replayed.
TEST(DecodeRobustness, GeneratedInputs) {
    std::mt19937 rng(1489);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    long checked = 0;

    auto check = [&checked](const std::string& in) {
        ++checked;
        const std::string out = DecodeHeaderText(in);
        ASSERT_LE(out.size(), in.size()) << in;
        const std::string lower = mg::LowerAscii(in);
        if (lower.find("?b?") == std::string::npos && lower.find("?q?") == std::string::npos) {
            ASSERT_EQ(out, in);
        }
        const std::string bytes = Base64Decode(in);
        ASSERT_LE(bytes.size(), in.size() / 4 * 3);
        ASSERT_GE(bytes.size(), in.size() / 4);
        ASSERT_EQ(KoiToAnsi(in).size(), in.size());
    };

    const std::vector<std::string> openings = {
        "=?unknown?b?", "=?windows-1251?b?", "=?iso-8859-1?b?", "=?iso-8859-2?b?", "=?koi8-r?b?",
        "=?unknown?q?", "=?windows-1251?q?", "=?iso-8859-1?q?", "=?iso-8859-2?q?", "=?koi8-r?q?"};
    auto randomCase = [&](std::string s) {
        for (char& c : s)
            if (c >= 'a' && c <= 'z' && rng() % 2) c = static_cast<char>(c - 'a' + 'A');
        return s;
    };
    auto randomBytes = [&](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(rng() & 0xFF));
        return s;
    };

    // Random bytes of every short length.
    for (int i = 0; i < 60000; ++i) check(randomBytes(pick(48)));

    // Random compositions of the pieces encoded words are made of.
    const std::vector<std::string> pieces = {"?", "=", "?=", "=?", "_", "koi8-r", "=3D", "=c",
                                             "QQ==", "8NLJ", "utf-8", "?b?", "?Q?", " ", "Re: "};
    for (int i = 0; i < 80000; ++i) {
        std::string s;
        for (size_t n = 1 + pick(8); n > 0; --n) {
            switch (pick(4)) {
                case 0: s += randomCase(openings[pick(openings.size())]); break;
                case 1: s += randomBytes(pick(4)); break;
                default: s += pieces[pick(pieces.size())]; break;
            }
        }
        check(s);
    }

    // Valid words: random bytes encoded by an independent encoder come back
    // whole (base64) and as they were (quoted-printable, any hex case).
    for (int i = 0; i < 20000; ++i) {
        const std::string raw = randomBytes(pick(40));
        const QByteArray b64 = QByteArray(raw.data(), static_cast<qsizetype>(raw.size())).toBase64();
        const std::string b = "=?windows-1251?b?" + b64.toStdString() + "?=";
        ASSERT_EQ(DecodeHeaderText(b), raw);
        ASSERT_EQ(DecodeHeaderText("=?koi8-r?B?" + b64.toStdString() + "?="), KoiToAnsi(raw));
        std::string q = "=?unknown?q?";
        for (unsigned char c : raw) q += mg::Format(rng() % 2 ? "=%02X" : "=%02x", c);
        q += "?=";
        ASSERT_EQ(DecodeHeaderText(q), raw);
        checked += 3;

        // Every truncation, and a lone "=" or a "?" at every position.
        for (const std::string& word : {b, q}) {
            for (size_t cut = 0; cut <= word.size(); ++cut) {
                check(word.substr(0, cut));
                if (i % 4 == 0) {
                    check(word.substr(0, cut) + "=" + word.substr(cut));
                    check(word.substr(0, cut) + "?" + word.substr(cut));
                }
            }
        }
    }
    EXPECT_GE(checked, 300000);
}

namespace {

// Summary.Subject of a header block: the last "Subject:" line, one blank
// after the colon dropped, continuation lines not joined.
std::string FirstLineSubject(const std::vector<std::string>& header) {
    std::string subject;
    for (const std::string& line : header)
        if (line.rfind("Subject:", 0) == 0) subject = line.substr(line.size() > 8 && line[8] == ' ' ? 9 : 8);
    return subject;
}

}  // namespace

TEST(DecodeSubject, RealWorldShapedHeaders) {
    struct Case {
        const char* what;
        std::vector<std::string> header;
        std::string expected;  // Windows-1251
    };
    const Case cases[] = {
        {"Gmail: UTF-8 B words folded at a character boundary",
         {"Subject: =?UTF-8?B?0KHRh9GR0YIg0L3QsCDQvtC/0LvQsNGC0YMg?=",
          " =?UTF-8?B?0LfQsCDQtNC10LrQsNCx0YDRjCAyMDI0INCz0L7QtNCwLCDQtNC+0LPQvtCy0L7RgCDihJYxNw==?=",
          "To: a@b.example"},
         A("Счёт на оплату за декабрь 2024 года, договор №17")},
        {"Yandex: one lower-case B word",
         {"Subject: =?utf-8?B?0JLQsNGIINC30LDQutCw0Lcg4oSWNDUyMSDQv9C10YDQtdC00LDQvSDQsiDRgdC70YPQttCx0YMg0LTQvtGB0YLQsNCy0LrQuA==?="},
         A("Ваш заказ №4521 передан в службу доставки")},
        {"Q with _ and =20, lower-case hex",
         {"Subject: =?utf-8?Q?=D0=9F=D1=80=D0=B8=D0=B2=D0=B5=D1=82_=d0=bc=d0=b8=d1=80=20!?="}, A("Привет мир !")},
        {"three words over folded lines, tab and blank",
         {"Subject: =?utf-8?b?0JTQvtCx0YDQviA=?=", "\t=?utf-8?b?0L/QvtC20LDQu9C+0LLQsNGC0Yw=?=", "  =?utf-8?q?!?="},
         A("Добро пожаловать!")},
        {"a character split between words, label case and language differ",
         {"Subject: =?UTF-8?B?0J/R?=", " =?utf-8*ru?B?gNC40LLQtdGC?="}, A("Привет")},
        {"plain text around words is kept",
         {"Subject: Re: =?utf-8?B?0J/RgNC40LLQtdGC?= (fwd)"}, A("Re: Привет (fwd)")},
        {"different charsets side by side, KOI8-R through iconv",
         {"Subject: Fwd: =?utf-8?q?Re:_?=", " =?KOI8-R?B?8NLJ18XU?="}, A("Fwd: Re: Привет")},
        {"unknown charset: the subject as it was",
         {"Subject: =?x-unknown?B?0J/RgNC40LLQtdGC?=", " more"}, "=?x-unknown?B?0J/RgNC40LLQtdGC?="},
        {"unknown charset beside a known one stays with its blank",
         {"Subject: =?utf-8?B?0J/RgNC40LLQtdGC?= =?x-unknown?B?0J/R?="}, A("Привет =?x-unknown?B?0J/R?=")},
        {"malformed words stay as they stand",
         {"Subject: =?utf-8?B?0J!?= =?utf-8?Q?=G0?= =?utf-8?x?a?= =?utf-8?B?QQ?="},
         "=?utf-8?B?0J!?= =?utf-8?Q?=G0?= =?utf-8?x?a?= A"},
        {"invalid UTF-8: one ? per bad sequence",
         {"Subject: =?utf-8?B?Yf9i4oJj8J8=?="}, "a?b?c?"},
        {"emoji: one ? per character", {"Subject: =?UTF-8?B?0KHQutC40LTQutC4IPCflKUg0YHQtdCz0L7QtNC90Y8=?="},
         A("Скидки ? сегодня")},
        {"control characters in a word become blanks",
         {"Subject: =?utf-8?q?a=0D=0Ab=09c=00d=7F?="}, "a  b c d "},
        {"Ukrainian letters", {"Subject: =?utf-8?B?0IfQttCw0Log0ZYg0ZfQttCw0YfQuNGF0LAg0ZQ=?="},
         "\xAF\xE6\xE0\xEA \xB3 \xBF\xE6\xE0\xF7\xE8\xF5\xE0 \xBA"},
        {"the old decoder's opening: its result, the rest ignored",
         {"Subject: =?koi8-r?B?8NLJ18XU?=", " =?utf-8?B?0J/RgNC40LLQtdGC?="}, A("Привет")},
        {"no encoded word: the first line only, byte for byte",
         {"Subject:  Long plain \xC0 subject", "  continued", "."}, " Long plain \xC0 subject"},
        {"the last Subject line wins; other headers' words are not read",
         {"Subject: first", "X-Subject: =?utf-8?B?0J/R?=", "Subject: =?utf-8?q?second?=", "subject: third"},
         "second"},
        {"no Subject line", {"From: =?utf-8?B?0J/RgNC40LLQtdGC?="}, ""},
        {"raw UTF-8: converted as a UTF-8 word is", {"Subject: Счёт, ✓ 🔥"}, A("Счёт, ? ?")},
        {"raw UTF-8 beside an encoded word", {"Subject: Счёт =?utf-8?B?0J/RgNC40LLQtdGC?="}, A("Счёт Привет")},
        {"control bytes of a plain subject: TAB a blank, the others dropped",
         {std::string("Subject: a\0b\rc\td\x7F", 17)}, "abc d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DecodeSubject(c.header, FirstLineSubject(c.header)), c.expected);
    }
    // Without header lines the summary's subject is decoded alone.
    EXPECT_EQ(DecodeSubject({}, "=?utf-8?B?0J/RgNC40LLQtdGC?="), A("Привет"));
}

// Any Windows-1251 text, written as UTF-8 words cut at random bytes (inside
// characters too) and folded at random, decodes to itself, control
// characters to blanks.
TEST(DecodeSubject, Utf8WordsRoundTrip) {
    std::mt19937 rng(2047);
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (size_t n = rng() % 40; n > 0; --n) text.push_back(static_cast<char>(rng() & 0xFF));
        const QByteArray utf8 = mg::FromAnsi(text).toUtf8();
        std::vector<std::string> header = {"Subject:"};
        for (qsizetype at = 0; at < utf8.size();) {
            const qsizetype piece = std::min<qsizetype>(utf8.size() - at, 1 + rng() % 12);
            const QByteArray bytes = utf8.mid(at, piece);
            std::string word = rng() % 2 ? "=?utf-8?b?" + bytes.toBase64().toStdString() + "?="
                                         : "=?UTF-8?Q?" + bytes.toPercentEncoding({}, "_").replace('%', '=').toStdString() + "?=";
            if (rng() % 3 == 0) header.push_back(" " + word);
            else header.back() += " " + word;
            at += piece;
        }
        std::string shown = text;
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
        ASSERT_EQ(DecodeSubject(header, FirstLineSubject(header)), shown) << header.back();
    }
}

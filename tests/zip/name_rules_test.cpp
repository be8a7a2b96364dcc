// The Windows name rule's parts that every platform judges alike: the upcase table written at
// build time from the Unicode data, the case-insensitive key of a name, the spelling a Windows
// client gives a name that meets an earlier one, and the device names.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "KELResMgr/zip/NameRules.h"
#include "platform/windows_names.h"

namespace kel {
namespace {

// Catches a table written from other data than UnicodeData.txt, or read back wrong: every unit
// of the Basic Multilingual Plane maps to its simple uppercase mapping there (field 12), or to
// itself when it has none.
TEST(UpcaseTable, IsTheUnicodeDataSimpleUppercaseMapping) {
    std::ifstream data(KELRES_UNICODE_DATA);
    ASSERT_TRUE(data) << KELRES_UNICODE_DATA;
    std::vector<std::uint32_t> expected(0x10000);
    for (std::uint32_t unit = 0; unit < expected.size(); ++unit) {
        expected[unit] = unit;
    }
    std::size_t mapped = 0;
    for (std::string line; std::getline(data, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ';');) {
            fields.push_back(field);
        }
        if (fields.size() < 13 || fields[12].empty()) {
            continue;
        }
        const auto unit = std::stoul(fields[0], nullptr, 16);
        const auto upper = std::stoul(fields[12], nullptr, 16);
        if (unit <= 0xFFFF && upper <= 0xFFFF) {
            expected[unit] = static_cast<std::uint32_t>(upper);
            ++mapped;
        }
    }
    ASSERT_GT(mapped, 1000u);
    EXPECT_EQ(platform::UpperCaseMappedUnitsForTests(), mapped);
    std::size_t wrong = 0;
    for (std::uint32_t unit = 0; unit < expected.size(); ++unit) {
        const std::uint16_t got = platform::UpperCaseUnit(static_cast<std::uint16_t>(unit));
        if (got != expected[unit] && ++wrong <= 10) {
            ADD_FAILURE() << std::hex << "U+" << unit << " -> U+" << got << ", not U+"
                          << expected[unit];
        }
    }
    EXPECT_EQ(wrong, 0u);
    // A few by hand: the letters of the rows of the check's and the extraction's tables.
    const std::pair<std::uint16_t, std::uint16_t> pairs[] = {
        {u'a', u'A'},         {u'\u0219', u'\u0218'}, {u'\u03AC', u'\u0386'},
        {u'\u0491', u'\u0490'}, {u'\u1EA1', u'\u1EA0'}, {u'\u0561', u'\u0531'},
        {u'\uFF41', u'\uFF21'}, {u'\u00DF', u'\u00DF'}, {u'A', u'A'},
        {0xD801, 0xD801},     {u'\u00FF', u'\u0178'}, {u'\u03C2', u'\u03A3'},
    };
    for (const auto& [unit, upper] : pairs) {
        EXPECT_EQ(platform::UpperCaseUnit(unit), upper) << std::hex << unit;
    }
}

// Catches a key that folds less than NTFS (the pairs a reviewer found one file under Wine) or
// more (characters above the first plane, which NTFS compares unit by unit, unfolded).
TEST(CaseFoldKey, FoldsAsNtfs) {
    const struct {
        const char* a;
        const char* b;
        bool same;
    } rows[] = {
        {"README.txt", "readme.TXT", true},
        {"\xC8\x99.txt", "\xC8\x98.txt", true},                      // ș Ș
        {"\xCE\xAC\xCE\xBB\xCF\x86\xCE\xB1", "\xCE\x86\xCE\x9B\xCE\xA6\xCE\x91", true},  // άλφα
        {"\xD2\x91", "\xD2\x90", true},                              // ґ Ґ
        {"b\xE1\xBA\xA1n", "B\xE1\xBA\xA0N", true},                  // bạn BẠN
        {"\xD5\xA1", "\xD4\xB1", true},                              // ա Ա
        {"\xEF\xBD\x81", "\xEF\xBC\xA1", true},                      // ａ Ａ
        {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", false},             // Deseret: above the BMP
        {"stra\xC3\x9F" "e", "STRASSE", false},                      // no simple mapping to SS
        {"a", "b", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.a);
        EXPECT_EQ(CaseFoldKey(row.a, true) == CaseFoldKey(row.b, true), row.same);
    }
    // 8-bit text: ASCII alone.
    EXPECT_EQ(CaseFoldKey("ab\xE9", false), "AB\xE9");
}

// Catches a Windows client's spelling of a name that meets an earlier one where case is
// ignored: each level as the first name spelled it, so the name is a repeated one.
TEST(FirstSpellings, EachLevelAsFirstSpelled) {
    FirstSpellings spellings;
    const struct {
        const char* name;
        const char* spelled;
    } rows[] = {
        {"Docs/a.txt", "Docs/a.txt"},
        {"DOCS/b.txt", "Docs/b.txt"},
        {"./docs//A.TXT", "./Docs//a.txt"},
        {"docs/.", "Docs/."},  // no file of its own: refused as it is
        {"\xC8\x98.txt", "\xC8\x98.txt"},         // Ș.txt
        {"\xC8\x99.txt", "\xC8\x98.txt"},         // ș.txt: as Ș.txt
        {"\xC8\x99/x", "\xC8\x99/x"},             // ș: not the same level as Ș.txt
        {"\xC8\x99.TXT/x", "\xC8\x98.txt/x"},     // a folder where the file is: as it
        {"other/Docs/a.txt", "other/Docs/a.txt"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(spellings.Respell(row.name), row.spelled) << row.name;
    }
}

// Catches device names that the rule misses: the superscript digits ¹ ² ³ of COM and LPT, in
// UTF-8 and as the UTF-16 name the system is given.
TEST(WindowsNames, DevicesWithSuperscriptDigits) {
    using platform::FindWindowsNameFault;
    using platform::WindowsNameFault;
    const struct {
        const char* utf8;
        const wchar_t* wide;
        bool device;
    } rows[] = {
        {"COM\xC2\xB9", L"COM\u00B9", true},
        {"com\xC2\xB2.txt", L"com\u00B2.txt", true},
        {"LPT\xC2\xB3 .log", L"LPT\u00B3 .log", true},
        {"lpt\xC2\xB2.a.b", L"lpt\u00B2.a.b", true},
        {"COM1", L"COM1", true},
        {"COM\xC2\xB9\xC2\xB9", L"COM\u00B9\u00B9", false},
        {"COM\xC2\xB4", L"COM\u00B4", false},  // the acute accent, not a digit
        {"COM\xC2\xBC", L"COM\u00BC", false},  // ¼
        {"CON\xC2\xB9", L"CON\u00B9", false},
        {"COM0", L"COM0", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.utf8);
        const WindowsNameFault expected =
            row.device ? WindowsNameFault::kDevice : WindowsNameFault::kNone;
        EXPECT_EQ(FindWindowsNameFault(std::string_view(row.utf8)), expected);
        EXPECT_EQ(FindWindowsNameFault(std::wstring_view(row.wide)), expected);
    }
}

}  // namespace
}  // namespace kel

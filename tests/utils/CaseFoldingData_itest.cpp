// The engine's case folding (utils/CaseFolding.h) and the stand-in target's
// (tests/targetserver, config_db.fold_address) held against the data both
// were generated from, Unicode's CaseFolding.txt (statuses C and S), and
// against each other: every character, and addresses. Python's own
// str.casefold() is the full folding and no reference for either.
#include "utils/CaseFolding.h"
#include "utils/CharsetNames.h"
#include "utils/StreamConverter.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace tavir;

namespace {

const char* const dataFile = "/usr/share/unicode/CaseFolding.txt";

struct Folding {
    std::string version;
    std::map<std::uint32_t, std::uint32_t> mappings; // statuses C and S
};

// CaseFolding.txt as its lines say, read without the generator's code.
std::optional<Folding> readData()
{
    std::ifstream in(dataFile);
    if (!in)
        return std::nullopt;
    Folding folding;
    const std::regex versionLine("# CaseFolding-([0-9.]+)\\.txt.*");
    const std::regex mappingLine("([0-9A-F]+); ([CS]); ([0-9A-F]+);.*");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, versionLine))
            folding.version = m[1];
        else if (std::regex_match(line, m, mappingLine))
            folding.mappings[std::stoul(m[1], nullptr, 16)] = std::stoul(m[3], nullptr, 16);
    }
    return folding;
}

// Why the tables can't be held against this machine's data; nothing when
// they can. A missing file fails: the test lists install it.
std::optional<std::string> dataMismatch(const std::optional<Folding>& data)
{
    if (data && data->version != utils::caseFoldingVersion())
        return "the tables are of Unicode " + std::string(utils::caseFoldingVersion())
            + ", this machine's CaseFolding.txt of " + data->version
            + ": run tools/casefolding/gen_case_folding.py";
    return std::nullopt;
}

std::string hex(std::uint32_t c)
{
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", c);
    return text;
}

// Runs the stand-in's fold_address over each line of `lines` (UTF-8,
// separated by "\n") and returns its lines.
std::string standInFolds(const std::string& lines)
{
    test::TempDir dir;
    test::writeFile(dir.file("in"), lines);
    const std::string program = "import sys; sys.path.insert(0, sys.argv[1]); "
                                "from config_db import fold_address; "
                                "text = open(sys.argv[2], encoding='utf-8', newline='').read(); "
                                "open(sys.argv[3], 'w', encoding='utf-8', newline='').write("
                                "'\\n'.join(fold_address(line) for line in text.split('\\n')))";
    std::string output;
    EXPECT_EQ(0,
        test::runShell("python3 -c \"" + program + "\" " TAVIR_SOURCE_DIR "/tests/targetserver "
                + dir.file("in") + " " + dir.file("out") + " 2>&1",
            &output))
        << output;
    return test::readFile(dir.file("out"));
}

std::vector<std::wstring> split(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    std::wistringstream in(text);
    for (std::wstring line; std::getline(in, line, L'\n');)
        lines.push_back(line);
    return lines;
}

// Every character (but the surrogates, and the line feed that separates
// them) folds on both sides as CaseFolding.txt says: its C or S mapping,
// else itself. Addresses fold alike on both sides, byte for byte.
TEST(CaseFoldingData, EngineAndStandInFoldEveryCharacterAsTheDataSays)
{
    const std::optional<Folding> data = readData();
    ASSERT_TRUE(data) << dataFile << " is missing: install unicode-data";
    if (auto why = dataMismatch(data))
        GTEST_SKIP() << *why;
    ASSERT_GT(data->mappings.size(), 1400u);

    const std::vector<std::wstring> addresses = {L"\u039F\u0394\u039F\u03A3@X.org",
        L"\u03BF\u03B4\u03BF\u03C2@x.org", L"\u0130nal@x.org", L"inal@x.org", L"\u00B5@x.org",
        L"\u017Fam@x.org", L"Stra\u00DFe@x.org", L"STRASSE@\u00C4.org", L"\U00010400@x.org"};
    std::vector<std::uint32_t> codes;
    std::wstring input;
    for (std::uint32_t c = 1; c <= 0x10FFFF; ++c)
        if (c != L'\n' && (c < 0xD800 || c > 0xDFFF)) {
            codes.push_back(c);
            input += static_cast<wchar_t>(c);
            input += L'\n';
        }
    for (const std::wstring& address : addresses)
        input += address + L'\n';
    std::string utf8;
    ASSERT_TRUE(utils::unicodeToCharset(utils::cp::UTF_8, input, utf8, true));
    utf8.pop_back();
    std::wstring folded;
    ASSERT_TRUE(utils::charsetToUnicode(utils::cp::UTF_8, standInFolds(utf8), folded, true));
    const std::vector<std::wstring> standIn = split(folded);
    ASSERT_EQ(codes.size() + addresses.size(), standIn.size());

    unsigned wrong = 0;
    unsigned mapped = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const auto found = data->mappings.find(codes[i]);
        const std::uint32_t want = found == data->mappings.end() ? codes[i] : found->second;
        mapped += found != data->mappings.end() && want != codes[i];
        const std::uint32_t engine = static_cast<std::uint32_t>(utils::foldCase(wchar_t(codes[i])));
        const std::wstring& stand = standIn[i];
        const bool right = engine == want && stand.size() == 1 && std::uint32_t(stand[0]) == want;
        if (!right && ++wrong <= 10)
            ADD_FAILURE() << hex(codes[i]) << " folds to " << hex(want) << " by the data; the "
                          << "engine gives " << hex(engine) << ", the stand-in "
                          << (stand.size() == 1 ? hex(std::uint32_t(stand[0])) : "more or less");
    }
    EXPECT_EQ(0u, wrong);
    EXPECT_EQ(data->mappings.size(), mapped);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(utils::foldCase(addresses[i]) == standIn[codes.size() + i]);
    }
}

// The committed tables are what the generator makes from this machine's
// data.
TEST(CaseFoldingData, CommittedTablesAreCurrent)
{
    if (auto why = dataMismatch(readData()))
        GTEST_SKIP() << *why;
    test::TempDir dir;
    std::string output;
    ASSERT_EQ(0,
        test::runShell("python3 " TAVIR_SOURCE_DIR "/tools/casefolding/gen_case_folding.py "
                       "--output-dir "
                + dir.path() + " 2>&1",
            &output))
        << output;
    for (const char* table : {"src/utils/CaseFoldingTable.h", "tests/targetserver/case_folding.py"}) {
        SCOPED_TRACE(table);
        EXPECT_TRUE(test::readFile(dir.path() + "/" + table)
            == test::readFile(std::string(TAVIR_SOURCE_DIR "/") + table));
    }
}

} // namespace

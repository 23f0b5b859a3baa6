#include "utils/Diacritics.h"

#include "utils/CharsetNames.h"
#include "utils/Exception.h"
#include "utils/SingletonFactory.h"
#include "utils/StreamConverter.h"

namespace tavir::utils {

namespace {
const struct {
    const char* letter;
    const char* replacement;
} kLetters[] = {
    {"\xC3\x80", "A"}, // U+00C0
    {"\xC3\x81", "A"}, // U+00C1
    {"\xC3\x82", "A"}, // U+00C2
    {"\xC3\x83", "A"}, // U+00C3
    {"\xC3\x84", "A"}, // U+00C4
    {"\xC3\x85", "A"}, // U+00C5
    {"\xC4\x84", "A"}, // U+0104
    {"\xC4\x80", "A"}, // U+0100
    {"\xC4\x82", "A"}, // U+0102
    {"\xC3\x86", "AE"}, // U+00C6
    {"\xE1\xB8\x82", "B"}, // U+1E02
    {"\xC3\x87", "C"}, // U+00C7
    {"\xC4\x86", "C"}, // U+0106
    {"\xC4\x8C", "C"}, // U+010C
    {"\xC4\x8A", "C"}, // U+010A
    {"\xC4\x88", "C"}, // U+0108
    {"\xC3\x90", "D"}, // U+00D0
    {"\xC4\x8E", "D"}, // U+010E
    {"\xE1\xB8\x8A", "D"}, // U+1E0A
    {"\xC4\x90", "D"}, // U+0110
    {"\xC3\x88", "E"}, // U+00C8
    {"\xC3\x89", "E"}, // U+00C9
    {"\xC3\x8A", "E"}, // U+00CA
    {"\xC3\x8B", "E"}, // U+00CB
    {"\xC4\x98", "E"}, // U+0118
    {"\xC4\x92", "E"}, // U+0112
    {"\xC4\x96", "E"}, // U+0116
    {"\xC4\x9A", "E"}, // U+011A
    {"\xC4\x94", "E"}, // U+0114
    {"\xE1\xB8\x9E", "F"}, // U+1E1E
    {"\xC4\xA2", "G"}, // U+0122
    {"\xC7\xB4", "G"}, // U+01F4
    {"\xC4\x9E", "G"}, // U+011E
    {"\xC4\xA0", "G"}, // U+0120
    {"\xC4\xA4", "H"}, // U+0124
    {"\xC4\xA6", "H"}, // U+0126
    {"\xC3\x8C", "I"}, // U+00CC
    {"\xC3\x8D", "I"}, // U+00CD
    {"\xC3\x8E", "I"}, // U+00CE
    {"\xC3\x8F", "I"}, // U+00CF
    {"\xC4\xAE", "I"}, // U+012E
    {"\xC4\xAA", "I"}, // U+012A
    {"\xC4\xB0", "I"}, // U+0130
    {"\xC4\xA8", "I"}, // U+0128
    {"\xC4\xB4", "J"}, // U+0134
    {"\xC4\xB6", "K"}, // U+0136
    {"\xC4\xBB", "L"}, // U+013B
    {"\xC5\x81", "L"}, // U+0141
    {"\xC4\xB9", "L"}, // U+0139
    {"\xC4\xBD", "L"}, // U+013D
    {"\xC4\xBF", "L"}, // U+013F
    {"\xE1\xB9\x80", "M"}, // U+1E40
    {"\xC3\x91", "N"}, // U+00D1
    {"\xC5\x83", "N"}, // U+0143
    {"\xC5\x85", "N"}, // U+0145
    {"\xC5\x87", "N"}, // U+0147
    {"\xC5\x8A", "N"}, // U+014A
    {"\xC3\x92", "O"}, // U+00D2
    {"\xC3\x93", "O"}, // U+00D3
    {"\xC3\x94", "O"}, // U+00D4
    {"\xC3\x95", "O"}, // U+00D5
    {"\xC3\x96", "O"}, // U+00D6
    {"\xC3\x98", "O"}, // U+00D8
    {"\xC5\x8C", "O"}, // U+014C
    {"\xC5\x90", "O"}, // U+0150
    {"\xC5\x8E", "O"}, // U+014E
    {"\xC5\x92", "OE"}, // U+0152
    {"\xE1\xB9\x96", "P"}, // U+1E56
    {"\xC5\x98", "R"}, // U+0158
    {"\xC5\x94", "R"}, // U+0154
    {"\xC5\x96", "R"}, // U+0156
    {"\xC5\xA0", "S"}, // U+0160
    {"\xC5\x9A", "S"}, // U+015A
    {"\xC5\x9E", "S"}, // U+015E
    {"\xC5\x9C", "S"}, // U+015C
    {"\xC8\x98", "S"}, // U+0218
    {"\xC5\xA2", "T"}, // U+0162
    {"\xE1\xB9\xAA", "T"}, // U+1E6A
    {"\xC5\xA4", "T"}, // U+0164
    {"\xC5\xA6", "T"}, // U+0166
    {"\xC8\x9A", "T"}, // U+021A
    {"\xC3\x99", "U"}, // U+00D9
    {"\xC3\x9A", "U"}, // U+00DA
    {"\xC3\x9B", "U"}, // U+00DB
    {"\xC3\x9C", "U"}, // U+00DC
    {"\xC5\xB2", "U"}, // U+0172
    {"\xC5\xAA", "U"}, // U+016A
    {"\xC5\xB0", "U"}, // U+0170
    {"\xC5\xAE", "U"}, // U+016E
    {"\xC5\xAC", "U"}, // U+016C
    {"\xC5\xA8", "U"}, // U+0168
    {"\xE1\xBA\x80", "W"}, // U+1E80
    {"\xE1\xBA\x82", "W"}, // U+1E82
    {"\xC5\xB4", "W"}, // U+0174
    {"\xE1\xBA\x84", "W"}, // U+1E84
    {"\xE1\xBB\xB2", "Y"}, // U+1EF2
    {"\xC3\x9D", "Y"}, // U+00DD
    {"\xC5\xB8", "Y"}, // U+0178
    {"\xC5\xB6", "Y"}, // U+0176
    {"\xC5\xBD", "Z"}, // U+017D
    {"\xC5\xB9", "Z"}, // U+0179
    {"\xC5\xBB", "Z"}, // U+017B
    {"\xC3\xA0", "a"}, // U+00E0
    {"\xC3\xA1", "a"}, // U+00E1
    {"\xC3\xA2", "a"}, // U+00E2
    {"\xC3\xA3", "a"}, // U+00E3
    {"\xC3\xA4", "a"}, // U+00E4
    {"\xC3\xA5", "a"}, // U+00E5
    {"\xC4\x85", "a"}, // U+0105
    {"\xC4\x81", "a"}, // U+0101
    {"\xC4\x83", "a"}, // U+0103
    {"\xC3\xA6", "ae"}, // U+00E6
    {"\xE1\xB8\x83", "b"}, // U+1E03
    {"\xC3\xA7", "c"}, // U+00E7
    {"\xC4\x87", "c"}, // U+0107
    {"\xC4\x8D", "c"}, // U+010D
    {"\xC4\x8B", "c"}, // U+010B
    {"\xC4\x89", "c"}, // U+0109
    {"\xC3\xB0", "d"}, // U+00F0
    {"\xC4\x8F", "d"}, // U+010F
    {"\xE1\xB8\x8B", "d"}, // U+1E0B
    {"\xC4\x91", "d"}, // U+0111
    {"\xC3\xA8", "e"}, // U+00E8
    {"\xC3\xA9", "e"}, // U+00E9
    {"\xC3\xAA", "e"}, // U+00EA
    {"\xC3\xAB", "e"}, // U+00EB
    {"\xC4\x99", "e"}, // U+0119
    {"\xC4\x93", "e"}, // U+0113
    {"\xC4\x97", "e"}, // U+0117
    {"\xC4\x9B", "e"}, // U+011B
    {"\xC4\x95", "e"}, // U+0115
    {"\xE1\xB8\x9F", "f"}, // U+1E1F
    {"\xC6\x92", "f"}, // U+0192
    {"\xC4\xA3", "g"}, // U+0123
    {"\xC4\x9F", "g"}, // U+011F
    {"\xC7\xB5", "g"}, // U+01F5
    {"\xC4\xA1", "g"}, // U+0121
    {"\xC4\x9D", "g"}, // U+011D
    {"\xC4\xA5", "h"}, // U+0125
    {"\xC4\xA7", "h"}, // U+0127
    {"\xC3\xAC", "i"}, // U+00EC
    {"\xC3\xAD", "i"}, // U+00ED
    {"\xC3\xAE", "i"}, // U+00EE
    {"\xC3\xAF", "i"}, // U+00EF
    {"\xC4\xAB", "i"}, // U+012B
    {"\xC4\xAF", "i"}, // U+012F
    {"\xC4\xB1", "i"}, // U+0131
    {"\xC4\xA9", "i"}, // U+0129
    {"\xC4\xAD", "i"}, // U+012D
    {"\xC4\xB5", "j"}, // U+0135
    {"\xC4\xB7", "k"}, // U+0137
    {"\xC4\xBC", "l"}, // U+013C
    {"\xC5\x82", "l"}, // U+0142
    {"\xC4\xBA", "l"}, // U+013A
    {"\xC4\xBE", "l"}, // U+013E
    {"\xC5\x80", "l"}, // U+0140
    {"\xE1\xB9\x81", "m"}, // U+1E41
    {"\xC3\xB1", "n"}, // U+00F1
    {"\xC5\x84", "n"}, // U+0144
    {"\xC5\x86", "n"}, // U+0146
    {"\xC5\x88", "n"}, // U+0148
    {"\xC5\x8B", "n"}, // U+014B
    {"\xC5\x89", "n"}, // U+0149
    {"\xC5\x8D", "o"}, // U+014D
    {"\xC3\xB2", "o"}, // U+00F2
    {"\xC3\xB3", "o"}, // U+00F3
    {"\xC3\xB4", "o"}, // U+00F4
    {"\xC3\xB5", "o"}, // U+00F5
    {"\xC3\xB6", "o"}, // U+00F6
    {"\xC3\xB8", "o"}, // U+00F8
    {"\xC5\x91", "o"}, // U+0151
    {"\xC5\x8F", "o"}, // U+014F
    {"\xC5\x93", "oe"}, // U+0153
    {"\xE1\xB9\x97", "p"}, // U+1E57
    {"\xC5\x99", "r"}, // U+0159
    {"\xC5\x95", "r"}, // U+0155
    {"\xC5\x97", "r"}, // U+0157
    {"\xC5\xA1", "s"}, // U+0161
    {"\xC5\x9B", "s"}, // U+015B
    {"\xC5\x9F", "s"}, // U+015F
    {"\xC5\x9D", "s"}, // U+015D
    {"\xC8\x99", "s"}, // U+0219
    {"\xC3\x9F", "ss"}, // U+00DF
    {"\xC5\xA3", "t"}, // U+0163
    {"\xC5\xA5", "t"}, // U+0165
    {"\xE1\xB9\xAB", "t"}, // U+1E6B
    {"\xC5\xA7", "t"}, // U+0167
    {"\xC8\x9B", "t"}, // U+021B
    {"\xC3\xB9", "u"}, // U+00F9
    {"\xC3\xBA", "u"}, // U+00FA
    {"\xC3\xBB", "u"}, // U+00FB
    {"\xC3\xBC", "u"}, // U+00FC
    {"\xC5\xB3", "u"}, // U+0173
    {"\xC5\xAB", "u"}, // U+016B
    {"\xC5\xB1", "u"}, // U+0171
    {"\xC5\xAF", "u"}, // U+016F
    {"\xC5\xAD", "u"}, // U+016D
    {"\xC5\xA9", "u"}, // U+0169
    {"\xE1\xBA\x81", "w"}, // U+1E81
    {"\xE1\xBA\x83", "w"}, // U+1E83
    {"\xE1\xBA\x85", "w"}, // U+1E85
    {"\xC5\xB5", "w"}, // U+0175
    {"\xC3\xBD", "y"}, // U+00FD
    {"\xC3\xBF", "y"}, // U+00FF
    {"\xE1\xBB\xB3", "y"}, // U+1EF3
    {"\xC5\xB7", "y"}, // U+0177
    {"\xC5\xBE", "z"}, // U+017E
    {"\xC5\xBA", "z"}, // U+017A
    {"\xC5\xBC", "z"}, // U+017C
};

const ri_conv& letters()
{
    return *SingletonFactory<ri_conv, DestroyAtExit>::getInstance();
}
} // namespace

ri_conv::ri_conv()
{
    for (const auto& entry : kLetters)
        table_.emplace(entry.letter, entry.replacement);
}

const std::string* ri_conv::find(const std::string& letter) const
{
    auto it = table_.find(letter);
    return it == table_.end() ? nullptr : &it->second;
}

bool removeDiacritics(const std::string& charset, const std::string& in, std::string& out)
{
    out.clear();
    if (in.empty())
        return true;
    out.reserve(in.size());
    std::string text;
    try {
        StreamConverter converter(charset, cp::UTF_8, true, false);
        converter.write(in.data(), static_cast<std::streamsize>(in.size()));
        text = converter.get(true);
    } catch (const Exception&) {
        return false;
    }
    const ri_conv& table = letters();
    bool result = true;
    std::string ch;
    while (firstUtf8Char(text, ch)) {
        if (static_cast<unsigned char>(ch[0]) < 0x80) {
            out += ch;
        } else if (const std::string* replacement = table.find(ch)) {
            out += *replacement;
        } else {
            out += '?';
            result = false;
        }
    }
    return result;
}

bool removeDiacritics(const std::wstring& in, std::wstring& out)
{
    std::string utf8, ascii;
    unicodeToCharset(cp::UTF_8, in, utf8, false);
    bool result = removeDiacritics(cp::UTF_8, utf8, ascii);
    charsetToUnicode(cp::UTF_8, ascii, out, false);
    return result;
}

bool removeDiacritics(const unsigned short* in, char* out, int outSize)
{
    if (!out || outSize <= 0)
        return false;
    const size_t limit = static_cast<size_t>(outSize) - 1;
    size_t written = 0;
    auto copy = [&](const char* bytes, size_t length) {
        for (size_t i = 0; i < length; ++i)
            if (written < limit)
                out[written++] = bytes[i];
    };
    bool result = true;
    const ri_conv& table = letters();
    for (const unsigned short* p = in; p && *p; ++p) {
        const unsigned u = *p;
        if (u < 0x80) {
            const char c = static_cast<char>(u);
            copy(&c, 1);
            continue;
        }
        char utf8[3];
        size_t length;
        if (u <= 0x7FF) {
            utf8[0] = static_cast<char>(0xC0 | (u >> 6));
            utf8[1] = static_cast<char>(0x80 | (u & 0x3F));
            length = 2;
        } else {
            utf8[0] = static_cast<char>(0xE0 | (u >> 12));
            utf8[1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            utf8[2] = static_cast<char>(0x80 | (u & 0x3F));
            length = 3;
        }
        if (const std::string* replacement = table.find(std::string(utf8, length))) {
            copy(replacement->data(), replacement->size());
        } else {
            copy(utf8, length);
            result = false;
        }
    }
    out[written] = '\0';
    return result;
}

} // namespace tavir::utils

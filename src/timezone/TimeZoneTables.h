#pragma once
// The zone data compiled into the library, as plain constant rows. The rows
// are turned into TimeAbbr and TimeZone records by TimeZoneKeeper; the
// definitions live in TimeZoneTables.cpp, which tools/zonetables generates.

namespace tavir::timezone::tables {

struct RawAbbr {
    const char* abbreviation;
    const char* offset; // signed ISO 8601 duration, "+PT02H00M"
    bool daylight;
};

struct RawZone {
    const char* name;
    const char* stdOffset;
    const char* dstOffset;
    const char* stdOnset;
    const char* dstOnset;
    const char* stdRRule;
    const char* dstRRule;
    int cdoIds[4]; // -1 for none after the first
};

constexpr unsigned abbreviationCount = 45;
constexpr unsigned displayZoneCount = 112;
constexpr unsigned olsonZoneCount = 607;
constexpr unsigned cdoNameCount = 78;

// The tzdata release the Olson rows were generated from, spelt as tzdata
// spells it (year and letter).
extern const char tzdataVersion[];

extern const RawAbbr abbreviationRows[abbreviationCount];
extern const RawZone displayZoneRows[displayZoneCount];
extern const RawZone olsonZoneRows[olsonZoneCount];
extern const char* const cdoNameRows[cdoNameCount];

} // namespace tavir::timezone::tables

#pragma once
// The charset names the converters hand to the conversion library. Inline
// variables: every translation unit that includes this header sees them
// initialised before its own static objects.
#include <string>

namespace tavir::utils::cp {

inline const std::string ISO_8859_1 = "iso-8859-1";
inline const std::string ISO_8859_2 = "iso-8859-2";
inline const std::string ISO_8859_3 = "iso-8859-3";
inline const std::string ISO_8859_4 = "iso-8859-4";
inline const std::string ISO_8859_5 = "iso-8859-5";
inline const std::string ISO_8859_6 = "iso-8859-6";
inline const std::string ISO_8859_7 = "iso-8859-7";
inline const std::string ISO_8859_8 = "iso-8859-8";
inline const std::string ISO_8859_9 = "iso-8859-9";
inline const std::string ISO_8859_10 = "iso-8859-10";
inline const std::string ISO_8859_13 = "iso-8859-13";
inline const std::string ISO_8859_14 = "iso-8859-14";
inline const std::string ISO_8859_15 = "iso-8859-15";
inline const std::string ISO_8859_16 = "iso-8859-16";
inline const std::string CP_1250 = "cp1250";
inline const std::string CP_1251 = "cp1251";
inline const std::string CP_1252 = "cp1252";
inline const std::string CP_1253 = "cp1253";
inline const std::string CP_1254 = "cp1254";
inline const std::string CP_1255 = "cp1255";
inline const std::string CP_1256 = "cp1256";
inline const std::string CP_1257 = "cp1257";
inline const std::string EUC_JP = "euc-jp";
inline const std::string EUC_CN = "euc-cn";
inline const std::string EUC_KR = "euc-kr";
inline const std::string ISO_2022_JP = "iso-2022-jp";
inline const std::string ISO_2022_CN = "iso-2022-cn";
inline const std::string ISO_2022_KR = "iso-2022-kr";
inline const std::string SHIFT_JIS = "shift_jis";
inline const std::string UTF_7 = "utf-7";
inline const std::string UTF_7_IMAP = "utf-7-imap";
inline const std::string UTF_8 = "utf-8";
inline const std::string UTF_16 = "utf-16";
inline const std::string UTF_32 = "utf-32";
inline const std::string UCS_2 = "ucs-2";
inline const std::string UCS_2_LE = "ucs-2le";
inline const std::string UCS_2_BE = "ucs-2be";
inline const std::string UCS_4 = "ucs-4";
inline const std::string UCS_4_LE = "ucs-4le";
inline const std::string UCS_4_BE = "ucs-4be";

// The number is the part of ISO 8859, not the number of its Latin alphabet:
// ISO_LATIN_5 is "iso-8859-5".
inline const std::string& ISO_LATIN_1 = ISO_8859_1;
inline const std::string& ISO_LATIN_2 = ISO_8859_2;
inline const std::string& ISO_LATIN_3 = ISO_8859_3;
inline const std::string& ISO_LATIN_4 = ISO_8859_4;
inline const std::string& ISO_LATIN_5 = ISO_8859_5;
inline const std::string& ISO_LATIN_6 = ISO_8859_6;
inline const std::string& ISO_LATIN_7 = ISO_8859_7;
inline const std::string& ISO_LATIN_8 = ISO_8859_8;
inline const std::string& ISO_LATIN_9 = ISO_8859_9;
inline const std::string& ISO_LATIN_10 = ISO_8859_10;
inline const std::string& ISO_LATIN_13 = ISO_8859_13;
inline const std::string& ISO_LATIN_14 = ISO_8859_14;
inline const std::string& ISO_LATIN_15 = ISO_8859_15;
inline const std::string& ISO_LATIN_16 = ISO_8859_16;
inline const std::string& UTF_7_M = UTF_7_IMAP;
inline const std::string& UNICODE_CURRENT_OS = UCS_4_LE;
inline const std::string& UNICODE4 = UCS_4_LE;
inline const std::string& UNICODE2 = UCS_2_LE;

} // namespace tavir::utils::cp

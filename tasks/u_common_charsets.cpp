#include "tasks/u_common.h"

#include <array>
#include <cstdio>

namespace tasks {

namespace {

// Ids, names, descriptions and, where a text decoder knows the set, its encoding name. The first
// 131 rows keep the order and the gaps of the classic table, whose row numbers callers store; a
// row with an empty name is an id that was never given a published name.
constexpr std::array kCharsets = std::to_array<TCharsetRow>({
    {1, "US7ASCII", "ASCII 7-bit American", "US-ASCII"},
    {2, "WE8DEC", "DEC 8-bit West European"},
    {3, "WE8HP", "HP LaserJet 8-bit West European"},
    {4, "US8PC437", "IBM-PC Code Page 437 8-bit American"},
    {5, "WE8EBCDIC37", "EBCDIC Code Page 37 8-bit West European"},
    {6, "WE8EBCDIC500", "EBCDIC Code Page 500 8-bit West European"},
    {10, "WE8PC850", "IBM-PC Code Page 850 8-bit West European"},
    {11, "D7DEC", "DEC VT100 7-bit German"},
    {12, "F7DEC", "DEC VT100 7-bit French"},
    {13, "S7DEC", "DEC VT100 7-bit Swedish"},
    {14, "E7DEC", "DEC VT100 7-bit Spanish"},
    {15, "SF7ASCII", "ASCII 7-bit Finnish"},
    {16, "NDK7DEC", "DEC VT100 7-bit Norwegian/Danish"},
    {17, "I7DEC", "DEC VT100 7-bit Italian"},
    {18, "NL7DEC", "DEC VT100 7-bit Dutch"},
    {19, "CH7DEC", "DEC VT100 7-bit Swiss (German/French)"},
    {20, "YUG7ASCII", "ASCII 7-bit Yugoslavian"},
    {21, "SF7DEC", "DEC VT100 7-bit Finnish"},
    {22, "TR7DEC", "DEC VT100 7-bit Turkish"},
    {31, "WE8ISO8859P1", "ISO 8859-1 West European", "ISO-8859-1"},
    {32, "EE8ISO8859P2", "ISO 8859-2 East European", "ISO-8859-2"},
    {33, "SE8ISO8859P3", "ISO 8859-3 South European"},
    {34, "NEE8ISO8859P4", "ISO 8859-4 North and North-East European"},
    {35, "CL8ISO8859P5", "ISO 8859-5 Latin/Cyrillic", "ISO-8859-5"},
    {36, "AR8ISO8859P6", "ISO 8859-6 Latin/Arabic"},
    {37, "EL8ISO8859P7", "ISO 8859-7 Latin/Greek"},
    {38, "IW8ISO8859P8", "ISO 8859-8 Latin/Hebrew"},
    {39, "WE8ISO8859P9", "ISO 8859-9 West European & Turkish"},
    {41, "TH8TISASCII", "Thai Industrial Standard 620-2533 - ASCII 8-bit", "TIS-620"},
    {42, "TH8TISEBCDIC", "Thai Industrial Standard 620-2533 - EBCDIC 8-bit"},
    {81, "EL8DEC", "DEC 8-bit Latin/Greek"},
    {82, "TR8DEC", "DEC 8-bit Turkish"},
    {90, "WE8EBCDIC37C", "EBCDIC Code Page 37 8-bit Oracle/c"},
    {91, "WE8EBCDIC500C", "EBCDIC Code Page 500 8-bit Oracle/c"},
    {100, "WE8EBCDIC1047E", "Latin 1/Open Systems 1047"},
    {101, "WE8EBCDIC924", "Latin 9 EBCDIC 924"},
    {102, "", ""},
    {103, "", ""},
    {110, "EEC8EUROASCI", "EEC Targon 35 ASCI West European/Greek"},
    {111, "", ""},
    {112, "", ""},
    {113, "EEC8EUROPA3", "EEC EUROPA3 8-bit West European/Greek"},
    {154, "IW8PC1507", "IBM-PC Code Page 1507/862 8-bit Latin/Hebrew"},
    {150, "EE8PC852", "Code Page 852 East European"},
    {152, "RU8PC866", "IBM-PC Code Page 866 8-bit Latin/Cyrillic"},
    {153, "RU8BESTA", "BESTA 8-bit Latin/Cyrillic"},
    {155, "RU8PC855", "IBM-PC Code Page 855 8-bit Latin/Cyrillic"},
    {156, "TR8PC857", "IBM-PC Code Page 857 8-bit Turkish"},
    {157, "", ""},
    {158, "CL8MACCYRILLIC", "Mac Client 8-bit Latin/Cyrillic"},
    {160, "WE8PC860", "IBM-PC Code Page 860 8-bit West European"},
    {180, "D8EBCDIC273", "EBCDIC Code Page 273/1 8-bit Austrian German"},
    {181, "I8EBCDIC280", "EBCDIC Code Page 280/1 8-bit Italian"},
    {182, "DK8EBCDIC277", "EBCDIC Code Page 277/1 8-bit Danish"},
    {183, "S8EBCDIC278", "EBCDIC Code Page 278/1 8-bit Swedish"},
    {190, "N8PC865", "IBM-PC Code Page 865 8-bit Norwegian"},
    {201, "F7SIEMENS9780X", "Siemens 97801/97808 7-bit French"},
    {202, "E7SIEMENS9780X", "Siemens 97801/97808 7-bit Spanish"},
    {203, "S7SIEMENS9780X", "Siemens 97801/97808 7-bit Swedish"},
    {204, "DK7SIEMENS9780X", "Siemens 97801/97808 7-bit Danish"},
    {205, "N7SIEMENS9780X", "Siemens 97801/97808 7-bit Norwegian"},
    {206, "I7SIEMENS9780X", "Siemens 97801/97808 7-bit Italian"},
    {207, "D7SIEMENS9780X", "Siemens 97801/97808 7-bit German"},
    {221, "US8BS2000", "Siemens 9750-62 EBCDIC 8-bit American"},
    {222, "D8BS2000", "Siemens 9750-62 EBCDIC 8-bit German"},
    {223, "F8BS2000", "Siemens 9750-62 EBCDIC 8-bit French"},
    {224, "E8BS2000", "Siemens 9750-62 EBCDIC 8-bit Spanish"},
    {225, "DK8BS2000", "Siemens 9750-62 EBCDIC 8-bit Danish"},
    {231, "WE8BS2000", "Siemens EBCDIC.DF.04 8-bit West European"},
    {239, "WE8BS2000L5", "Siemens EBCDIC.DF.04.L5 8-bit West European/Turkish"},
    {241, "WE8DG", "DG 8-bit West European"},
    {251, "WE8NCR4970", "NCR 4970 8-bit West European"},
    {261, "WE8ROMAN8", "HP Roman8 8-bit West European"},
    {301, "EE8EBCDIC870C", "EBCDIC Code Page 870 Client 8-bit East European"},
    {302, "", ""},
    {303, "", ""},
    {304, "", ""},
    {305, "", ""},
    {306, "", ""},
    {307, "", ""},
    {311, "EL8EBCDIC875S", "EBCDIC Code Page 875 Server 8-bit Greek"},
    {312, "TR8EBCDIC1026S", "EBCDIC Code Page 1026 Server 8-bit Turkish"},
    {313, "", ""},
    {314, "BLT8EBCDIC1112S", "EBCDIC Code Page 1112 8-bit Server Baltic Multilingual"},
    {315, "IW8EBCDIC424S", "EBCDIC Code Page 424 Server 8-bit Latin/Hebrew"},
    {316, "EE8EBCDIC870S", "EBCDIC Code Page 870 Server 8-bit East European"},
    {317, "CL8EBCDIC1025S", "EBCDIC Code Page 1025 Server 8-bit Cyrillic"},
    {321, "", ""},
    {322, "CL8EBCDIC1025C", "EBCDIC Code Page 1025 Client 8-bit Cyrillic"},
    {323, "CL8EBCDIC1025R", "EBCDIC Code Page 1025 Server 8-bit Cyrillic"},
    {324, "EL8EBCDIC875R", "EBCDIC Code Page 875 Server 8-bit Greek"},
    {325, "CL8EBCDIC1158", "EBCDIC Code Page 1158 8-bit Cyrillic"},
    {326, "CL8EBCDIC1158R", "EBCDIC Code Page 1158 Server 8-bit Cyrillic"},
    {327, "EL8EBCDIC423R", "IBM EBCDIC Code Page 423 for RDBMS server-side"},
    {331, "", ""},
    {332, "", ""},
    {333, "", ""},
    {334, "", ""},
    {335, "", ""},
    {336, "", ""},
    {337, "", ""},
    {341, "", ""},
    {351, "WE8MACROMAN8", "Mac Client 8-bit Extended Roman8 West European"},
    {360, "", ""},
    {361, "", ""},
    {363, "", ""},
    {364, "", ""},
    {365, "", ""},
    {366, "", ""},
    {367, "", ""},
    {368, "HU8CWI2", "Hungarian 8-bit CWI-2"},
    {370, "", ""},
    {380, "EL8PC437S", "IBM-PC Code Page 437 8-bit (Greek modification)"},
    {381, "EL8EBCDIC875", "EBCDIC Code Page 875 8-bit Greek"},
    {390, "CDN8PC863", "IBM-PC Code Page 863 8-bit Canadian French"},
    {401, "HU8ABMOD", "Hungarian AB Mod"},
    {401, "HU8ABMOD", "Hungarian AB Mod"},
    {590, "LA8ISO6937", "ISO 6937 8-bit Coded Character Set for Text Communication"},
    {829, "JA16VMS", "JVMS 16-bit Japanese"},
    {830, "JA16EUC", "EUC 24-bit Japanese", "EUC-JP"},
    {832, "JA16SJIS", "Shift-JIS 16-bit Japanese", "Shift_JIS"},
    {833, "JA16DBCS", "IBM EBCDIC 16-bit Japanese"},
    {839, "", ""},
    {843, "", ""},
    {840, "KO16KSC5601", "KSC5601 16-bit Korean", "EUC-KR"},
    {842, "KO16DBCS", "IBM EBCDIC 16-bit Korean"},
    {850, "ZHS16CGB231280", "CGB2312-80 16-bit Simplified Chinese"},
    {852, "ZHS16GBK", "Chinese GBK", "GBK"},
    {860, "ZHT32EUC", "EUC 32-bit Traditional Chinese"},
    {865, "ZHT16BIG5", "BIG5 16-bit Traditional Chinese", "Big5"},
    {871, "UTF8", "", "UTF-8"},
    // Sets that exports of later releases write.
    {28, "WE8PC858", "IBM-PC Code Page 858 8-bit West European"},
    {45, "VN8MSWIN1258", "MS Windows Code Page 1258 8-bit Vietnamese", "windows-1258"},
    {46, "WE8ISO8859P15", "ISO 8859-15 West European", "ISO-8859-15"},
    {170, "EE8MSWIN1250", "MS Windows Code Page 1250 8-bit East European", "windows-1250"},
    {171, "CL8MSWIN1251", "MS Windows Code Page 1251 8-bit Latin/Cyrillic", "windows-1251"},
    {172, "ET8MSWIN923", "MS Windows Code Page 923 8-bit Estonian"},
    {173, "BG8MSWIN", "MS Windows 8-bit Bulgarian Cyrillic"},
    {174, "EL8MSWIN1253", "MS Windows Code Page 1253 8-bit Latin/Greek", "windows-1253"},
    {175, "IW8MSWIN1255", "MS Windows Code Page 1255 8-bit Latin/Hebrew", "windows-1255"},
    {176, "LT8MSWIN921", "MS Windows Code Page 921 8-bit Lithuanian"},
    {177, "TR8MSWIN1254", "MS Windows Code Page 1254 8-bit Turkish", "windows-1254"},
    {178, "WE8MSWIN1252", "MS Windows Code Page 1252 8-bit West European", "windows-1252"},
    {179, "BLT8MSWIN1257", "MS Windows Code Page 1257 8-bit Baltic", "windows-1257"},
    {196, "CL8KOI8R", "RELCOM Internet Standard 8-bit Latin/Cyrillic"},
    {560, "AR8MSWIN1256", "MS Windows Code Page 1256 8-Bit Latin/Arabic", "windows-1256"},
    {846, "KO16MSWIN949", "MS Windows Code Page 949 Korean", "windows-949"},
    {854, "ZHS32GB18030", "GB18030 Simplified Chinese", "GB18030"},
    {867, "ZHT16MSWIN950", "MS Windows Code Page 950 Traditional Chinese", "Big5"},
    {868, "ZHT16HKSCS", "MS Windows Code Page 950 with Hong Kong Supplementary Character Set"},
    {873, "AL32UTF8", "Unicode UTF-8 Universal character set", "UTF-8"},
});
static_assert(kCharsets.size() == kClassicCharsetRows + 20);

}  // namespace

std::span<const TCharsetRow> CharsetTable() {
  return kCharsets;
}

int LookupCharsetName(std::string_view hexId) {
  for (size_t i = 0; i < kCharsets.size(); ++i) {
    if (kCharsets[i].name.empty()) continue;
    char text[8];
    std::snprintf(text, sizeof text, "%04X", unsigned(kCharsets[i].id));
    if (hexId == text) return int(i) + 1;
  }
  return 0;
}

std::string CharsetCaption(int row) {
  if (row < 1 || size_t(row) > kCharsets.size() || kCharsets[size_t(row) - 1].name.empty()) return "Unknown";
  const TCharsetRow& r = kCharsets[size_t(row) - 1];
  return std::string(r.name) + " (" + std::string(r.description) + ")";
}

std::string_view CharsetEncoding(std::string_view name) {
  for (const TCharsetRow& row : kCharsets)
    if (!row.name.empty() && row.name == name) return row.encoding;
  return {};
}

std::vector<int> CharsetNameRows() {
  std::vector<int> rows;
  for (size_t i = 0; i < kCharsets.size(); ++i) {
    if (!kCharsets[i].name.empty()) rows.push_back(int(i) + 1);
  }
  return rows;
}

}  // namespace tasks

#include "core/commands/SystemQueries.h"

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>

#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"
#include "core/util/Text.h"
#include "core/util/Version.h"

namespace {

constexpr HRESULT kUuidLocalOnly = 0x720;  // RPC_S_UUID_LOCAL_ONLY: unique on this computer only, still usable

struct GeoRow {
    const char* identifier;
    const char* code;
};

// Windows geographical location ids and their country or region codes, in
// ascending id order. Row 348 carries a trailing blank, returned as it is.
constexpr GeoRow kGeoTable[] = {
    {"2", "AG"}, {"3", "AF"}, {"4", "DZ"}, {"5", "AZ"}, {"6", "AL"}, {"7", "AM"}, {"8", "AD"}, {"9", "AO"},
    {"10", "AS"}, {"11", "AR"}, {"12", "AU"}, {"14", "AT"}, {"17", "BH"}, {"18", "BB"}, {"19", "BW"},
    {"20", "BM"}, {"21", "BE"}, {"22", "BS"}, {"23", "BD"}, {"24", "BZ"}, {"25", "BA"}, {"26", "BO"},
    {"27", "MM"}, {"28", "BJ"}, {"29", "BY"}, {"30", "SB"}, {"32", "BR"}, {"34", "BT"}, {"35", "BG"},
    {"37", "BN"}, {"38", "BI"}, {"39", "CA"}, {"40", "KH"}, {"41", "TD"}, {"42", "LK"}, {"43", "CG"},
    {"44", "CD"}, {"45", "CN"}, {"46", "CL"}, {"49", "CM"}, {"50", "KM"}, {"51", "CO"}, {"54", "CR"},
    {"55", "CF"}, {"56", "CU"}, {"57", "CV"}, {"59", "CY"}, {"61", "DK"}, {"62", "DJ"}, {"63", "DM"},
    {"65", "DO"}, {"66", "EC"}, {"67", "EG"}, {"68", "IE"}, {"69", "GQ"}, {"70", "EE"}, {"71", "ER"},
    {"72", "SV"}, {"73", "ET"}, {"75", "CZ"}, {"77", "FI"}, {"78", "FJ"}, {"80", "FM"}, {"81", "FO"},
    {"84", "FR"}, {"86", "GM"}, {"87", "GA"}, {"88", "GE"}, {"89", "GH"}, {"90", "GI"}, {"91", "GD"},
    {"93", "GL"}, {"94", "DE"}, {"98", "GR"}, {"99", "GT"}, {"100", "GN"}, {"101", "GY"}, {"103", "HT"},
    {"104", "HK"}, {"106", "HN"}, {"108", "HR"}, {"109", "HU"}, {"110", "IS"}, {"111", "ID"}, {"113", "IN"},
    {"114", "IO"}, {"116", "IR"}, {"117", "IL"}, {"118", "IT"}, {"119", "CI"}, {"121", "IQ"}, {"122", "JP"},
    {"124", "JM"}, {"125", "SJ"}, {"126", "JO"}, {"127", "UM"}, {"129", "KE"}, {"130", "KG"}, {"131", "KR"},
    {"133", "KI"}, {"134", "KP"}, {"136", "KW"}, {"137", "KZ"}, {"138", "LA"}, {"139", "LB"}, {"140", "LV"},
    {"141", "LT"}, {"142", "LR"}, {"143", "SK"}, {"145", "LI"}, {"146", "LS"}, {"147", "LU"}, {"148", "LY"},
    {"149", "MG"}, {"151", "MO"}, {"152", "MD"}, {"154", "MN"}, {"156", "MW"}, {"157", "ML"}, {"158", "MC"},
    {"159", "MA"}, {"160", "MU"}, {"162", "MR"}, {"163", "MT"}, {"164", "OM"}, {"165", "MV"}, {"166", "MX"},
    {"167", "MY"}, {"168", "MZ"}, {"173", "NE"}, {"174", "VU"}, {"175", "NG"}, {"176", "NL"}, {"177", "NO"},
    {"178", "NP"}, {"180", "NR"}, {"181", "SR"}, {"182", "NI"}, {"183", "NZ"}, {"184", "PS"}, {"185", "PY"},
    {"187", "PE"}, {"190", "PK"}, {"191", "PL"}, {"192", "PA"}, {"193", "PT"}, {"194", "PG"}, {"195", "PW"},
    {"196", "GW"}, {"197", "QA"}, {"198", "RE"}, {"199", "MH"}, {"200", "RO"}, {"201", "PH"}, {"202", "PR"},
    {"203", "RU"}, {"204", "RW"}, {"205", "SA"}, {"206", "PM"}, {"207", "KN"}, {"208", "SC"}, {"209", "ZA"},
    {"210", "SN"}, {"212", "SI"}, {"213", "SL"}, {"214", "SM"}, {"215", "SG"}, {"216", "SO"}, {"217", "ES"},
    {"218", "LC"}, {"219", "SD"}, {"220", "SJ"}, {"221", "SE"}, {"222", "SY"}, {"223", "CH"}, {"224", "AE"},
    {"225", "TT"}, {"227", "TH"}, {"228", "TJ"}, {"231", "TO"}, {"232", "TG"}, {"233", "ST"}, {"234", "TN"},
    {"235", "TR"}, {"236", "TV"}, {"237", "TW"}, {"238", "TM"}, {"239", "TZ"}, {"240", "UG"}, {"241", "UA"},
    {"242", "GB"}, {"244", "US"}, {"245", "BF"}, {"246", "UY"}, {"247", "UZ"}, {"248", "VC"}, {"249", "VE"},
    {"251", "VN"}, {"252", "VG"}, {"253", "VA"}, {"254", "NA"}, {"258", "UM"}, {"259", "WS"}, {"260", "SZ"},
    {"261", "YE"}, {"263", "ZM"}, {"264", "ZW"}, {"269", "RS"}, {"270", "ME"}, {"271", "CS"}, {"300", "AI"},
    {"301", "AQ"}, {"302", "AW"}, {"303", "AX"}, {"304", "AU"}, {"305", "UM"}, {"306", "BV"}, {"307", "KY"},
    {"308", "GB"}, {"309", "CX"}, {"310", "FR"}, {"311", "CC"}, {"312", "CK"}, {"313", "AU"}, {"314", "IO"},
    {"315", "FK"}, {"317", "GF"}, {"318", "PF"}, {"319", "TF"}, {"321", "GP"}, {"322", "GU"}, {"323", "CU"},
    {"324", "GG"}, {"325", "HM"}, {"326", "UM"}, {"327", "UM"}, {"328", "JE"}, {"329", "UM"}, {"330", "MQ"},
    {"331", "YT"}, {"332", "MS"}, {"333", "AN"}, {"334", "NC"}, {"335", "NU"}, {"336", "NF"}, {"337", "MP"},
    {"338", "UM"}, {"339", "PN"}, {"340", "MP"}, {"341", "MP"}, {"342", "GS"}, {"343", "SH"}, {"346", "MP"},
    {"347", "TK"}, {"348", "SH "}, {"349", "TC"}, {"350", "UM"}, {"351", "VI"}, {"352", "WF"}, {"15126", "IM"},
    {"19618", "MK"}, {"21242", "UM"}, {"7299303", "TL"},
};

constexpr int kGeoRows = static_cast<int>(sizeof(kGeoTable) / sizeof(kGeoTable[0]));
static_assert(kGeoRows == 263, "the location table has 263 rows");

}  // namespace

std::wstring GetCoreVersion() {
    char version[128];
    snprintf(version, sizeof(version), "%s.0%s.%s", kVersionMajor, kVersionMinor, kVersionRelease);
    return Widen(version);
}

std::string CreateUuid() {
    GUID guid;
    const HRESULT created = CoCreateGuid(&guid);
    if (created != S_OK && created != kUuidLocalOnly) return std::string();
    wchar_t text[39] = {};
    if (StringFromGUID2(guid, text, 39) == 0) return std::string();
    return Narrow(text);
}

std::string CountryCodeForGeoId(int geoId) {
    int lo = 0;
    int hi = kGeoRows - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int identifier = atoi(kGeoTable[mid].identifier);
        if (geoId > identifier) {
            lo = mid + 1;
        } else if (geoId < identifier) {
            hi = mid - 1;
        } else {
            return kGeoTable[mid].code;
        }
    }
    return "XX";
}

std::string GetLocalCountryCode() {
    const std::wstring nation =
        RegistryManager::GetStringValue(HKEY_CURRENT_USER, L"Control Panel\\International\\Geo", L"Nation");
    if (nation.empty()) {
        LogMessage(std::string("Can not find Nation value"));
    } else {
        LogMessage(std::string("Nation value found"));
        LogMessage(nation);
    }
    return CountryCodeForGeoId(atoi(Narrow(nation).c_str()));
}

bool IsInsideDirectory(const std::wstring& path, const std::wstring& directory) {
    return StartsWith(directory, path) && path.find(L"..") == std::wstring::npos;
}

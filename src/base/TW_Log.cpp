#include "TW_Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PfFile.h"
#include "PfSystem.h"

TW_Locker g_lckLog;

namespace tw {

void BuildLogFileNameIn(const char* lpszBaseFolder, int nPeriod, const char* lpszTag, TW_String& strPath,
                        const TW_DateTimeEx& dt) {
    const char sep[2] = {pf::PathSeparator(), 0};
    int y, mo, d;
    dt.GetDate(y, mo, d);
    const unsigned uY = unsigned(y), uMo = unsigned(mo), uD = unsigned(d), uH = unsigned(dt.GetHour());

    TW_String strFolder;
    if (lpszBaseFolder && *lpszBaseFolder) {
        strFolder = lpszBaseFolder;
        if (strFolder.GetAt(strFolder.GetLength() - 1) != sep[0]) strFolder += sep;
    }
    strFolder += "log";
    strFolder += sep;
    strFolder += "log";
    TW_String strPart;
    if (nPeriod == 1 || nPeriod == 2) {
        strPart.Format("_%04u_%02u", uY, uMo);
        strFolder += strPart;
        pf::CreateFolder(strFolder);  // fails harmlessly when present or when "log" is missing
        strFolder += sep;
    } else if (nPeriod == 3) {
        strPart.Format("_%04u", uY);
        strFolder += strPart;
        pf::CreateFolder(strFolder);
        strFolder += sep;
    } else if (lpszTag) {
        strFolder += "_";
    }
    if (lpszTag) {
        strFolder += lpszTag;
        strFolder += "_";
    }
    switch (nPeriod) {
        case 1: strPart.Format("%04u_%02u_%02u_%02u.txt", uY, uMo, uD, uH); break;
        case 2: strPart.Format("%04u_%02u_%02u.txt", uY, uMo, uD); break;
        case 3: strPart.Format("%04u_%02u.txt", uY, uMo); break;
        case 4: strPart.Format("%04u.txt", uY); break;
        default: strPart = ".txt"; break;
    }
    strPath = strFolder + strPart;
}

void LogWriteV(const char* lpszBaseFolder, int nPeriod, const char* lpszTag, const TW_DateTimeEx* lpTime,
               const char* lpszFormat, va_list args) {
    if (!TW_CHECK(lpszFormat != nullptr)) return;
    TW_LockGuard guard(&g_lckLog);
    // The clock is read under the lock, so the lines of a file are in time
    // order and a line never lands in the file of an earlier hour.
    TW_DateTimeEx dt = lpTime ? *lpTime : TW_DateTimeEx::Now();
    TW_String strPath;
    BuildLogFileNameIn(lpszBaseFolder, nPeriod, lpszTag, strPath, dt);
    // Binary append: the caller's "\r\n" reaches the file as it is, on every
    // platform (a text-mode stream on Windows would double the CR).
    std::FILE* fp = std::fopen(strPath, "ab");
    if (!fp) return;
    size_t nSize = std::strlen(lpszFormat) + 1024;
    char* lpszMsg = static_cast<char*>(std::malloc(nSize));
    if (lpszMsg) {
        // Bounded and terminated whatever the C library does on truncation.
        int n = std::vsnprintf(lpszMsg, nSize, lpszFormat, args);
        if (n < 0) lpszMsg[0] = 0;
        lpszMsg[nSize - 1] = 0;
        TW_String strStamp;
        dt.FormatDate(strStamp, 0, "-");
        TW_String strTime;
        dt.FormatTime(strTime, 1);
        std::fprintf(fp, "%s %s : %s", strStamp.GetString(), strTime.GetString(), lpszMsg);
        std::free(lpszMsg);
    }
    std::fclose(fp);
}

}  // namespace tw

void BuildLogFileName(int nPeriod, const char* lpszTag, TW_String& strPath, const TW_DateTimeEx& dt) {
    tw::BuildLogFileNameIn(pf::ModuleFolder().c_str(), nPeriod, lpszTag, strPath, dt);
}

void LogWrite(int nPeriod, const char* lpszTag, const char* lpszFormat, ...) {
    std::string strFolder = pf::ModuleFolder();
    if (strFolder.empty()) return;
    va_list args;
    va_start(args, lpszFormat);
    tw::LogWriteV(strFolder.c_str(), nPeriod, lpszTag, nullptr, lpszFormat, args);
    va_end(args);
}

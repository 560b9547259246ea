// Time-stamped log lines in files below a "log" folder next to the library
// module, one file per period: the period code picks how the files roll over.
//
//   1  log/log_YYYY_MM/<tag>_YYYY_MM_DD_hh.txt   (hourly)
//   2  log/log_YYYY_MM/<tag>_YYYY_MM_DD.txt      (daily)
//   3  log/log_YYYY/<tag>_YYYY_MM.txt            (monthly)
//   4  log/log_<tag>_YYYY.txt                    (yearly)
//   *  log/log_<tag>_.txt
//
// Without a tag the "<tag>_" part is left out (and the "_" before it for
// periods 4 and others). Without a "log" folder nothing is written and
// nothing is created: the folder is how a deployment switches logging on.
#ifndef TW_LOG_H
#define TW_LOG_H

#include <cstdarg>

#include "PfText.h"
#include "TW_DateTimeEx.h"
#include "TW_Locker.h"
#include "TW_String.h"

// Serialises every writer in the process: lines never interleave.
extern TW_Locker g_lckLog;

// Appends "YYYY-MM-DD hh:mm:ss : <message>" to the file of the period and
// tag (null tag: none). The format supplies its own line end. Never fails
// visibly: a line that cannot be written is dropped, and a message longer
// than the format plus 1024 bytes is cut.
PF_PRINTF_FORMAT(3, 4) void LogWrite(int nPeriod, const char* lpszTag, const char* lpszFormat, ...);

// The file name for the period and tag at the given local date-time, below
// the module's folder. For periods 1 to 3 the month or year folder is
// created (one level) when missing.
void BuildLogFileName(int nPeriod, const char* lpszTag, TW_String& strPath, const TW_DateTimeEx& dt);

namespace tw {

// The same two services below an explicit base folder instead of the
// module's (the folder that holds "log"; empty: the current folder).
// lpTime null means now.
void BuildLogFileNameIn(const char* lpszBaseFolder, int nPeriod, const char* lpszTag, TW_String& strPath,
                        const TW_DateTimeEx& dt);
void LogWriteV(const char* lpszBaseFolder, int nPeriod, const char* lpszTag, const TW_DateTimeEx* lpTime,
               const char* lpszFormat, va_list args);

}  // namespace tw

#endif

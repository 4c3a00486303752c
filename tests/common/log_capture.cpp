#include "tests/common/log_capture.h"

#include "log/logger.h"
#include "support/srw_lock.h"
#include "tests/common/files.h"
#include "tests/common/product_log.h"
#include "tests/common/registry.h"
#include "tests/common/text.h"

void CloseTheLog()
{
    CLogFile& log = TheLogFile();
    {
        ExclusiveLock hold(log.Lock);
        log.Close();
    }
    log.SetThreshold(0);
}

HANDLE TheLogFileHandle()
{
    CLogFile& log = TheLogFile();
    ExclusiveLock hold(log.Lock);
    return log.FileHandle();
}

CapturedLog::CapturedLog(DWORD threshold)
{
    m_savedDirectory = LogDirectory;
    m_savedIdentity = LogDirectoryIdentity;
    SetLogDirectory(m_folder.Path(), FileIdentityAt(m_folder.Path()));
    SetProductDword(L"", L"Debug", threshold);
    OpenDailyLog();
}

CapturedLog::~CapturedLog()
{
    CloseTheLog();
    SetLogDirectory(m_savedDirectory, m_savedIdentity);
}

std::wstring CapturedLog::Text() const
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ReadUtf8File(DailyLogPath(now));
}

std::vector<std::wstring> CapturedLog::Messages() const
{
    std::vector<std::wstring> messages;
    for (const std::wstring& line : CompleteLinesOf(Text())) {
        if (line.find(L"] ") != std::wstring::npos)
            messages.push_back(MessageOf(line));
    }
    return messages;
}

bool CapturedLog::Has(const std::wstring& message) const { return Count(message) > 0; }

int CapturedLog::Count(const std::wstring& message) const
{
    int count = 0;
    for (const std::wstring& m : Messages())
        count += m == message ? 1 : 0;
    return count;
}

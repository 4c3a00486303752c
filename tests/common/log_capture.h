#pragma once
// This process's own log, as the product's code in the tests writes it: sent to a scratch
// folder for a test and read back.
#include "support/file_identity.h"
#include "tests/common/scratch_folder.h"

#include <windows.h>

#include <string>
#include <vector>

// Closes this process's log file, under the logger's lock, and sets its threshold back to 0.
void CloseTheLog();
// The handle of this process's log file, read under the logger's lock; the logger keeps
// owning it.
HANDLE TheLogFileHandle();

// Sends this process's own log to a scratch folder for the life of the object, with the
// product key's Debug set to threshold (the product key must have been reset first).
class CapturedLog {
public:
    explicit CapturedLog(DWORD threshold = 6);
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    // The messages written so far, in order.
    std::vector<std::wstring> Messages() const;
    bool Has(const std::wstring& message) const;
    // How many messages equal message.
    int Count(const std::wstring& message) const;
    std::wstring Text() const;

private:
    ScratchDirectory m_folder;
    std::wstring m_savedDirectory;
    FileIdentity m_savedIdentity;
};

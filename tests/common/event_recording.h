#pragma once
// An Event Log sink that records the reports made through it instead (SetEventSink).
#include "log/event_log.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct RecordedEvent {
    WORD Id = 0;   // as an administrator sees it
    WORD Type = 0;
    std::vector<std::wstring> Inserts;
};

// Records the reports made through it, in order; any thread.
class RecordingEventSink : public CEventSink {
public:
    bool Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts) override;
    std::vector<RecordedEvent> Events() const;
    // The events with this ID.
    std::vector<RecordedEvent> EventsWithId(WORD id) const;
    // Makes every later report fail (and still be recorded).
    void Fail(bool fail) { m_fail = fail; }

private:
    mutable std::mutex m_lock;
    std::vector<RecordedEvent> m_events;
    std::atomic<bool> m_fail{false};
};

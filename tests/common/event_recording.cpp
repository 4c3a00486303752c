#include "tests/common/event_recording.h"

bool RecordingEventSink::Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_events.push_back(RecordedEvent{VisibleEventId(messageId), type, inserts});
    return !m_fail;
}

std::vector<RecordedEvent> RecordingEventSink::Events() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
}

std::vector<RecordedEvent> RecordingEventSink::EventsWithId(WORD id) const
{
    std::vector<RecordedEvent> found;
    for (const RecordedEvent& event : Events()) {
        if (event.Id == id)
            found.push_back(event);
    }
    return found;
}

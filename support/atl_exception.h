#pragma once
// The one exception type of the string layer: raised with E_INVALIDARG or E_FAIL for an
// impossible length or a null source, and with E_OUTOFMEMORY for a failed allocation.
#include <windows.h>

class CAtlException {
public:
    explicit CAtlException(HRESULT hr) : m_hr(hr) {}
    HRESULT Result() const { return m_hr; }
    operator HRESULT() const { return m_hr; }

private:
    HRESULT m_hr;
};

#include "support/text.h"

#include "support/atl_exception.h"

#include <windows.h>

#include <cstring>

std::wstring WideFromThreadAnsi(const char* text)
{
    if (!text)
        throw CAtlException(E_INVALIDARG);
    const size_t length = std::strlen(text);
    if (length == 0)
        return std::wstring();
    if (length > 0x7FFFFFFF)
        throw CAtlException(E_INVALIDARG);
    const int narrow = static_cast<int>(length);
    const int wide = MultiByteToWideChar(CP_THREAD_ACP, 0, text, narrow, nullptr, 0);
    if (wide <= 0)
        throw CAtlException(E_FAIL);
    std::wstring result(static_cast<size_t>(wide), L'\0');
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, narrow, &result[0], wide) != wide)
        throw CAtlException(E_FAIL);
    return result;
}

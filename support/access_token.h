#pragma once
// An access token: the account it belongs to, whether it is elevated, and the groups it
// holds. Any thread may call; an object is used by one thread at a time. Nothing here
// logs, and only memory failures throw (std::bad_alloc).
#include "support/sid.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <utility>
#include <vector>

// Owns a token handle. Every question is answered from the token as it is when asked; a
// token that cannot be read (null, or opened without TOKEN_QUERY) answers empty or false.
class CAccessToken {
public:
    CAccessToken() = default;
    // Takes ownership of token (null for none), opened with TOKEN_QUERY.
    explicit CAccessToken(HANDLE token) : m_token(token) {}
    explicit CAccessToken(UniqueHandle token) : m_token(std::move(token)) {}

    HANDLE Get() const { return m_token.Get(); }

    // The SID of the account the token belongs to; empty when it cannot be read.
    CSid User() const;
    // True when the token is elevated (TokenElevation). False when it cannot be read.
    bool IsElevated() const;
    // True when the token holds group enabled, and not for deny only. False for a null
    // group or when the groups cannot be read.
    bool HasEnabledGroup(PSID group) const;
    // True when the token belongs to LocalSystem, or is elevated and holds the
    // Administrators group enabled (not for deny only).
    bool IsElevatedOrLocalSystem() const;

private:
    // The token's information of one class, in a buffer of the size it needs; empty on
    // failure.
    std::vector<BYTE> Information(TOKEN_INFORMATION_CLASS kind) const;

    UniqueHandle m_token;
};

// The token of process (this process by default), opened for TOKEN_QUERY; a token that
// answers empty or false when it cannot be opened (the process handle needs
// PROCESS_QUERY_LIMITED_INFORMATION).
CAccessToken ProcessToken(HANDLE process = GetCurrentProcess());

// The SID of the account this process runs as; empty when its token cannot be read.
CSid ProcessUserSid();

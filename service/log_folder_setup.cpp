#include "service/log_folder_setup.h"

#include "log/event_log.h"
#include "log/logger.h"
#include "support/access_token.h"
#include "support/file_identity.h"
#include "support/never_destroyed.h"
#include "support/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <utility>

std::wstring LogFolderPath()
{
    wchar_t folder[MAX_PATH];
    folder[0] = L'\0';
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    std::wstring directory = folder;

    // The long form may be longer than MAX_PATH; ask for the size it needs.
    if (!directory.empty()) {
        const DWORD needed = GetLongPathNameW(directory.c_str(), nullptr, 0);
        if (needed > 0) {
            std::wstring longForm(needed, L'\0');
            const DWORD length = GetLongPathNameW(directory.c_str(), &longForm[0], needed);
            if (length > 0 && length < needed) {
                longForm.resize(length);
                directory = longForm;
            }
        }
    }
    return directory + L"\\Varnholt";
}

LogDirectorySetUp SetUpLogDirectory()
{
    const std::wstring directory = LogFolderPath();

    // Any local user may create folders in the common application-data folder, and would
    // own one made there by an ordinary run; only LocalSystem or an administrator's
    // elevated run creates, checks and replaces the log folder.
    const CAccessToken processToken = ProcessToken();
    const CSid self = processToken.User();
    LogDirectoryPreparation prepared =
        PrepareLogDirectory(directory, processToken.IsElevatedOrLocalSystem(), self.Get());
    const LogDirectoryStatus status = prepared.Status;
    // The folder stays open, and so cannot be renamed or removed, for the rest of the
    // process: the handle is never closed, except by a later call of this function.
    static NeverDestroyed<UniqueFileHandle> pin;
    pin->Reset();
    if (IsUsable(status)) {
        SetLogDirectory(directory, FileIdentityOf(prepared.Pinned.Get()));
        *pin = std::move(prepared.Pinned);
        if (status == LogDirectoryStatus::MovedAside)
            NoteLogFolderProblem(directory, L"it was not trusted and was moved aside to " +
                                                prepared.MovedTo + L"; a fresh folder holds the log");
    } else {
        SetLogDirectory(std::wstring(), FileIdentity());
        std::wstring notice = LogDirectoryNotice(status, directory, prepared.Error);
        OutputDebugStringW(notice.c_str());
        if (!notice.empty() && notice.back() == L'\n')
            notice.pop_back();
        NoteLogFolderProblem(directory, notice);
    }
    return LogDirectorySetUp{status, std::move(prepared.MovedTo)};
}

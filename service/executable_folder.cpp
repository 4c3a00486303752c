#include "service/executable_folder.h"

#include "log/logger.h"
#include "support/access_token.h"
#include "support/module_path.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

#include <string>

bool WarnWhenTheExecutableFolderIsOpen()
{
    const std::wstring path = ModulePath();
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return false;
    const std::wstring folder = path.substr(0, slash);
    // Opened for its security alone; FILE_FLAG_BACKUP_SEMANTICS opens a folder.
    UniqueFileHandle opened(CreateFileW(folder.c_str(), READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr));
    DWORD error = opened ? ERROR_SUCCESS : GetLastError();
    CSecurityDescriptor security;
    if (opened)
        error = security.ReadFromHandle(opened.Get(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    if (error != ERROR_SUCCESS) {
        LOG_FAILURE(0, error,
                    L"Warning: the security of the folder %s cannot be read (error code = %d); it must be changeable by administrators only",
                    folder.c_str());
        return true;
    }
    const CSid self = ProcessUserSid();
    if (IsTrustedFileSecurity(security.Get(), self.Get()))
        return false;
    LOG(0, L"Warning: the folder %s can be changed by accounts other than administrators and SYSTEM; whoever can write there can run code as LocalSystem through the service",
        folder.c_str());
    return true;
}

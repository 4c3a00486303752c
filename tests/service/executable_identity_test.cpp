// The product's executable as Explorer and the loader see it: its version resource and
// its application manifest.
#include "support/unique_resource.h"
#include "tests/common/program_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<BYTE> VersionBlock(const std::wstring& path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        block.clear();
    return block;
}

std::wstring VersionString(std::vector<BYTE>& block, const wchar_t* name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0)
        return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value), wcsnlen(static_cast<const wchar_t*>(value), length));
}

TEST(ExecutableIdentityTest, VersionResourceCarriesTheProjectVersionAndName)
{
    std::vector<BYTE> block = VersionBlock(ProductExePath());
    ASSERT_FALSE(block.empty()) << "no version resource, error " << GetLastError();

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(VARNHOLT_VERSION_MINOR, VARNHOLT_VERSION_MAJOR)), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(VARNHOLT_VERSION_TWEAK, VARNHOLT_VERSION_PATCH)), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);

    // The strings are found under the language and code page that the resource declares.
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, static_cast<const WORD*>(value)[0]);
    EXPECT_EQ(1200, static_cast<const WORD*>(value)[1]);

    EXPECT_EQ(L"Varnholt Scheduling", VersionString(block, L"ProductName"));
    EXPECT_EQ(L"Varnholt Scheduling service", VersionString(block, L"FileDescription"));
    EXPECT_EQ(L"" VARNHOLT_VERSION_TEXT, VersionString(block, L"ProductVersion"));
    EXPECT_EQ(L"" VARNHOLT_VERSION_TEXT, VersionString(block, L"FileVersion"));
    EXPECT_EQ(L"VarnholtScheduling.exe", VersionString(block, L"OriginalFilename"));
}

TEST(ExecutableIdentityTest, ManifestAsksForNoElevationAndNamesWindows10)
{
    const UniqueModule image(
        LoadLibraryExW(ProductExePath().c_str(), /*hFile=*/nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(image) << "error " << GetLastError();
    const HRSRC found = FindResourceW(image.Get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, found) << "no RT_MANIFEST resource 1, error " << GetLastError();
    const HGLOBAL loaded = LoadResource(image.Get(), found);
    ASSERT_NE(nullptr, loaded);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    const std::string manifest(bytes, SizeofResource(image.Get(), found));

    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"))   // 10 and 11
        << manifest;
    EXPECT_NE(std::string::npos, manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"));   // 7
}

}  // namespace

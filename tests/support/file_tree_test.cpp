#include "support/file_tree.h"

#include "tests/common/files.h"
#include "tests/common/links.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace {

// Records each call as the entry's path relative to the walk's root ("sub\name"), and
// refuses or stops at a chosen entry.
class CRecordingTree : public CEnumFileTree {
public:
    explicit CRecordingTree(std::wstring root) : m_root(std::move(root)) {}

    bool AcceptEntry(const std::wstring& directory, const std::wstring& name,
                     const CFindCursor& cursor) override
    {
        const std::wstring path = Relative(directory, name);
        Offered.push_back(path);
        EXPECT_EQ(name, cursor.GetFileName());
        return path != Refuse;
    }

    void OnEntry(const std::wstring& directory, const std::wstring& name,
                 const CFindCursor& cursor) override
    {
        const std::wstring path = Relative(directory, name);
        Handled.push_back(path);
        // After the walk of a subdirectory the cursor still stands on its entry.
        EXPECT_EQ(name, cursor.GetFileName());
        if (path == StopAt)
            Aborted = true;
    }

    bool WasAborted() const { return Aborted; }

    size_t IndexOf(const std::wstring& path) const
    {
        return static_cast<size_t>(std::find(Handled.begin(), Handled.end(), path) - Handled.begin());
    }
    std::set<std::wstring> HandledSet() const { return {Handled.begin(), Handled.end()}; }

    std::vector<std::wstring> Offered;
    std::vector<std::wstring> Handled;
    std::wstring Refuse;
    std::wstring StopAt;

private:
    std::wstring Relative(const std::wstring& directory, const std::wstring& name) const
    {
        EXPECT_EQ(0u, directory.compare(0, m_root.size(), m_root)) << "directory outside the root";
        std::wstring path = directory.substr(m_root.size());
        if (!path.empty() && path[0] == L'\\')
            path.erase(0, 1);
        return path.empty() ? name : path + L"\\" + name;
    }

    std::wstring m_root;
};

class FileTreeTest : public ::testing::Test {
protected:
    void MakeDirectory(const std::wstring& relative)
    {
        ASSERT_TRUE(CreateDirectoryW(m_root.File(relative).c_str(), nullptr));
    }
    void MakeFile(const std::wstring& relative)
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ASSERT_TRUE(WriteFileWrittenAt(m_root.File(relative), now));
    }

    ScratchDirectory m_root;
};

TEST(FindCursorTest, ReportsWhyASearchEnded)
{
    CFindCursor cursor;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), cursor.FindFirst(nullptr));
    EXPECT_FALSE(cursor.IsOpen());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), cursor.FindFirst(L""));
    EXPECT_FALSE(cursor.IsOpen());

    ScratchDirectory folder;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              cursor.FindFirst((folder.Path() + L"\\absent\\*").c_str()));
    EXPECT_FALSE(cursor.IsOpen());

    // An empty folder lists only "." and "..", which the cursor steps over to the end.
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES),
              cursor.FindFirst((folder.Path() + L"\\*").c_str()));
    EXPECT_FALSE(cursor.IsOpen());

    FILETIME written = {0x12345670, 0x01D00000};
    ASSERT_TRUE(WriteFileWrittenAt(folder.File(L"only.log"), written));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), cursor.FindFirst((folder.Path() + L"\\*").c_str()));
    EXPECT_TRUE(cursor.IsOpen());
    EXPECT_EQ(L"only.log", cursor.GetFileName());
    EXPECT_FALSE(cursor.IsDirectory());
    const FILETIME seen = cursor.GetLastWriteTime();
    EXPECT_EQ(0, CompareFileTime(&written, &seen));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), cursor.FindNext());
    EXPECT_FALSE(cursor.IsOpen());
    // Nothing open: no effect.
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), cursor.FindNext());
    EXPECT_FALSE(cursor.IsOpen());
}

TEST_F(FileTreeTest, NothingToWalkYieldsNoCallsAndTrue)
{
    MakeFile(L"notes.txt");
    MakeDirectory(L"empty");
    CRecordingTree tree(m_root.Path());
    EXPECT_TRUE(tree.Enumerate(m_root.File(L"empty"), L"*"));
    EXPECT_TRUE(tree.Enumerate(m_root.File(L"absent"), L"*"));
    EXPECT_TRUE(tree.Enumerate(m_root.Path(), L"*.log"));
    EXPECT_TRUE(tree.Offered.empty());
    EXPECT_TRUE(tree.Handled.empty());
}

TEST_F(FileTreeTest, HidesOnlyDotAndDotDot)
{
    MakeFile(L".hidden");
    MakeFile(L"..x");
    MakeDirectory(L"sub");
    MakeFile(L"sub\\.hidden");
    MakeFile(L"sub\\..x");
    CRecordingTree tree(m_root.Path());
    EXPECT_TRUE(tree.Enumerate(m_root.Path(), L"*"));
    const std::set<std::wstring> expected = {L".hidden", L"..x", L"sub", L"sub\\.hidden", L"sub\\..x"};
    EXPECT_EQ(expected, std::set<std::wstring>(tree.Offered.begin(), tree.Offered.end()));
    EXPECT_EQ(expected.size(), tree.Offered.size());
    EXPECT_EQ(expected, tree.HandledSet());
}

TEST_F(FileTreeTest, WalksMatchingSubdirectoriesBeforeHandingThemOn)
{
    MakeFile(L"a.log");
    MakeFile(L"b.txt");
    MakeDirectory(L"x.log");
    MakeFile(L"x.log\\c.log");
    MakeFile(L"x.log\\d.txt");
    MakeDirectory(L"x.log\\y.log");
    MakeFile(L"x.log\\y.log\\e.log");
    MakeDirectory(L"x.log\\plain");
    MakeFile(L"x.log\\plain\\f.log");
    MakeDirectory(L"plain");
    MakeFile(L"plain\\g.log");

    CRecordingTree tree(m_root.Path());
    EXPECT_TRUE(tree.Enumerate(m_root.Path(), L"*.log"));
    const std::set<std::wstring> expected = {L"a.log", L"x.log", L"x.log\\c.log", L"x.log\\y.log",
                                             L"x.log\\y.log\\e.log"};
    EXPECT_EQ(expected, tree.HandledSet());
    EXPECT_EQ(expected.size(), tree.Handled.size());
    EXPECT_LT(tree.IndexOf(L"x.log\\c.log"), tree.IndexOf(L"x.log"));
    EXPECT_LT(tree.IndexOf(L"x.log\\y.log"), tree.IndexOf(L"x.log"));
    EXPECT_LT(tree.IndexOf(L"x.log\\y.log\\e.log"), tree.IndexOf(L"x.log\\y.log"));
}

TEST_F(FileTreeTest, RefusedEntryIsSkippedWhole)
{
    MakeFile(L"a.log");
    MakeDirectory(L"x.log");
    MakeFile(L"x.log\\c.log");
    CRecordingTree tree(m_root.Path());
    tree.Refuse = L"x.log";
    EXPECT_TRUE(tree.Enumerate(m_root.Path(), L"*.log"));
    EXPECT_EQ(std::set<std::wstring>({L"a.log", L"x.log"}),
              std::set<std::wstring>(tree.Offered.begin(), tree.Offered.end()));
    EXPECT_EQ(std::vector<std::wstring>({L"a.log"}), tree.Handled);
}

TEST_F(FileTreeTest, AbortEndsTheWalkAtEveryLevel)
{
    MakeDirectory(L"x.log");
    MakeDirectory(L"x.log\\y.log");
    MakeFile(L"x.log\\y.log\\stop.log");
    MakeFile(L"x.log\\y.log\\other.log");
    MakeFile(L"x.log\\other.log");
    MakeFile(L"other.log");

    CRecordingTree tree(m_root.Path());
    tree.StopAt = L"x.log\\y.log\\stop.log";
    EXPECT_FALSE(tree.Enumerate(m_root.Path(), L"*.log"));
    ASSERT_FALSE(tree.Handled.empty());
    EXPECT_EQ(tree.StopAt, tree.Handled.back());
    EXPECT_EQ(tree.Handled.size(), tree.IndexOf(L"x.log\\y.log"));
    EXPECT_EQ(tree.Handled.size(), tree.IndexOf(L"x.log"));

    // The flag stays set: a later walk visits nothing.
    tree.Offered.clear();
    tree.Handled.clear();
    EXPECT_FALSE(tree.Enumerate(m_root.Path(), L"*.log"));
    EXPECT_TRUE(tree.Offered.empty());
    EXPECT_TRUE(tree.WasAborted());
}

TEST_F(FileTreeTest, DirectoryLinkIsOfferedButNotWalked)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a directory link is made from the Unix side, which only Wine offers";
    ScratchDirectory elsewhere;
    ASSERT_TRUE(WriteFileWrittenAt(elsewhere.File(L"outside.log"), FILETIME{0, 0x01D00000}));
    DirectoryLink link(m_root.File(L"link.log"), elsewhere.Path());
    ASSERT_TRUE(link.Made());
    MakeDirectory(L"real.log");
    MakeFile(L"real.log\\inside.log");

    CRecordingTree tree(m_root.Path());
    EXPECT_TRUE(tree.Enumerate(m_root.Path(), L"*"));
    EXPECT_EQ(std::set<std::wstring>({L"link.log", L"real.log", L"real.log\\inside.log"}),
              tree.HandledSet());
    EXPECT_EQ(3u, tree.Handled.size());
}

}  // namespace

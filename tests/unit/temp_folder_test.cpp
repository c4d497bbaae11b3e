// The work folder: choosing or making it, deleting it, and registering what
// could not be deleted for the next restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "in_process.h"
#include "log/log.h"
#include "platform/handles.h"
#include "platform/syscalls.h"
#include "platform/private_sa.h"
#include "test_support.h"
#include "workfolder/temp_folder.h"

namespace kesto {
namespace {

constexpr BYTE kInheritedByAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// Every entry below folder, each folder's content before the folder, links
// not walked into.
void CollectBelow(const std::wstring& folder, std::vector<std::wstring>* entries) {
    for (const std::wstring& name : test::ListFolder(folder)) {
        std::wstring child = folder + L"\\" + name;
        if (test::IsFolder(child) && !test::IsLink(child)) CollectBelow(child, entries);
        entries->push_back(child);
    }
}

// The restart registrations made since a point, of names below prefix only
// (other test programs may register names of their own meanwhile).
class Registrations {
public:
    Registrations() : start_(test::PendingRestartDeletions().size()) {}
    std::vector<std::wstring> Under(const std::wstring& prefix) const {
        std::vector<std::wstring> all = test::PendingRestartDeletions();
        std::vector<std::wstring> mine;
        for (size_t i = std::min(start_, all.size()); i < all.size(); ++i)
            if (StartsWith(all[i], prefix + L"\\")) mine.push_back(all[i]);
        return mine;
    }

private:
    size_t start_;
};

// Every test gets a scratch folder as its temporary path.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override { test::UseTempPath(temp_.path()); }
    std::wstring Numbered(const wchar_t* name) const { return temp_ / name; }

    test::OverrideScope overrides_;
    test::ScratchFolder temp_{L"tf"};
};

class TempFolderNumbering : public TempFolderTest {};
class TempFolderTempPath : public TempFolderTest {};
class TempFolderGiven : public TempFolderTest {};
class TempFolderDeletion : public TempFolderTest {};
class TempFolderRestart : public TempFolderTest {};

TEST_F(TempFolderNumbering, SkipsExistingFoldersAndLeavesThemAlone) {
    ASSERT_TRUE(test::MakeFolders(Numbered(L"QzEXF0000")));
    ASSERT_TRUE(test::WriteText(Numbered(L"QzEXF0000\\old.txt"), "old"));
    ASSERT_TRUE(test::MakeFolders(Numbered(L"QzEXF0001")));
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, nullptr), 1);
        EXPECT_EQ(folder.Path(), Numbered(L"QzEXF0002"));
        EXPECT_TRUE(test::IsFolder(folder.Path()));
    }
    EXPECT_EQ(test::ListFolder(temp_.path()), (std::vector<std::wstring>{L"QzEXF0000", L"QzEXF0001"}));
    EXPECT_EQ(test::ReadBytes(Numbered(L"QzEXF0000\\old.txt")), "old");

    // An empty folder argument means the same as none.
    CTempFolder folder;
    ASSERT_EQ(folder.Create(0, L""), 1);
    EXPECT_EQ(folder.Path(), Numbered(L"QzEXF0002"));
}

// The folder creation as the launcher calls it, with what another process
// does at that moment, or with a chosen failure.
decltype(SystemCalls::SHCreateDirectoryExW) g_realCreate = nullptr;
int g_creations = 0;
bool g_otherLauncherFirst = false;
int g_creationFailure = ERROR_SUCCESS;

int WINAPI InterceptedCreate(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* security) {
    ++g_creations;
    if (g_creationFailure != ERROR_SUCCESS) return g_creationFailure;
    if (g_otherLauncherFirst) {
        // Another launcher made this folder between the test and the call.
        g_otherLauncherFirst = false;
        ::CreateDirectoryW(path, nullptr);
        test::WriteText(std::wstring(path) + L"\\theirs.txt", "theirs");
    }
    return g_realCreate(window, path, security);
}

void InterceptCreation(bool otherLauncherFirst, int failure = ERROR_SUCCESS) {
    g_realCreate = g_sys.SHCreateDirectoryExW;
    g_creations = 0;
    g_otherLauncherFirst = otherLauncherFirst;
    g_creationFailure = failure;
    g_sys.SHCreateDirectoryExW = InterceptedCreate;
}

TEST_F(TempFolderNumbering, TakenNamesAreSkippedWhateverTookThem) {
    // A file with the first free name, and a folder that appears with the
    // next one just before this launcher makes it.
    ASSERT_TRUE(test::WriteText(Numbered(L"QzEXF0000"), "a file"));
    InterceptCreation(true);
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, nullptr), 1);
        EXPECT_EQ(folder.Path(), Numbered(L"QzEXF0002"));
        EXPECT_EQ(g_creations, 2);
    }
    EXPECT_EQ(test::ListFolder(temp_.path()), (std::vector<std::wstring>{L"QzEXF0000", L"QzEXF0001"}));
    EXPECT_EQ(test::ReadBytes(Numbered(L"QzEXF0000")), "a file");
    EXPECT_EQ(test::ReadBytes(Numbered(L"QzEXF0001\\theirs.txt")), "theirs");
}

TEST_F(TempFolderNumbering, OtherCreationFailuresEndAtOnceAndMakeNothing) {
    for (int failure : {ERROR_ACCESS_DENIED, ERROR_FILENAME_EXCED_RANGE, ERROR_PATH_NOT_FOUND}) {
        InterceptCreation(false, failure);
        CTempFolder folder;
        EXPECT_EQ(folder.Create(1, nullptr), 0) << failure;
        EXPECT_EQ(g_creations, 1) << failure;
    }
    EXPECT_TRUE(test::ListFolder(temp_.path()).empty());
}

// The user of this process's token.
TOKEN_USER* g_pretendedUser = nullptr;
BOOL WINAPI PretendedTokenUser(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID buffer, DWORD size, PDWORD needed) {
    DWORD length = sizeof(TOKEN_USER) + ::GetLengthSid(g_pretendedUser->User.Sid);
    *needed = length;
    if (size < length) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* user = static_cast<TOKEN_USER*>(buffer);
    user->User.Sid = user + 1;
    user->User.Attributes = 0;
    return ::CopySid(length - sizeof(TOKEN_USER), user + 1, g_pretendedUser->User.Sid);
}

TEST_F(TempFolderNumbering, AccessListHandedToTheCreationIsPrivate) {
    std::vector<BYTE> user = test::OwnUser(), system = test::WellKnownSid(WinLocalSystemSid),
                      administrators = test::WellKnownSid(WinBuiltinAdministratorsSid);
    PSID ownUser = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;

    // The descriptor handed to the creation, entry by entry.
    {
        CPrivateSA security;
        ASSERT_TRUE(security.Build(CPrivateSA::kFolder));
        ASSERT_NE(security.Attributes(), nullptr);
        test::ExpectPrivateList(security.Descriptor(), {system.data(), administrators.data(), ownUser}, kInheritedByAll);
    }
    // Run as the local system account: that account is the user, one entry.
    {
        TOKEN_USER asSystem = {{system.data(), 0}};
        g_pretendedUser = &asSystem;
        auto realTokenInformation = g_sys.GetTokenInformation;
        g_sys.GetTokenInformation = PretendedTokenUser;
        CPrivateSA security;
        ASSERT_TRUE(security.Build(CPrivateSA::kFolder));
        test::ExpectPrivateList(security.Descriptor(), {system.data(), administrators.data()}, kInheritedByAll);
        g_sys.GetTokenInformation = realTokenInformation;
    }
}

BOOL WINAPI NoTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD needed) {
    *needed = 0;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(TempFolderNumbering, WithoutItsAccessListNoFolderIsMade) {
    // No fallback to the inherited list: the run ends as for any folder that
    // cannot be made.
    InterceptCreation(false);
    g_sys.GetTokenInformation = NoTokenInformation;
    CTempFolder folder;
    EXPECT_EQ(folder.Create(1, nullptr), 0);
    EXPECT_EQ(g_creations, 0);
    EXPECT_TRUE(test::ListFolder(temp_.path()).empty());
}

TEST_F(TempFolderNumbering, TempPathWithoutTrailingBackslashGetsOne) {
    test::UseTempPath(temp_.path(), DWORD(temp_.path().size()));
    CTempFolder folder;
    ASSERT_EQ(folder.Create(0, nullptr), 1);
    EXPECT_EQ(folder.Path(), Numbered(L"QzEXF0000"));
    EXPECT_TRUE(test::IsFolder(Numbered(L"QzEXF0000")));
}

TEST_F(TempFolderNumbering, NumberTenThousandHasFiveDigits) {
    // Wine's CreateDirectoryW searches the whole folder for the name in other
    // case before it makes one, so 10000 of them take a minute or more there;
    // the host makes them in a moment, and removes them several at a time.
    std::string hostTemp = test::HostPath(temp_.path());
    const char* numbers = "seq -f QzEXF%04g 0 9999";
    if (hostTemp.empty() || !test::RunOnHost("cd '" + hostTemp + "' && " + numbers + " | xargs mkdir")) {
        for (int number = 0; number < 10000; ++number) {
            wchar_t name[16];
            swprintf(name, 16, L"QzEXF%04d", number);
            ::CreateDirectoryW(Numbered(name).c_str(), nullptr);
        }
    }
    ASSERT_TRUE(test::IsFolder(Numbered(L"QzEXF9999")));
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, nullptr), 1);
        EXPECT_EQ(folder.Path(), Numbered(L"QzEXF10000"));
        EXPECT_TRUE(test::IsFolder(folder.Path()));
    }
    EXPECT_FALSE(test::Exists(Numbered(L"QzEXF10000")));
    if (!hostTemp.empty()) test::RunOnHost("cd '" + hostTemp + "' && " + numbers + " | xargs -P 8 -n 500 rmdir");
}

TEST_F(TempFolderTempPath, FailedTooLongOrEmptyResultMakesNothing) {
    ASSERT_TRUE(test::WriteText(temp_ / L"marker.txt", "stays"));
    struct Case {
        std::wstring text;
        DWORD result;
    };
    const Case cases[] = {
        {temp_.path() + L"\\", 0},    // the call failed
        {temp_.path() + L"\\", 261},  // the path does not fit the buffer
        {L"", 5},                     // nothing written
    };
    for (const Case& c : cases) {
        test::UseTempPath(c.text, c.result);
        {
            CTempFolder folder;
            EXPECT_EQ(folder.Create(1, nullptr), 0) << c.result;
            EXPECT_EQ(folder.Path(), L"");
        }
        EXPECT_EQ(test::ListFolder(temp_.path()), std::vector<std::wstring>{L"marker.txt"}) << c.result;
    }
    // The buffer's full size is still a valid result.
    test::UseTempPath(temp_.path() + L"\\", MAX_PATH);
    CTempFolder folder;
    EXPECT_EQ(folder.Create(0, nullptr), 1);
    EXPECT_EQ(folder.Path(), Numbered(L"QzEXF0000"));
}

TEST_F(TempFolderGiven, TrailingBackslashIsRemovedOnlyOnce) {
    CTempFolder one;
    ASSERT_EQ(one.Create(0, (temp_ / L"one\\").c_str()), 1);
    EXPECT_EQ(one.Path(), temp_ / L"one");
    EXPECT_TRUE(test::IsFolder(temp_ / L"one"));

    CTempFolder two;
    ASSERT_EQ(two.Create(0, (temp_ / L"two\\\\").c_str()), 1);
    EXPECT_EQ(two.Path(), temp_ / L"two\\");
    EXPECT_TRUE(test::IsFolder(temp_ / L"two"));
}

TEST_F(TempFolderGiven, EnvironmentReferencesAreExpanded) {
    ASSERT_TRUE(::SetEnvironmentVariableW(L"KESTO_TEMP_FOLDER_TEST", temp_.path().c_str()));
    CTempFolder folder;
    BOOL created = folder.Create(0, L"%KESTO_TEMP_FOLDER_TEST%\\expanded");
    ::SetEnvironmentVariableW(L"KESTO_TEMP_FOLDER_TEST", nullptr);
    ASSERT_EQ(created, 1);
    EXPECT_EQ(folder.Path(), temp_ / L"expanded");
    EXPECT_TRUE(test::IsFolder(temp_ / L"expanded"));

    // An expansion longer than its buffer is refused, never used cut off.
    std::wstring levels;
    while (levels.size() < 5000) levels += L"\\" + std::wstring(100, L'x');
    ASSERT_TRUE(::SetEnvironmentVariableW(L"KESTO_TEMP_FOLDER_TEST", (temp_.path() + levels).c_str()));
    CTempFolder tooLong;
    created = tooLong.Create(0, L"%KESTO_TEMP_FOLDER_TEST%");
    ::SetEnvironmentVariableW(L"KESTO_TEMP_FOLDER_TEST", nullptr);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(test::ListFolder(temp_.path()), std::vector<std::wstring>{L"expanded"});
}

TEST_F(TempFolderGiven, RelativeFolderIsMadeAbsoluteAgainstTheCurrentDirectory) {
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(temp_.path().c_str()));
    CTempFolder relative;
    CTempFolder dotted;
    BOOL relativeCreated = relative.Create(0, L"rel\\sub");
    BOOL dottedCreated = dotted.Create(0, (temp_ / L".\\rel\\..\\other").c_str());
    ::SetCurrentDirectoryW(previous);

    ASSERT_EQ(relativeCreated, 1);
    EXPECT_EQ(relative.Path(), temp_ / L"rel\\sub");
    EXPECT_TRUE(test::IsFolder(temp_ / L"rel\\sub"));
    ASSERT_EQ(dottedCreated, 1);
    EXPECT_EQ(dotted.Path(), temp_ / L"other");
}

TEST_F(TempFolderGiven, SeveralMissingLevelsAreAllCreated) {
    CTempFolder folder;
    ASSERT_EQ(folder.Create(0, (temp_ / L"a\\b\\c\\d").c_str()), 1);
    EXPECT_EQ(folder.Path(), temp_ / L"a\\b\\c\\d");
    EXPECT_TRUE(test::IsFolder(temp_ / L"a\\b\\c\\d"));
}

TEST_F(TempFolderGiven, ExistingFolderIsUsedWithItsContentAndKept) {
    std::wstring given = temp_ / L"given";
    ASSERT_TRUE(test::MakeFolders(given + L"\\inner"));
    ASSERT_TRUE(test::WriteText(given + L"\\inner\\file.txt", "content"));
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(0, given.c_str()), 1);
        EXPECT_EQ(folder.Path(), given);
        EXPECT_EQ(test::ReadBytes(given + L"\\inner\\file.txt"), "content");
    }
    EXPECT_EQ(test::ReadBytes(given + L"\\inner\\file.txt"), "content");
}

TEST_F(TempFolderGiven, FolderThatCannotBeMadeFails) {
    ASSERT_TRUE(test::WriteText(temp_ / L"file", "x"));
    CTempFolder belowFile;
    EXPECT_EQ(belowFile.Create(0, (temp_ / L"file\\sub").c_str()), 0);
    EXPECT_EQ(belowFile.Path(), L"");

    // Too long to be made absolute: the path becomes empty.
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(temp_.path().c_str()));
    CTempFolder tooLong;
    BOOL created = tooLong.Create(0, std::wstring(6000, L'a').c_str());
    ::SetCurrentDirectoryW(previous);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(tooLong.Path(), L"");

    EXPECT_EQ(test::ListFolder(temp_.path()), std::vector<std::wstring>{L"file"});
}

TEST_F(TempFolderDeletion, FlagSetDeletesEverythingAndRegistersNothing) {
    Registrations registrations;
    std::wstring path;
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, nullptr), 1);
        path = folder.Path();
        ASSERT_TRUE(test::MakeFolders(path + L"\\a\\b\\c"));
        ASSERT_TRUE(test::MakeFolders(path + L"\\empty"));
        ASSERT_TRUE(test::WriteText(path + L"\\MyData.cab", "cab"));
        ASSERT_TRUE(test::WriteText(path + L"\\a\\one.txt", "1"));
        ASSERT_TRUE(test::WriteText(path + L"\\a\\b\\c\\three.txt", "3"));
    }
    EXPECT_FALSE(test::Exists(path));
    EXPECT_EQ(test::ListFolder(temp_.path()), std::vector<std::wstring>{});
    EXPECT_EQ(registrations.Under(temp_.path()), std::vector<std::wstring>{});
}

TEST_F(TempFolderDeletion, FlagZeroKeepsTheFolderAndItsContent) {
    std::wstring path;
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(0, nullptr), 1);
        path = folder.Path();
        ASSERT_TRUE(test::WriteText(path + L"\\kept.txt", "kept"));
    }
    EXPECT_EQ(test::ReadBytes(path + L"\\kept.txt"), "kept");
}

TEST_F(TempFolderDeletion, FolderAlreadyRemovedLeavesNothingToDo) {
    Registrations registrations;
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, nullptr), 1);
        ASSERT_TRUE(test::RemoveTree(folder.Path()));
    }
    EXPECT_EQ(test::ListFolder(temp_.path()), std::vector<std::wstring>{});
    EXPECT_EQ(registrations.Under(temp_.path()), std::vector<std::wstring>{});
}

// What is left of the work folder is exactly what is registered: each folder
// after its content, the work folder last.
void ExpectLeftoversRegistered(const std::wstring& work, const std::vector<std::wstring>& registered) {
    std::vector<std::wstring> left;
    CollectBelow(work, &left);
    left.push_back(work);
    EXPECT_EQ(std::multiset<std::wstring>(registered.begin(), registered.end()),
              std::multiset<std::wstring>(left.begin(), left.end()));
    ASSERT_FALSE(registered.empty());
    EXPECT_EQ(registered.back(), work);
    for (size_t i = 0; i < registered.size(); ++i)
        for (size_t j = i + 1; j < registered.size(); ++j)
            EXPECT_FALSE(StartsWith(registered[j], registered[i] + L"\\"))
                << test::Narrow(registered[j]) << " registered after its folder";
}

TEST_F(TempFolderRestart, HeldFileAndWhatIsLeftAreRegisteredContentFirst) {
    Registrations registrations;
    std::wstring work;
    std::wstring held;
    UniqueFile holder;
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, nullptr), 1);
        work = folder.Path();
        held = work + L"\\sub\\deep\\held.txt";
        ASSERT_TRUE(test::MakeFolders(work + L"\\sub\\deep\\deeper"));
        ASSERT_TRUE(test::MakeFolders(work + L"\\other"));
        for (const wchar_t* name : {L"\\a.txt", L"\\z.txt", L"\\sub\\b.txt", L"\\sub\\deep\\c.txt",
                                    L"\\sub\\deep\\deeper\\d.txt", L"\\other\\e.txt", L"\\sub\\deep\\held.txt"})
            ASSERT_TRUE(test::WriteText(work + name, "x"));
        // Without delete sharing the file cannot be deleted while it is open.
        holder.reset(::CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.valid());
    }
    ASSERT_TRUE(test::Exists(held));
    std::vector<std::wstring> registered = registrations.Under(temp_.path());
    EXPECT_NE(std::find(registered.begin(), registered.end(), held), registered.end());
    ExpectLeftoversRegistered(work, registered);
}

TEST_F(TempFolderRestart, FolderLinkIsRegisteredItselfAndItsTargetIsUntouched) {
    test::ScratchFolder outside(L"tf-target");
    ASSERT_TRUE(test::MakeFolders(outside / L"sub"));
    ASSERT_TRUE(test::WriteText(outside / L"keep.txt", "keep"));
    ASSERT_TRUE(test::WriteText(outside / L"sub\\keep.txt", "keep too"));

    std::wstring work = temp_ / L"work";
    std::wstring link = work + L"\\link";
    ASSERT_TRUE(test::MakeFolders(work));
    ASSERT_TRUE(test::WriteText(work + L"\\file.txt", "x"));
    test::FolderLink made(link, outside.path());
    // Wine always gets one from the host; Windows may refuse it to a user
    // without the right to make symbolic links.
    if (test::HostPath(link).empty() && !test::IsLink(link)) GTEST_SKIP() << "no folder link can be made here";
    ASSERT_TRUE(test::IsLink(link));

    Registrations registrations;
    {
        CTempFolder folder;
        ASSERT_EQ(folder.Create(1, work.c_str()), 1);
    }
    EXPECT_EQ(test::ReadBytes(outside / L"keep.txt"), "keep");
    EXPECT_EQ(test::ReadBytes(outside / L"sub\\keep.txt"), "keep too");

    std::vector<std::wstring> registered = registrations.Under(temp_.path());
    for (const std::wstring& name : registered) EXPECT_FALSE(StartsWith(name, link + L"\\")) << test::Narrow(name);
    EXPECT_EQ(registrations.Under(outside.path()), std::vector<std::wstring>{});
    // A link that could not be removed is registered itself, with the rest.
    if (test::Exists(work)) ExpectLeftoversRegistered(work, registered);
}

// The pauses between deletion attempts go through the table: counted here,
// and the file's holder lets go of it after the pause named.
struct HeldFile {
    UniqueFile holder;
    size_t releaseAfter = 0;  // 0: held throughout
    std::vector<DWORD> pauses;
};
HeldFile g_held;

VOID WINAPI CountPause(DWORD milliseconds) {
    g_held.pauses.push_back(milliseconds);
    if (g_held.pauses.size() == g_held.releaseAfter) g_held.holder.reset();
}

TEST_F(TempFolderRestart, FileHeldForAMomentIsWaitedForWithinABoundBeforeTheRestartFallbackIsLogged) {
    test::ScratchFolder logs(L"tf-log");
    const std::wstring log = logs / L"run-sfxlog.log";
    g_sys.Sleep = CountPause;
    for (size_t releaseAfter : {size_t(2), size_t(0)}) {
        SCOPED_TRACE(releaseAfter);
        Registrations registrations;
        g_held.pauses.clear();
        g_held.releaseAfter = releaseAfter;
        std::wstring work;
        LogOpen(log);
        {
            CTempFolder folder;
            ASSERT_EQ(folder.Create(1, nullptr), 1);
            work = folder.Path();
            ASSERT_TRUE(test::MakeFolders(work + L"\\sub"));
            ASSERT_TRUE(test::WriteText(work + L"\\sub\\held.txt", "x"));
            // Without delete sharing the file cannot be deleted while it is open.
            g_held.holder.reset(::CreateFileW((work + L"\\sub\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(g_held.holder.valid());
        }
        LogClose();
        DWORD waited = 0;
        for (DWORD pause : g_held.pauses) waited += pause;
        EXPECT_LE(waited, 1000u);  // what the launcher asked to wait, not a measured time
        std::vector<std::wstring> messages = test::LogMessages(log);
        ::DeleteFileW(log.c_str());
        if (releaseAfter != 0) {
            EXPECT_EQ(g_held.pauses.size(), releaseAfter);
            EXPECT_FALSE(test::Exists(work));
            EXPECT_EQ(registrations.Under(temp_.path()), std::vector<std::wstring>{});
            EXPECT_EQ(messages.size(), 1u);  // "LOG mode (...)." only
        } else {
            g_held.holder.reset();
            EXPECT_GE(g_held.pauses.size(), 3u);
            EXPECT_EQ(registrations.Under(temp_.path()).back(), work);
            ASSERT_EQ(messages.size(), 2u);
            EXPECT_EQ(messages[1], L"TempFolder left for deletion at restart: " + work + L".");
            test::RemoveTree(work);
        }
    }
}

}  // namespace
}  // namespace kesto

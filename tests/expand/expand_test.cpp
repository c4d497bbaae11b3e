// The test prefix's expand.exe, run the way the launcher runs it: through
// cmd.exe, on "W\MyData.cab" with W as the current folder.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace kesto::test {
namespace {

// The expander's exit codes for a refused name and a file it cannot write.
constexpr DWORD kUnsafeName = 3;
constexpr DWORD kWriteFailed = 4;

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

std::wstring Cabinet(const std::wstring& work) { return work + L"\\MyData.cab"; }

DWORD ExpandThroughCmd(const std::wstring& work) {
    Child child;
    child.commandLine = ExpansionCommandLine(work, SystemFolder());
    child.currentDirectory = work;
    return Run(child);
}

DWORD ExpandDirectly(const std::wstring& arguments, const std::wstring& currentDirectory) {
    Child child;
    child.commandLine = L"\"" + SystemFolder() + L"\\expand.exe\" " + arguments;
    child.currentDirectory = currentDirectory;
    return Run(child);
}

std::string PackageBytes(const std::wstring& name) { return ReadBytes(TestData(L"packages\\" + name + L".cab")); }

// Every file below folder, by its path relative to it, with its bytes.
void CollectFiles(const std::wstring& folder, const std::wstring& prefix, std::map<std::wstring, std::string>& files) {
    for (const std::wstring& name : ListFolder(folder)) {
        std::wstring path = folder + L"\\" + name;
        if (IsFolder(path))
            CollectFiles(path, prefix + name + L"\\", files);
        else
            files[prefix + name] = ReadBytes(path);
    }
}

std::map<std::wstring, std::string> FilesBelow(const std::wstring& folder) {
    std::map<std::wstring, std::string> files;
    CollectFiles(folder, L"", files);
    return files;
}

// What the work folder holds besides MyData.cab.
std::map<std::wstring, std::string> Unpacked(const std::wstring& work) {
    std::map<std::wstring, std::string> files = FilesBelow(work);
    files.erase(L"MyData.cab");
    return files;
}

std::map<std::wstring, std::string> PackageFiles(const std::wstring& name) {
    return FilesBelow(TestData(L"packages\\" + name));
}

TEST(Expand, UnpacksEveryFileIntoTheCurrentFolderCompressedOrStored) {
    for (const wchar_t* package : {L"expand_sample", L"expand_sample_stored"}) {
        SCOPED_TRACE(Narrow(package));
        ScratchFolder work(L"expand");
        ASSERT_TRUE(WriteBytes(Cabinet(work.path()), PackageBytes(package)));
        EXPECT_EQ(ExpandThroughCmd(work.path()), 0u);
        std::map<std::wstring, std::string> expected = PackageFiles(package);
        EXPECT_EQ(expected.size(), 5u);  // readme, nested file, big, UTF-8 name, empty
        EXPECT_TRUE(expected.count(L"gr\u00fc\u00dfe.txt") == 1 && expected.count(L"data\\sub\\file.bin") == 1);
        EXPECT_EQ(Unpacked(work.path()), expected);
    }
}

TEST(Expand, IgnoresBytesBehindTheCabinetsEnd) {
    // A signed launcher's certificate table follows the cabinet; so may
    // anything that looks like the start of another cabinet.
    std::string trailer = "MSCF" + std::string(4, '\0');
    for (int i = 0; i < 8192; ++i) trailer += char(i * 37 + 11);
    ScratchFolder work(L"expand");
    ASSERT_TRUE(WriteBytes(Cabinet(work.path()), PackageBytes(L"expand_sample") + trailer));
    EXPECT_EQ(ExpandThroughCmd(work.path()), 0u);
    EXPECT_EQ(Unpacked(work.path()), PackageFiles(L"expand_sample"));
}

TEST(Expand, FailsOnWhatIsNotACompleteCabinet) {
    std::string whole = PackageBytes(L"expand_sample");
    ASSERT_GT(whole.size(), 1000u);
    const std::map<std::string, std::string> cases = {
        {"truncated in the data", whole.substr(0, whole.size() / 2)},
        {"truncated in the header", whole.substr(0, 30)},
        {"empty", ""},
        {"not a cabinet", "This is a text file, not a cabinet.\r\n"},
        {"damaged signature", "MSCG" + whole.substr(4)},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        ScratchFolder work(L"expand");
        ASSERT_TRUE(WriteBytes(Cabinet(work.path()), bytes));
        EXPECT_NE(ExpandThroughCmd(work.path()), 0u);
    }
    ScratchFolder missing(L"expand");
    EXPECT_NE(ExpandThroughCmd(missing.path()), 0u) << "no MyData.cab at all";
}

TEST(Expand, FailsWhenAFileCannotBeWritten) {
    ScratchFolder work(L"expand");
    ASSERT_TRUE(WriteBytes(Cabinet(work.path()), PackageBytes(L"expand_sample")));
    ASSERT_TRUE(MakeFolders(work / L"readme.txt"));  // a folder where a file must go
    EXPECT_EQ(ExpandThroughCmd(work.path()), kWriteFailed);
}

TEST(Expand, CmdEndsWithTheExpandersExitCode) {
    ScratchFolder work(L"expand");
    ASSERT_TRUE(WriteBytes(Cabinet(work.path()), "not a cabinet"));
    DWORD direct = ExpandDirectly(L"\"" + Cabinet(work.path()) + L"\" -f:* .", work.path());
    EXPECT_NE(direct, 0u);
    EXPECT_NE(direct, ~0u) << "expand.exe did not start";
    EXPECT_EQ(ExpandThroughCmd(work.path()), direct);
}

TEST(Expand, TakesTheSwitchAnywhereAndInEitherCase) {
    ScratchFolder scratch(L"expand");
    std::wstring cabinet = scratch / L"in.cab";
    ASSERT_TRUE(WriteBytes(cabinet, PackageBytes(L"expand_sample")));
    const std::vector<std::wstring> forms = {
        L"\"" + cabinet + L"\" -F:* \"%s\"",
        L"-f:* \"" + cabinet + L"\" \"%s\"",
        L"\"" + cabinet + L"\" \"%s\" /f:*",
    };
    int n = 0;
    for (const std::wstring& form : forms) {
        std::wstring destination = scratch / (L"out " + std::to_wstring(n++));
        ASSERT_TRUE(MakeFolders(destination));
        std::wstring arguments = form;
        arguments.replace(arguments.find(L"%s"), 2, destination);
        SCOPED_TRACE(Narrow(arguments));
        EXPECT_EQ(ExpandDirectly(arguments, scratch.path()), 0u);
        EXPECT_EQ(FilesBelow(destination), PackageFiles(L"expand_sample"));
    }
    for (const std::wstring& bad : {L"\"" + cabinet + L"\" .", L"\"" + cabinet + L"\" -f:*",
                                    L"\"" + cabinet + L"\" -f:readme.txt ."}) {
        SCOPED_TRACE(Narrow(bad));
        EXPECT_NE(ExpandDirectly(bad, scratch.path()), 0u);
    }
}

// unsafe_name.cab holds inside.txt and then a file whose long name the tests
// overwrite in place; the new name is padded with 'x' to the same length.
std::string WithPatchedName(const std::string& name) {
    std::string cabinet = PackageBytes(L"unsafe_name");
    size_t start = cabinet.find("name-to-patch-");
    size_t end = start == std::string::npos ? start : cabinet.find('\0', start);
    if (end == std::string::npos || name.size() > end - start) return std::string();
    return cabinet.replace(start, end - start, name + std::string(end - start - name.size(), 'x'));
}

// Everything below root except the work folder's own tree and the folders on
// the way to it.
std::vector<std::wstring> EntriesOutside(const std::wstring& root, const std::wstring& work) {
    std::vector<std::wstring> outside;
    for (const std::wstring& name : ListFolder(root)) {
        std::wstring path = root + L"\\" + name;
        if (path == work) continue;
        bool onTheWay = work.compare(0, path.size() + 1, path + L"\\") == 0;
        if (!onTheWay) outside.push_back(path);
        if (IsFolder(path)) {
            for (const std::wstring& below : EntriesOutside(path, work)) outside.push_back(below);
        }
    }
    return outside;
}

TEST(Expand, APatchedNameThatStaysInsideIsUnpacked) {
    // Shows that patching the name leaves a valid cabinet, so the refusals
    // below are about the names.
    ScratchFolder scratch(L"expand");
    std::wstring work = scratch / L"work";
    ASSERT_TRUE(MakeFolders(work));
    std::string cabinet = WithPatchedName("sub\\renamed");
    ASSERT_FALSE(cabinet.empty());
    ASSERT_TRUE(WriteBytes(Cabinet(work), cabinet));
    EXPECT_EQ(ExpandThroughCmd(work), 0u);
    std::map<std::wstring, std::string> files = Unpacked(work);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files.begin()->first, L"inside.txt");
    EXPECT_EQ(files.rbegin()->first.substr(0, 11), L"sub\\renamed");
}

TEST(Expand, RefusesNamesThatLeaveTheDestinationAndWritesNothingOutside) {
    ScratchFolder scratch(L"expand");
    std::string root = Narrow(scratch.path());      // Z:\...\expand-N
    std::string rootWithoutDrive = root.substr(2);  // \...\expand-N
    const std::vector<std::string> names = {
        "..\\..\\..\\outside",
        "../../../outside",
        "a\\..\\..\\..\\..\\outside",
        root + "\\outside",
        rootWithoutDrive + "\\outside",
        "\\\\?\\" + root + "\\outside",
        "\\\\localhost\\share\\outside",
        "Z:outside",
        "inside.txt:stream",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::wstring work = scratch / L"a\\b\\work";
        ASSERT_TRUE(MakeFolders(work));
        std::string cabinet = WithPatchedName(name);
        ASSERT_FALSE(cabinet.empty());
        ASSERT_TRUE(WriteBytes(Cabinet(work), cabinet));
        EXPECT_EQ(ExpandThroughCmd(work), kUnsafeName);
        EXPECT_EQ(EntriesOutside(scratch.path(), work), std::vector<std::wstring>());
        ASSERT_TRUE(RemoveTree(scratch / L"a"));
    }
}

}  // namespace
}  // namespace kesto::test

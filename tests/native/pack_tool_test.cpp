// The packer as its users run it: build, inspect and extract through the
// real command line, cabinets read back with cabextract and gcab, and the
// rules it applies before writing anything (names, limits, the entry).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cabinet.h"
#include "cabinet_reader.h"
#include "launcher_file.h"
#include "names.h"
#include "package.h"
#include "payload/package_format.h"

namespace {

namespace fs = std::filesystem;
using namespace kesto::pack;

// KESTO_PACK_UNDER_TEST runs the tests against another build of the packer.
const std::string kPacker = std::getenv("KESTO_PACK_UNDER_TEST") != nullptr ? std::getenv("KESTO_PACK_UNDER_TEST")
                                                                            : KESTO_PACK_PROGRAM;

std::string Marker() {
    unsigned char marker[kesto::kMarkerLength + 1];
    kesto::AssembleMarker(marker);
    return std::string(reinterpret_cast<const char*>(marker), kesto::kMarkerLength);
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct Result {
    int code = -1;
    std::string output;  // stdout and stderr
};

// Runs a command line through the shell with its output captured.
Result Shell(const std::string& command) {
    Result result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) result.output.append(buffer, n);
    int status = ::pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Result Pack(const std::vector<std::string>& arguments, const std::string& environment = "") {
    std::string command = environment + " " + Quote(kPacker);
    for (const std::string& argument : arguments) command += " " + Quote(argument);
    return Shell(command);
}

// Every file below folder, by its relative path, with its contents.
std::map<std::string, std::string> Tree(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (auto& item : fs::recursive_directory_iterator(folder))
        if (item.is_regular_file()) files[fs::relative(item.path(), folder).string()] = Read(item.path());
    return files;
}

class PackTool : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
        // The smallest file that passes for a Windows program: these tests
        // never run it.
        std::string stub(512, '\0');
        stub.replace(0, 2, "MZ");
        stub[0x3C] = char(0x80);
        stub.replace(0x80, 4, std::string("PE\0\0", 4));
        Write(kStub, stub);
    }
    void TearDown() override { fs::remove_all(scratch_); }

    // Subfolders, blanks, names outside ASCII, an empty file, a file of many
    // data blocks and a deep path.
    fs::path MakeTree(const std::string& name) {
        fs::path tree = scratch_ / name;
        std::string random;
        for (int i = 0; i < 300000; ++i) random += char((i * 7919u) ^ (i >> 5) ^ (i * i));
        Write(tree / "setup.bat", "@exit /b 5\r\n");
        Write(tree / "data" / "big file.bin", random);
        Write(tree / "data" / "empty.txt", "");
        Write(tree / "Grüße und Ærger" / "naïve – 日本語.txt", "unicode\r\n");
        Write(tree / "a" / "b c" / "d" / "e" / "f" / "g" / "deep.txt", "deep\r\n");
        return tree;
    }

    // The cabinet inside a package, restored, as a file of its own: the
    // bytes behind the marker, complemented.
    fs::path CabinetOf(const fs::path& package) {
        std::string bytes = Read(package);
        size_t marker = bytes.find(Marker());
        EXPECT_NE(marker, std::string::npos);
        std::string cabinet = bytes.substr(marker + Marker().size());
        for (char& c : cabinet) c = char(~c);
        fs::path path = package.string() + ".cab";
        Write(path, cabinet);
        return path;
    }

    // A package the packer would refuse to build: a cabinet of these files
    // written by the cabinet library, laid out behind the stub without a
    // digest record.
    fs::path HostilePackage(const std::string& name, const std::vector<CabinetInput>& files) {
        fs::path complemented = scratch_ / (name + ".payload");
        Write(complemented, "");
        EXPECT_EQ(WriteCabinet(Payload{complemented.string(), 0}, files, true), "");
        fs::path package = scratch_ / name;
        Write(package, Read(kStub) + Marker() + Read(complemented));
        fs::remove(complemented);
        return package;
    }

    fs::path scratch_ = fs::path(KESTO_TEST_TMP) / ("kesto-pack-tool-" + std::to_string(::getpid()));
    const std::string kStub = (scratch_ / "stub" / "kesto.exe").string();
};

// ---------------------------------------------------------------------------
// The entry the launcher will start

TEST(EntryPrediction, FollowsNtfsOrderAndTheKindsPrecedence) {
    // Upper-cased unit by unit: "_" (0x5F) after "Z", "." before letters,
    // "Ä" (0xC4) after every ASCII letter.
    EXPECT_EQ(PredictEntry({"zeta.bat", "_under.bat", "Beta.bat", "alpha.bat"}).entry, "alpha.bat");
    EXPECT_EQ(PredictEntry({"aa.bat", "a.bat"}).entry, "a.bat");
    EXPECT_EQ(PredictEntry({"Ärger.bat", "zulu.bat"}).entry, "zulu.bat");
    EXPECT_EQ(PredictEntry({"_x.bat", "ZZ.bat"}).entry, "ZZ.bat");
    EXPECT_TRUE(SameName("straße.BAT", "STRASSE.bat") == false);  // no multi-letter mappings
    EXPECT_TRUE(SameName("ärger.bat", "ÄRGER.BAT"));

    // A command script beats programs; the programs are named as not started.
    EntryPrediction cmd = PredictEntry({"vcredist.exe", "setup.exe", "stray.cmd", "docs\\readme.bat"});
    EXPECT_EQ(cmd.entry, "stray.cmd");
    EXPECT_EQ(cmd.pattern, "*.cmd");
    EXPECT_TRUE(cmd.Certain());
    ASSERT_EQ(cmd.warnings.size(), 1u);
    EXPECT_NE(cmd.warnings[0].find("setup.exe, vcredist.exe are not started"), std::string::npos) << cmd.warnings[0];

    EntryPrediction several = PredictEntry({"vcredist.exe", "setup.exe"});
    EXPECT_EQ(several.entry, "setup.exe");
    ASSERT_EQ(several.warnings.size(), 1u);
    EXPECT_NE(several.warnings[0].find("several *.exe"), std::string::npos);

    // Only the top counts; nothing there: extract only.
    EXPECT_EQ(PredictEntry({"data\\setup.bat", "readme.txt"}).entry, "");
}

TEST(EntryPrediction, FoldersAndShortNamesMatchToo) {
    // A folder that holds files and is named like a batch file matches.
    EntryPrediction folder = PredictEntry({"b.bat", "a.bat\\inside.txt"});
    EXPECT_EQ(folder.entry, "a.bat");
    EXPECT_TRUE(folder.entryIsFolder);
    EXPECT_FALSE(folder.Certain());

    // "setup.batch" is also "SETUP~1.BAT": where short names exist it comes
    // first, elsewhere the launcher goes on to zz.bat.
    EntryPrediction shortName = PredictEntry({"zz.bat", "setup.batch"});
    EXPECT_EQ(shortName.entry, "setup.batch");
    EXPECT_EQ(shortName.entryWithoutShortNames, "zz.bat");
    EXPECT_FALSE(shortName.Certain());
    EXPECT_EQ(PredictEntry({"setup.batch", "run.exe"}).entryWithoutShortNames, "run.exe");
    EXPECT_TRUE(PredictEntry({"a.bat", "setup.batch"}).Certain());  // a.bat comes first either way
}

// ---------------------------------------------------------------------------
// Names and limits, checked before anything is written

TEST(PackRules, NamesWindowsCannotHoldOrThatLeaveTheFolder) {
    for (const char* bad : {"a:b", "x?", "trailing.", "trailing ", "CON", "nul.txt", "Lpt1.log", "tab\there"})
        EXPECT_NE(WindowsNameProblem(bad), "") << bad;
    for (const char* good : {"setup.bat", "con-fig", "COM0", "naïve – 日本語.txt"}) EXPECT_EQ(WindowsNameProblem(good), "") << good;

    for (const char* outside : {"..\\x", "a\\..\\..\\x", "\\abs", "C:x", "a\\\\b", "...\\x", "a/../../x"})
        EXPECT_FALSE(StaysInside(outside)) << outside;
    EXPECT_TRUE(StaysInside("a\\b c\\..d"));
}

TEST(PackRules, CabinetLimits) {
    auto files = [](size_t count, uint64_t size, size_t nameLength) {
        std::vector<CabinetInput> list(count);
        for (size_t i = 0; i < count; ++i) list[i] = {std::string(nameLength, 'n') + std::to_string(i), "src", size, 0};
        return list;
    };
    EXPECT_EQ(CheckLimits(files(65535, 1, 8), true), "");
    EXPECT_NE(CheckLimits(files(65536, 1, 8), true).find("at most 65535"), std::string::npos);
    EXPECT_EQ(CheckLimits(files(1, 1, 254), true), "");  // 255 bytes with the digit
    EXPECT_NE(CheckLimits(files(1, 1, 255), true).find("at most 255 bytes"), std::string::npos);
    // One folder holds 65535 blocks of 32 KiB; stored, the cabinet's own
    // headers must still fit below 2 GiB.
    EXPECT_NE(CheckLimits(files(2, 0x40000000, 8), true).find("at most 2147450880 bytes"), std::string::npos);
    EXPECT_NE(CheckLimits(files(1, 0x7FFF0000, 8), false).find("Windows reads cabinets of at most"), std::string::npos);
    EXPECT_EQ(CheckLimits(files(1, 0x7FF00000, 8), false), "");
    EXPECT_EQ(LargestCabinetSize(files(1, 100, 1), false), 36u + 8 + 16 + 3 + 8 + 100);
}

TEST_F(PackTool, RefusesBeforeWritingAnything) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.bat", "@exit /b 0\r\n");
    const std::string out = (scratch_ / "out.exe").string();

    // A name longer than a cabinet holds.
    Write(tree / std::string(200, 'd') / (std::string(60, 'f') + ".txt"), "x");
    Result tooLong = Pack({"build", "--stub", kStub, "--out", out, tree.string()});
    EXPECT_NE(tooLong.code, 0);
    EXPECT_NE(tooLong.output.find("a cabinet holds names of at most 255 bytes"), std::string::npos) << tooLong.output;
    fs::remove_all(tree / std::string(200, 'd'));

    // Two names that are one to Windows; a name Windows cannot hold.
    Write(tree / "Setup.BAT", "x");
    EXPECT_NE(Pack({"build", "--stub", kStub, "--out", out, tree.string()}).output.find("the same name to Windows"),
              std::string::npos);
    fs::remove(tree / "Setup.BAT");
    Write(tree / "what?.txt", "x");
    EXPECT_NE(Pack({"build", "--stub", kStub, "--out", out, tree.string()}).output.find("Windows does not allow"),
              std::string::npos);
    fs::remove(tree / "what?.txt");

    // --entry that is not the file that runs.
    Write(tree / "a.cmd", "x");
    Result entry = Pack({"build", "--stub", kStub, "--out", out, "--entry", "a.cmd", tree.string()});
    EXPECT_NE(entry.code, 0);
    EXPECT_NE(entry.output.find("--entry a.cmd: the launcher would start setup.bat"), std::string::npos) << entry.output;
    EXPECT_EQ(Pack({"build", "--stub", kStub, "--out", out, "--entry", "SETUP.bat", tree.string()}).code, 0);
    fs::remove(out);

    // Stubs: one that holds the marker, one that is no Windows program.
    Write(scratch_ / "marked.exe", Read(kStub) + Marker());
    Result marked = Pack({"build", "--stub", (scratch_ / "marked.exe").string(), "--out", out, tree.string()});
    EXPECT_NE(marked.output.find("marked.exe: holds the marker itself"), std::string::npos) << marked.output;
    Write(scratch_ / "text.exe", std::string(100, 'x'));
    EXPECT_NE(Pack({"build", "--stub", (scratch_ / "text.exe").string(), "--out", out, tree.string()}).output.find(
                  "not a Windows program"),
              std::string::npos);

    // Nothing under the final name, and no temporary file left beside it.
    std::vector<std::string> left;
    for (auto& item : fs::directory_iterator(scratch_)) left.push_back(item.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"marked.exe", "stub", "text.exe", "tree"})) << left.size();
}

// ---------------------------------------------------------------------------
// Round trips

TEST_F(PackTool, CabinetReadsBackToTheSourceTreeWithEveryReader) {
    fs::path tree = MakeTree("tree");
    const auto expected = Tree(tree);
    for (bool store : {false, true}) {
        SCOPED_TRACE(store ? "stored" : "compressed");
        fs::path package = scratch_ / (store ? "stored.exe" : "mszip.exe");
        std::vector<std::string> arguments = {"build", "--stub", kStub, "--out", package.string()};
        if (store) arguments.push_back("--store");
        arguments.push_back(tree.string());
        Result built = Pack(arguments);
        ASSERT_EQ(built.code, 0) << built.output;
        EXPECT_NE(built.output.find("entry: setup.bat"), std::string::npos) << built.output;

        fs::path cabinet = CabinetOf(package);
        fs::path byCabextract = scratch_ / "cabextract", byGcab = scratch_ / "gcab", byPacker = scratch_ / "extract";
        ASSERT_EQ(Shell("cabextract -q -d " + Quote(byCabextract.string()) + " " + Quote(cabinet.string())).code, 0);
        fs::create_directories(byGcab);
        ASSERT_EQ(Shell("gcab -x -C " + Quote(byGcab.string()) + " " + Quote(cabinet.string())).code, 0);
        Result extracted = Pack({"extract", package.string(), byPacker.string()});
        ASSERT_EQ(extracted.code, 0) << extracted.output;
        EXPECT_EQ(Tree(byCabextract), expected);
        EXPECT_EQ(Tree(byGcab), expected);
        EXPECT_EQ(Tree(byPacker), expected);

        Result inspected = Pack({"inspect", package.string()});
        EXPECT_EQ(inspected.code, 0) << inspected.output;
        EXPECT_NE(inspected.output.find(store ? ", stored" : ", MSZIP"), std::string::npos) << inspected.output;
        EXPECT_NE(inspected.output.find("5 files"), std::string::npos);
        EXPECT_NE(inspected.output.find("signature: none"), std::string::npos);
        EXPECT_NE(inspected.output.find("naïve – 日本語.txt"), std::string::npos);
        for (const fs::path& folder : {byCabextract, byGcab, byPacker}) fs::remove_all(folder);
    }
}

TEST_F(PackTool, SameInputsAndTimeGiveTheSameBytes) {
    // Two copies made in opposite orders, with different file times.
    fs::path first = MakeTree("first"), second = scratch_ / "second";
    std::vector<fs::path> files;
    for (auto& item : fs::recursive_directory_iterator(first))
        if (item.is_regular_file()) files.push_back(fs::relative(item.path(), first));
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        Write(second / *it, Read(first / *it));
        fs::last_write_time(second / *it, fs::last_write_time(first / *it) - std::chrono::hours(1000));
    }
    auto build = [&](const fs::path& tree, const std::string& out, std::vector<std::string> extra, std::string environment) {
        std::vector<std::string> arguments = {"build", "--stub", kStub, "--out", (scratch_ / out).string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(tree.string());
        EXPECT_EQ(Pack(arguments, environment).code, 0);
        return Read(scratch_ / out);
    };
    std::string a = build(first, "a.exe", {}, "SOURCE_DATE_EPOCH=1700000000");
    EXPECT_EQ(build(second, "b.exe", {}, "SOURCE_DATE_EPOCH=1700000000"), a);
    EXPECT_EQ(build(second, "c.exe", {"--mtime", "1700000000"}, ""), a);
    EXPECT_NE(build(first, "d.exe", {}, "SOURCE_DATE_EPOCH=1700000002"), a);
}

TEST_F(PackTool, InspectAndExtractRefuseBrokenPackages) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.bat", "@exit /b 0\r\n");
    std::string data;
    for (int i = 0; i < 200000; ++i) data += char('a' + (i * 31 + i / 7) % 26);
    Write(tree / "data.txt", data);
    fs::path good = scratch_ / "good.exe";
    ASSERT_EQ(Pack({"build", "--stub", kStub, "--out", good.string(), tree.string()}).code, 0);
    const std::string bytes = Read(good);

    struct Case {
        std::string name, bytes, message;
    };
    std::string damaged = bytes;
    damaged[bytes.size() - 50] ^= 0x55;  // in the last data block
    const Case cases[] = {
        {"no-marker.exe", Read(kStub) + std::string(5000, 'x'), "no payload marker"},
        {"truncated.exe", bytes.substr(0, bytes.size() - 100), "truncated"},
        {"damaged.exe", damaged, "damaged cabinet"},
    };
    for (const Case& broken : cases) {
        Write(scratch_ / broken.name, broken.bytes);
        for (const char* command : {"inspect", "extract"}) {
            std::vector<std::string> arguments = {command, (scratch_ / broken.name).string()};
            if (std::string(command) == "extract") arguments.push_back((scratch_ / "out").string());
            Result result = Pack(arguments);
            EXPECT_NE(result.code, 0) << broken.name << " " << command;
            EXPECT_NE(result.output.find(broken.message), std::string::npos) << result.output;
            EXPECT_NE(result.output.find(broken.name), std::string::npos) << result.output;
        }
    }

    // A cabinet whose names leave the folder: nothing is extracted.
    fs::path evil = HostilePackage("evil.exe", {{"inside.txt", (tree / "setup.bat").string(), 12, 0},
                                                {"..\\escaped.txt", (tree / "setup.bat").string(), 12, 0}});
    Result refused = Pack({"extract", evil.string(), (scratch_ / "evil-out").string()});
    EXPECT_NE(refused.code, 0);
    EXPECT_NE(refused.output.find("..\\escaped.txt would leave the folder"), std::string::npos) << refused.output;
    EXPECT_FALSE(fs::exists(scratch_ / "evil-out" / "inside.txt"));
    EXPECT_FALSE(fs::exists(scratch_ / "escaped.txt"));
}

TEST_F(PackTool, OlderFormStillPacksAFolder) {
    fs::path tree = MakeTree("tree");
    fs::path package = scratch_ / "old.exe";
    Result built = Pack({"-z", "-s", kStub, "-o", package.string(), tree.string()});
    ASSERT_EQ(built.code, 0) << built.output;
    Result inspected = Pack({"inspect", package.string()});
    EXPECT_NE(inspected.output.find(", MSZIP"), std::string::npos) << inspected.output;
    EXPECT_EQ(Pack({"-s", kStub, "-o", package.string(), tree.string()}).code, 0);  // stored by default
    EXPECT_NE(Pack({"inspect", package.string()}).output.find(", stored"), std::string::npos);
    EXPECT_EQ(Pack({"--version"}).output, "kesto-pack " KESTO_VERSION "\n");
    EXPECT_EQ(Pack({"frobnicate"}).code, 2);
}

}  // namespace

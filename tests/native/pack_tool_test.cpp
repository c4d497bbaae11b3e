// The packer as its users run it: build, inspect and extract through the
// real command line, cabinets read back with cabextract and gcab, and the
// rules it applies before writing anything (names, limits, the entry).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/cabinet_reader.h"
#include "names.h"
#include "package/launcher_file.h"
#include "package/read_package.h"
#include "payload/package_format.h"
#include "progress.h"
#include "sources/collect.h"

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
        stub[0x86] = 1;                 // one section, whose data ends the file:
        stub[0x98 + 17] = char(0x02);   // 512 bytes from offset 0
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

    // Puts a changed cabinet back into a package, with a digest record that
    // matches it: the damage is then the cabinet's alone.
    static void ReplaceCabinet(std::string& package, const std::string& cabinet) {
        const size_t payload = package.find(Marker()) + Marker().size();
        std::string complemented = cabinet;
        for (char& c : complemented) c = char(~c);
        package.replace(payload, std::string::npos, complemented);
        kesto::PayloadHash hash;
        hash.Update(reinterpret_cast<const unsigned char*>(cabinet.data()), cabinet.size());
        unsigned char record[kesto::kDigestRecordSize];
        kesto::WriteDigestRecord({cabinet.size(), hash.Value()}, record);
        package.replace(payload - Marker().size() - sizeof(record), sizeof(record), reinterpret_cast<char*>(record),
                        sizeof(record));
    }

    // Names of what lies in a folder.
    static std::vector<std::string> Listing(const fs::path& folder) {
        std::vector<std::string> names;
        for (auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A launcher file of any cabinet bytes: behind the stub and the marker,
    // complemented, without a digest record.
    fs::path PackageOf(const std::string& name, std::string cabinet) {
        for (char& c : cabinet) c = char(~c);
        Write(scratch_ / name, Read(kStub) + Marker() + cabinet);
        return scratch_ / name;
    }

    // Runs a shell script with a tmpfs of size on folder, in a mount
    // namespace of its own (and a user namespace, so that it needs no root);
    // false, with the reason printed, where that cannot be arranged.
    static bool InSmallFileSystem(const fs::path& folder, const std::string& size, const std::string& script, Result& result) {
        fs::create_directories(folder);
        const std::string mount = "mount -t tmpfs -o size=" + size + " kesto-test " + Quote(folder.string());
        result = Shell("unshare --user --map-root-user --mount sh -c " + Quote(mount + " || exit 99\n" + script));
        if (result.code != 99 && result.output.find("unshare: ") != 0) return true;
        std::printf("skipped: a small file system (unshare and mount -t tmpfs): %s\n", result.output.c_str());
        return false;
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
    // Windows' upper case of the whole Basic Multilingual Plane, where it
    // goes both ways ("ı", "ſ", "µ" and title-case "ǅ" stay as they are), and
    // final sigma as NTFS volumes take it.
    using Pair = std::pair<const char*, const char*>;
    for (const Pair& same : {Pair{"Ⓐ.bat", "ⓐ.bat"}, {"ǆ", "Ǆ"}, {"ⅰ", "Ⅰ"}, {"ƀ", "Ƀ"}, {"ɐ", "Ɐ"}, {"ა", "Ა"}, {"ꙁ", "Ꙁ"}, {"ς", "Σ"}})
        EXPECT_TRUE(SameName(same.first, same.second)) << same.first;
    for (const Pair& two : {Pair{"ı", "I"}, {"ſ", "S"}, {"µ", "Μ"}, {"ǅ", "Ǆ"}})
        EXPECT_FALSE(SameName(two.first, two.second)) << two.first;

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
    for (const char* bad : {"a:b", "x?", "trailing.", "trailing ", "CON", "nul.txt", "Lpt1.log", "tab\there", "COM0",
                            "lpt0.txt", "COM¹", "com².log", "LPT³", "CONIN$", "conout$.txt", "CLOCK$"})
        EXPECT_NE(WindowsNameProblem(bad), "") << bad;
    for (const char* good : {"setup.bat", "con-fig", "COM10", "LPT⁴", "conin", "naïve – 日本語.txt"})
        EXPECT_EQ(WindowsNameProblem(good), "") << good;

    for (const char* outside : {"..\\x", "a\\..\\..\\x", "\\abs", "a\\\\b", "...\\x", "a/../../x"})
        EXPECT_FALSE(StaysInside(outside)) << outside;
    EXPECT_TRUE(StaysInside("a\\b c\\..d"));
    // A colon is a character Windows does not allow, not a way out.
    NameCheck drive = CheckPackageNames({"setup.cmd", "C:x"});
    EXPECT_EQ(drive.fault, NameCheck::kNotAllowed);
    EXPECT_EQ(drive.detail, "the character :");
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
    // The most the files can hold: the cabinet, with its headers and one
    // header for each block of 32 KiB, within 2^31 - 1 bytes. Two files named
    // "nnnnnnnn0" and "nnnnnnnn1": 96 bytes before the data; stored,
    // 65520 blocks of 32768 bytes and one of 23 (2146959383 bytes) make a
    // cabinet of 96 + 65521 * 8 + 2146959383 = 2147483647 bytes. Compressed,
    // each block may grow by 12 bytes: 65496 blocks and one of 683.
    EXPECT_EQ(LargestFileBytes(files(2, 0, 8), false), 2146959383u);
    EXPECT_EQ(LargestFileBytes(files(2, 0, 8), true), 2146173611u);
    for (bool compress : {false, true}) {
        const uint64_t most = LargestFileBytes(files(2, 0, 8), compress);
        std::vector<CabinetInput> fits = files(2, most / 2, 8);
        fits[1].size += most % 2;
        EXPECT_EQ(CheckLimits(fits, compress), "");
        EXPECT_EQ(LargestCabinetSize(fits, compress), 2147483647u);
        fits[1].size += 1;
        EXPECT_EQ(CheckLimits(fits, compress), "the files hold " + std::to_string(most + 1) + " bytes (2.0 GiB); a cabinet "
                  "holds at most " + std::to_string(most) + " bytes (2.0 GiB) of these files" +
                  (compress ? ", compressed (counting incompressible data)" : ", stored"));
    }
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

    // Two names that are one to Windows, in ASCII and beyond, at the top and
    // in a folder.
    for (const auto& pair : std::vector<std::pair<std::string, std::string>>{
             {"setup.bat", "Setup.BAT"}, {"Ⓐ.bat", "ⓐ.bat"}, {"ǆ.txt", "Ǆ.txt"}, {"ⅰ.txt", "Ⅰ.txt"}, {"ƀ.txt", "Ƀ.txt"},
             {"ɐ.txt", "Ɐ.txt"}, {"ა.txt", "Ა.txt"}, {"ꙁ.txt", "Ꙁ.txt"}, {"sub/ⓡun.cmd", "sub/Ⓡun.cmd"}}) {
        Write(tree / pair.first, "@exit /b 0\r\n");
        Write(tree / pair.second, "x");
        Result same = Pack({"build", "--stub", kStub, "--out", out, tree.string()});
        EXPECT_EQ(same.code, 1) << pair.second;
        EXPECT_NE(same.output.find("have the same name to Windows"), std::string::npos) << same.output;
        fs::remove(tree / pair.second);
        if (pair.first != "setup.bat") fs::remove(tree / pair.first);
    }
    fs::remove_all(tree / "sub");
    // Names Windows cannot hold: a backslash in a Linux name is no folder,
    // a colon no way out of the folder; devices with a number.
    for (const char* name : {"what?.txt", "a\\b.txt", "C:x.txt", "COM0", "LPT¹.log", "CONIN$", "conout$.txt", "CLOCK$"}) {
        Write(tree / name, "x");
        Result refused = Pack({"build", "--stub", kStub, "--out", out, tree.string()});
        EXPECT_EQ(refused.code, 1) << name;
        EXPECT_NE(refused.output.find(name + std::string(": Windows does not allow this name (")), std::string::npos)
            << refused.output;
        fs::remove(tree / name);
    }

    // More than the files can take in one cabinet: the refusal names the
    // most these files can take. setup.bat and big.bin need 94 bytes before
    // the data; stored, 65520 blocks of 32768 bytes and one of 25 fill a
    // cabinet of 2^31 - 1 bytes with their headers.
    Write(tree / "big.bin", "");
    fs::resize_file(tree / "big.bin", 2146959385 - 12 + 1);  // sparse
    Result tooBig = Pack({"build", "--store", "--stub", kStub, "--out", out, tree.string()});
    EXPECT_EQ(tooBig.code, 1);
    EXPECT_NE(tooBig.output.find("the files hold 2146959386 bytes (2.0 GiB); a cabinet holds at most 2146959385 bytes "
                                 "(2.0 GiB) of these files, stored"), std::string::npos) << tooBig.output;
    fs::remove(tree / "big.bin");

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

TEST_F(PackTool, RefusesEveryBadIdentityBeforeWritingAnything) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.bat", "@exit /b 0\r\n");
    const std::string out = (scratch_ / "out.exe").string();
    // A .ico of one 16x16 32-bit bitmap: directory, entry, BITMAPINFOHEADER, pixels, mask.
    auto le = [](uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i, value >>= 8) text += char(value & 0xFF);
        return text;
    };
    const std::string image = le(40, 4) + le(16, 4) + le(32, 4) + le(1, 2) + le(32, 2) + std::string(20, '\0') +
                              std::string(16 * 16 * 4 + 16 * 4, '\x7f');
    const std::string icon = le(0, 2) + le(1, 2) + le(1, 2) + le(16, 1) + le(16, 1) + le(0, 2) + le(1, 2) + le(32, 2) +
                             le(uint32_t(image.size()), 4) + le(22, 4) + image;
    Write(scratch_ / "text.ico", "not an icon at all");
    Write(scratch_ / "cut.ico", icon.substr(0, icon.size() - 100));
    Write(scratch_ / "empty.ico", le(0, 2) + le(1, 2) + le(0, 2));
    Write(scratch_ / "cursor.ico", le(0, 2) + le(2, 2) + icon.substr(4));
    // A stub whose headers name a certificate table: signed before packing.
    std::string signedStub = Read(kStub);
    signedStub[0x80 + 20] = char(224);                            // the optional header's size
    signedStub.replace(0x98, 2, le(0x10B, 2));                    // PE32
    signedStub.replace(0x98 + 92, 4, le(16, 4));                  // sixteen data directories
    signedStub.replace(0x98 + 96 + 32, 8, le(0x180, 4) + le(8, 4));  // the certificate table
    Write(scratch_ / "signed.exe", signedStub);

    const std::string longValue(40000, 'v');
    struct Case {
        std::vector<std::string> options;
        int code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--icon", (scratch_ / "text.ico").string()}, 1, "text.ico: not an icon file"},
        {{"--icon", (scratch_ / "cut.ico").string()}, 1, "cut.ico: truncated: image 1 of 1 runs to byte 1146, the file ends at byte 1046"},
        {{"--icon", (scratch_ / "empty.ico").string()}, 1, "empty.ico: an icon file without images"},
        {{"--icon", (scratch_ / "cursor.ico").string()}, 1, "cursor.ico: a cursor, not an icon"},
        {{"--icon", (scratch_ / "missing.ico").string()}, 1, "missing.ico: cannot read it"},
        {{"--version", "1.65536"}, 2, "--version 1.65536: 65536 is above 65535"},
        {{"--version", "1.x"}, 2, "--version 1.x: \"x\" is not a number"},
        {{"--version", "1..2"}, 2, "--version 1..2: \"\" is not a number"},
        {{"--version", "1.2.3.4.5"}, 2, "--version 1.2.3.4.5: at most four numbers"},
        {{"--info", "Vendor=ACME"}, 2, "--info Vendor=ACME: no version string Vendor; the names are Comments, CompanyName"},
        {{"--info", "ProductName"}, 2, "--info ProductName: needs NAME=VALUE"},
        {{"--info", "ProductName=a", "--info", "ProductName=b"}, 2, "--info ProductName is given twice"},
        {{"--info", "Comments=" + longValue}, 2, "--info Comments: the version strings take 80"},
        {{"--info", std::string("Comments=\xff\xfe")}, 2, "--info Comments: the value is not UTF-8 text"},
        {{"--stub", (scratch_ / "signed.exe").string(), "--version", "1"}, 1,
         "signed.exe is signed: --icon, --version and --info change its image, and its signature would no longer hold"},
    };
    for (const Case& each : cases) {
        std::vector<std::string> arguments = {"build", "--out", out};
        if (each.options[0] != "--stub") arguments.insert(arguments.end(), {"--stub", kStub});
        arguments.insert(arguments.end(), each.options.begin(), each.options.end());
        arguments.push_back(tree.string());
        Result result = Pack(arguments);
        EXPECT_EQ(result.code, each.code) << each.options[1] << ": " << result.output;
        EXPECT_NE(result.output.find(each.says), std::string::npos) << result.output;
    }
    EXPECT_EQ(Listing(scratch_), (std::vector<std::string>{"cursor.ico", "cut.ico", "empty.ico", "signed.exe", "stub",
                                                          "text.ico", "tree"}));
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
    // A record with one bit changed, or one that covers less of the cabinet
    // than its header says (with the right digest of what it covers), is
    // damage, never a package without a record.
    const size_t record = bytes.find(Marker()) - kesto::kDigestRecordSize;
    auto flipped = [&](size_t at) {
        std::string changed = bytes;
        changed[record + at] ^= 0x08;
        return changed;
    };
    auto covering = [&](uint64_t cabinetBytes) {
        std::string cabinet = bytes.substr(record + kesto::kDigestRecordSize + kesto::kMarkerLength, cabinetBytes);
        kesto::Complement(reinterpret_cast<unsigned char*>(cabinet.data()), cabinet.size());
        kesto::PayloadHash hash;
        hash.Update(reinterpret_cast<const unsigned char*>(cabinet.data()), cabinet.size());
        unsigned char written[kesto::kDigestRecordSize];
        kesto::WriteDigestRecord({cabinetBytes, hash.Value()}, written);
        std::string changed = bytes;
        changed.replace(record, sizeof(written), reinterpret_cast<const char*>(written), sizeof(written));
        return changed;
    };
    const char* const gap = "neither zero padding nor a digest record";
    const Case cases[] = {
        {"no-marker.exe", Read(kStub) + std::string(5000, 'x'), "no payload marker"},
        {"truncated.exe", bytes.substr(0, bytes.size() - 100), "truncated"},
        {"damaged.exe", damaged, "damaged cabinet"},
        {"record-magic.exe", flipped(0), gap},
        {"record-tail.exe", flipped(kesto::kDigestRecordSize - 1), gap},
        {"record-short.exe", covering(97), "the digest record 97"},
        {"record-empty.exe", covering(0), "the digest record 0"},
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

    // A package made before the digest record stays valid.
    Result plain = Pack({"inspect", HostilePackage("plain.exe", {{"setup.bat", (tree / "setup.bat").string(), 12, 0}}).string()});
    EXPECT_EQ(plain.code, 0) << plain.output;
    EXPECT_NE(plain.output.find("digest:    no digest"), std::string::npos) << plain.output;
}

// ---------------------------------------------------------------------------
// Packages at the sizes users ship, refusals, interruptions, hostile packages

// Random bytes (incompressible), quickly.
void WriteRandom(const fs::path& path, size_t size, uint64_t seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t value = seed ^ (seed >> 29);
        std::memcpy(&bytes[i], &value, 8);
    }
    Write(path, bytes);
}

TEST_F(PackTool, PackagesAtTheSizesUsersShipReadBackWholeByEveryReader) {
    // A few MiB compressed; tens of MiB stored; more than 64 MiB of random
    // bytes and text, compressed.
    struct Package {
        std::string name;
        size_t randomBytes;
        bool store;
    };
    for (const Package& each : {Package{"small", 3 << 20, false}, Package{"stored", 40 << 20, true},
                                Package{"large", 68 << 20, false}}) {
        SCOPED_TRACE(each.name);
        fs::path tree = scratch_ / each.name;
        Write(tree / "setup.cmd", "@exit /b 0\r\n");
        WriteRandom(tree / "payload" / "installer.msi", each.randomBytes, each.randomBytes);
        WriteRandom(tree / "payload" / "odd size.bin", 100003, 7);
        std::string text;
        for (int i = 0; text.size() < (1u << 20); ++i) text += "line " + std::to_string(i) + " of the release notes\r\n";
        Write(tree / "docs" / "notes.txt", text);
        fs::path package = scratch_ / (each.name + ".exe");
        std::vector<std::string> arguments = {"build", "--stub", kStub, "--out", package.string()};
        if (each.store) arguments.push_back("--store");
        arguments.push_back(tree.string());
        Result built = Pack(arguments);
        ASSERT_EQ(built.code, 0) << built.output;

        // The restored cabinet: cabextract unpacks it, xxhsum gives the
        // digest in the record and in the build's report.
        fs::path cabinet = CabinetOf(package), byCabextract = scratch_ / "cabextract", byPacker = scratch_ / "extract";
        ASSERT_EQ(Shell("cabextract -q -d " + Quote(byCabextract.string()) + " " + Quote(cabinet.string())).code, 0);
        EXPECT_EQ(Shell("diff -r " + Quote(tree.string()) + " " + Quote(byCabextract.string())).code, 0);
        Result extracted = Pack({"extract", package.string(), byPacker.string()});
        ASSERT_EQ(extracted.code, 0) << extracted.output;
        EXPECT_EQ(Shell("diff -r " + Quote(tree.string()) + " " + Quote(byPacker.string())).code, 0);

        const std::string digest = Shell("xxhsum -H1 " + Quote(cabinet.string()) + " 2>/dev/null | cat").output.substr(0, 16);
        EXPECT_NE(built.output.find("XXH64 " + digest), std::string::npos) << built.output << digest;
        const std::string bytes = Read(package);
        kesto::PayloadDigest record;
        ASSERT_TRUE(kesto::ReadDigestRecord(
            reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.find(Marker()) - kesto::kDigestRecordSize, record));
        EXPECT_EQ(record.cabinetBytes, fs::file_size(cabinet));
        EXPECT_EQ(DigestText(record.value), digest);
        for (const fs::path& done : {cabinet, byCabextract, byPacker}) fs::remove_all(done);

        if (each.name != "large") {
            fs::remove_all(tree);
            continue;
        }
        // Interrupted halfway: nothing under OUT's name or beside it.
        fs::path out = scratch_ / "interrupted" / "out.exe";
        fs::create_directories(out.parent_path());
        Result interrupted = Shell(Quote(kPacker) + " build --stub " + Quote(kStub) + " --out " + Quote(out.string()) + " " +
                                   Quote(tree.string()) + " >/dev/null & pid=$!\n"
                                   "while kill -0 $pid && [ \"$(du -bc " + Quote(out.string()) + ".tmp-* 2>/dev/null | tail -n1 | cut -f1)\" -lt 8000000 ]; do sleep 0.02; done\n"
                                   "kill -TERM $pid; wait $pid; echo \"exit $?\"");
        EXPECT_NE(interrupted.output.find("exit 143"), std::string::npos) << interrupted.output;
        EXPECT_EQ(Listing(out.parent_path()), std::vector<std::string>{});
    }
}

TEST_F(PackTool, BuildRefusesAnOutAmongItsSourcesAndAnUnreadableSource) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.cmd", "@exit /b 0\r\n");
    Write(tree / "data" / "file.txt", "data");
    fs::create_directory_symlink(tree, scratch_ / "link");
    struct Case {
        fs::path out, source;
        std::string message;
    };
    for (const Case& refused : {Case{tree / "setup.cmd", tree / "setup.cmd", "is the source"},
                                Case{tree / "setup.cmd", tree, "lies inside the source folder"},
                                Case{scratch_ / "link" / "data" / "new.exe", tree, "lies inside the source folder"}}) {
        Result result = Pack({"build", "--stub", kStub, "--out", refused.out.string(), refused.source.string()});
        EXPECT_EQ(result.code, 2) << result.output;
        EXPECT_NE(result.output.find(refused.message), std::string::npos) << result.output;
    }
    EXPECT_EQ(Read(tree / "setup.cmd"), "@exit /b 0\r\n");
    EXPECT_EQ(Listing(tree), (std::vector<std::string>{"data", "setup.cmd"}));
    EXPECT_EQ(Listing(tree / "data"), std::vector<std::string>{"file.txt"});

    // An unreadable source is named before packing starts, and a folder the
    // packer cannot enter is refused with the system's reason. Root reads
    // everything, so as root the packer runs as nobody, who may not reach this
    // build (a clone in a private folder): the packer and its inputs are
    // copied into a folder of their own under the temporary folder.
    std::string own = (fs::temp_directory_path() / "kesto-pack-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(own.data()), nullptr) << own;
    struct Removed {
        std::string folder;
        ~Removed() { Shell("chmod -R u+rwx " + Quote(folder) + " && rm -rf " + Quote(folder)); }
    } removed{own};
    ASSERT_EQ(Shell("cd " + Quote(own) + " && cp " + Quote(kPacker) + " kesto-pack && cp " + Quote(kStub) +
                    " stub.exe && mkdir -p tree out locked/inner && echo x >tree/setup.cmd && echo x >secret.txt &&"
                    " chmod -R a+rX . && chmod a+rwx out && chmod 0 secret.txt locked").code, 0);
    const std::string as = "cd " + Quote(own) + " && " +
                           (::geteuid() == 0 ? "setpriv --reuid=nobody --regid=$(id -g nobody) --clear-groups " : "");
    Result reached = Shell(as + "./kesto-pack --version");
    if (reached.code != 0) GTEST_SKIP() << "the packer cannot run as nobody from " << own << ": " << reached.output;
    Result unreadable = Shell(as + "./kesto-pack build --stub stub.exe --out out/out.exe tree secret.txt");
    EXPECT_EQ(unreadable.code, 1) << unreadable.output;
    EXPECT_NE(unreadable.output.find("secret.txt: cannot be read"), std::string::npos) << unreadable.output;
    Result unreachable = Shell(as + "./kesto-pack build --stub stub.exe --out locked/inner/out.exe tree");
    EXPECT_EQ(unreachable.code, 1) << unreachable.output;
    EXPECT_NE(unreachable.output.find(std::strerror(EACCES)), std::string::npos) << unreachable.output;
    EXPECT_EQ(Listing(fs::path(own) / "out"), std::vector<std::string>{});
}

TEST_F(PackTool, ExtractIsAllOrNothingAndReplacesNoFile) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.cmd", "@exit /b 0\r\n");
    WriteRandom(tree / "data.bin", 100000, 3);
    fs::path package = scratch_ / "package.exe";
    ASSERT_EQ(Pack({"build", "--store", "--stub", kStub, "--out", package.string(), tree.string()}).code, 0);

    // A damaged data block whose digest record was made to match: the
    // first files are written before the damage is found, and removed.
    std::string bytes = Read(package), cabinet = Read(CabinetOf(package));
    cabinet[cabinet.size() - 20] ^= 0x55;
    ReplaceCabinet(bytes, cabinet);
    Write(scratch_ / "damaged.exe", bytes);
    // No folder it made is left either.
    fs::path target = scratch_ / "target" / "unpacked";
    Result damaged = Pack({"extract", (scratch_ / "damaged.exe").string(), target.string()});
    EXPECT_EQ(damaged.code, 1);
    EXPECT_NE(damaged.output.find("wrong checksum; nothing extracted"), std::string::npos) << damaged.output;
    EXPECT_EQ(Listing(scratch_), (std::vector<std::string>{"damaged.exe", "package.exe", "package.exe.cab", "stub", "tree"}));

    // A folder that holds the package's files keeps them, and gets nothing;
    // the refusal counts them and names the first few; the files beside
    // are left alone.
    Write(target / "setup.cmd", "mine");
    Write(target / "data.bin", "mine");
    Write(target / "other.txt", "mine too");
    Result held = Pack({"extract", package.string(), target.string()});
    EXPECT_EQ(held.code, 1);
    EXPECT_NE(held.output.find("already holds data.bin, setup.cmd (2 of the package's names), which extract would replace"),
              std::string::npos) << held.output;
    EXPECT_EQ(Listing(target), (std::vector<std::string>{"data.bin", "other.txt", "setup.cmd"}));
    EXPECT_EQ(Read(target / "setup.cmd"), "mine");
    fs::remove(target / "setup.cmd");
    fs::remove(target / "data.bin");
    ASSERT_EQ(Pack({"extract", package.string(), target.string()}).code, 0);
    EXPECT_EQ(Listing(target), (std::vector<std::string>{"data.bin", "other.txt", "setup.cmd"}));
    EXPECT_EQ(Read(target / "data.bin"), Read(tree / "data.bin"));
    EXPECT_EQ(Listing(target.parent_path()), std::vector<std::string>{"unpacked"});

    // What the system says of a package that cannot be read.
    for (std::string command : {"inspect", "extract"}) {
        std::vector<std::string> arguments = {command, (scratch_ / "nosuch.exe").string()};
        if (command == "extract") arguments.push_back(target.string());
        Result missing = Pack(arguments);
        EXPECT_EQ(missing.code, 1);
        EXPECT_NE(missing.output.find("nosuch.exe: No such file or directory"), std::string::npos) << missing.output;
    }
}

TEST_F(PackTool, ExtractFollowsNoLinkSwappedInWhileItRuns) {
    // Many files in a folder that FOLDER already has: while extract moves
    // them in, another process swaps that folder for a link to a folder
    // outside and back, again and again. Each run either extracts every
    // file inside FOLDER or refuses and leaves nothing; none writes outside.
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.cmd", "@exit /b 0\r\n");
    for (int i = 0; i < 300; ++i) Write(tree / "sub" / ("f" + std::to_string(i) + ".txt"), "x");
    const fs::path package = scratch_ / "package.exe", race = scratch_ / "race";
    ASSERT_EQ(Pack({"build", "--store", "--stub", kStub, "--out", package.string(), tree.string()}).code, 0);
    const int rounds = 40;
    int extracted = 0, refused = 0;
    for (int round = 0; round < rounds; ++round) {
        fs::remove_all(race);
        fs::create_directories(race / "folder" / "sub");
        fs::create_directories(race / "outside");
        Result run = Shell("exec 2>&1; cd " + Quote(race.string()) + " || exit\n(cd folder && while [ ! -e ../stop ]; do\n"
                           "  mv -T sub sub.real 2>/dev/null; ln -s ../outside sub 2>/dev/null\n"
                           "  rm -f sub 2>/dev/null; mv -T sub.real sub 2>/dev/null; done) & swap=$!\n" +
                           Quote(kPacker) + " extract " + Quote(package.string()) + " folder; code=$?\n"
                           "touch stop; wait $swap; echo \"exit $code\"");
        ASSERT_EQ(Listing(race / "outside"), std::vector<std::string>{}) << "round " << round << ": " << run.output;
        size_t files = 0;
        for (auto& item : fs::recursive_directory_iterator(race / "folder")) files += item.is_regular_file() ? 1 : 0;
        if (run.output.find("exit 0") != std::string::npos) {
            ++extracted;
            EXPECT_EQ(files, 301u) << run.output;
        } else {
            ++refused;
            EXPECT_NE(run.output.find("; nothing extracted\nexit 1"), std::string::npos) << run.output;
            EXPECT_EQ(files, 0u) << run.output;
        }
        EXPECT_EQ(Listing(race), (std::vector<std::string>{"folder", "outside", "stop"})) << run.output;
    }
    std::printf("%d rounds: %d extracted, %d refused, none wrote outside\n", rounds, extracted, refused);
}

// A cabinet of one stored folder of one data block, written by hand: the
// file table where it belongs, or behind the data; entries by name, offset
// and size.
struct HandEntry {
    std::string name;
    uint32_t offset, size;
};
std::string HandCabinet(const std::string& data, const std::vector<HandEntry>& entries, bool tableBehindData = false) {
    auto le = [](uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i) text += char(value >> (8 * i));
        return text;
    };
    std::string table;
    for (const HandEntry& entry : entries)
        table += le(entry.size, 4) + le(entry.offset, 4) + le(0, 2) + le(0x5021, 2) + le(0, 2) + le(0x20, 2) + entry.name + '\0';
    const std::string block = le(0, 4) + le(uint32_t(data.size()), 2) + le(uint32_t(data.size()), 2) + data;  // no checksum
    const uint32_t blockAt = 36 + 8 + uint32_t(tableBehindData ? 0 : table.size());
    const uint32_t tableAt = tableBehindData ? blockAt + uint32_t(block.size()) : 44;
    const uint32_t size = 44 + uint32_t(table.size() + block.size());
    std::string cabinet = "MSCF" + le(0, 4) + le(size, 4) + le(0, 4) + le(tableAt, 4) + le(0, 4) + "\x03\x01" + le(1, 2) +
                          le(uint32_t(entries.size()), 2) + le(0, 6) + le(blockAt, 4) + le(1, 2) + le(0, 2);
    return cabinet + (tableBehindData ? block + table : table + block);
}

TEST_F(PackTool, HostilePackagesAreRefusedBeforeAnythingIsWritten) {
    // Nearly 2 GiB of zeros, 3.5 MiB packed: inspect reads it all and writes
    // nothing anywhere; extract refuses a folder that cannot hold it.
    fs::path tree = scratch_ / "zeros";
    Write(tree / "setup.cmd", "@exit /b 0\r\n");
    Write(tree / "zeros.bin", "");
    fs::resize_file(tree / "zeros.bin", 2146000000);  // sparse; at the limit of one compressed cabinet
    fs::path zeros = scratch_ / "zeros.exe";
    Result built = Pack({"build", "--stub", kStub, "--out", zeros.string(), tree.string()});
    ASSERT_EQ(built.code, 0) << built.output;
    fs::remove_all(tree);
    fs::path temporary = scratch_ / "tmp";
    fs::create_directories(temporary);
    Result inspected = Pack({"inspect", zeros.string()}, "TMPDIR=" + Quote(temporary.string()));
    EXPECT_EQ(inspected.code, 0) << inspected.output;
    EXPECT_NE(inspected.output.find("2.0 GiB unpacked"), std::string::npos) << inspected.output;
    EXPECT_EQ(Listing(temporary), std::vector<std::string>{});
    EXPECT_EQ(Listing(scratch_), (std::vector<std::string>{"stub", "tmp", "zeros.exe"}));

    // Free space counts the blocks files take: 2,000 files of one byte
    // need 2,000 blocks, more than 1 MiB holds. Refused before writing, as
    // a folder too small for the zeros is.
    fs::path many = scratch_ / "many";
    for (int i = 0; i < 2000; ++i) Write(many / ("f" + std::to_string(i) + ".txt"), "x");
    ASSERT_EQ(Pack({"build", "--stub", kStub, "--out", (scratch_ / "many.exe").string(), many.string()}).code, 0);
    fs::remove_all(many);
    fs::path small = scratch_ / "small";
    struct Full {
        fs::path package;
        std::string size, message;
    };
    for (const Full& full : {Full{zeros, "64m", "the files need 2146000012 bytes"},
                             Full{scratch_ / "many.exe", "1m", "the files need 2000 bytes (2.0 KiB), 8196096 bytes in blocks of 4096"}}) {
        Result refused;
        if (!InSmallFileSystem(small, full.size, Quote(kPacker) + " extract " + Quote(full.package.string()) + " " +
                                                     Quote((small / "a" / "unpacked").string()) + "; echo \"exit $?\"; ls -A " +
                                                     Quote(small.string()), refused))
            break;
        EXPECT_NE(refused.output.find(full.message), std::string::npos) << refused.output;
        EXPECT_NE(refused.output.find("nothing extracted\nexit 1\n"), std::string::npos) << refused.output;
        EXPECT_EQ(refused.output.substr(refused.output.size() - 7), "exit 1\n") << refused.output;  // small holds nothing
    }
    fs::remove(small);

    // Two entries that claim the same bytes (the file table patched, the
    // digest record made to match).
    fs::path pair = scratch_ / "pair";
    WriteRandom(pair / "a.bin", 100000, 1);
    WriteRandom(pair / "b.bin", 100000, 2);
    fs::path package = scratch_ / "pair.exe";
    ASSERT_EQ(Pack({"build", "--stub", kStub, "--out", package.string(), pair.string()}).code, 0);
    std::string bytes = Read(package), cabinet = Read(CabinetOf(package));
    const size_t files = uint8_t(cabinet[16]) | uint8_t(cabinet[17]) << 8;
    const size_t second = files + 16 + std::string("a.bin").size() + 1;  // b.bin's entry
    ASSERT_EQ(cabinet.substr(second + 16, 5), "b.bin");
    cabinet.replace(second + 4, 4, std::string(4, '\0'));  // its offset in the folder: 0, a.bin's
    ReplaceCabinet(bytes, cabinet);
    Write(package, bytes);

    // Names Windows cannot hold, and two names that are one to Windows.
    std::vector<std::pair<fs::path, std::string>> cases = {{package, "b.bin: its bytes overlap those of a.bin"}};
    const std::string file = (pair / "a.bin").string();
    for (const char* name : {"CON", "NUL", "aux.txt", "trail.", "sub\\lpt1", "COM0", "lpt0.txt", "COM¹", "LPT³.log",
                             "CONIN$", "CONOUT$", "clock$.txt", "C:x"})
        cases.push_back({HostilePackage(std::string("name-") + (name[0] == 's' ? "sub" : name) + ".exe",
                                        {{"setup.cmd", file, 100000, 0}, {name, file, 100000, 0}}),
                         std::string("the name ") + name + ": Windows does not allow this name"});
    int twice = 0;
    for (const auto& names : std::vector<std::pair<std::string, std::string>>{
             {"Setup.cmd", "SETUP.CMD"}, {"Ⓐ.bat", "ⓐ.bat"}, {"ǆ.txt", "Ǆ.txt"}, {"ⅰ.txt", "Ⅰ.txt"}, {"ƀ.txt", "Ƀ.txt"},
             {"ɐ.txt", "Ɐ.txt"}, {"ა.txt", "Ა.txt"}, {"ꙁ.txt", "Ꙁ.txt"}, {"sub\\Ⓡun.cmd", "sub\\ⓡun.cmd"}})
        cases.push_back({HostilePackage("twice-" + std::to_string(++twice) + ".exe",
                                        {{names.first, file, 100000, 0}, {names.second, file, 100000, 0}}),
                         "the name " + names.second + ": the same name to Windows as " + names.first});
    // Cabinets whose tables do not account for their data: data that no
    // file covers, a file table behind the data, no file at all.
    const std::string data = "@exit /b 7\r\n";
    EXPECT_EQ(Pack({"inspect", PackageOf("whole.exe", HandCabinet(data, {{"setup.cmd", 0, 12}})).string()}).code, 0);
    cases.push_back({PackageOf("gap.exe", HandCabinet(data, {{"setup.cmd", 0, 5}})),
                     "bytes 5 to 12 of folder 0's 12 bytes of data belong to no file"});
    cases.push_back({PackageOf("behind.exe", HandCabinet(data, {{"setup.cmd", 0, 12}}, true)),
                     "the file table, up to offset 90, runs into folder 0's data blocks at offset 44"});
    cases.push_back({PackageOf("none.exe", HandCabinet(data, {})), "the cabinet holds no file"});
    for (const auto& hostile : cases) {
        for (const char* command : {"inspect", "extract"}) {
            std::vector<std::string> arguments = {command, hostile.first.string()};
            if (std::string(command) == "extract") arguments.push_back((scratch_ / "out").string());
            Result result = Pack(arguments);
            EXPECT_EQ(result.code, 1) << command << " " << hostile.first;
            EXPECT_NE(result.output.find(hostile.second), std::string::npos) << result.output;
        }
    }
    EXPECT_FALSE(fs::exists(scratch_ / "out"));

    // build --cab: a ready cabinet ends with the summary of any build; gcab's
    // cabinet of 65,536 files (its file count wraps to 0) is refused, as
    // inspect refuses it; a cabinet larger than Windows reads is refused by
    // its size before a byte is copied (the package would go where it could
    // not even be copied).
    const fs::path out = scratch_ / "out.exe";
    Result ready = Pack({"build", "--stub", kStub, "--out", out.string(), "--cab", CabinetOf(scratch_ / "whole.exe").string()});
    EXPECT_EQ(ready.code, 0) << ready.output;
    EXPECT_NE(ready.output.find("packed 1 file (12 bytes) into " + out.string() + ": "), std::string::npos) << ready.output;
    fs::path wrapped = scratch_ / "wrapped";
    for (int i = 0; i < 65536; ++i) Write(wrapped / ("f" + std::to_string(i)), "x");
    ASSERT_EQ(Shell("cd " + Quote(wrapped.string()) + " && gcab -c ../wrapped.cab $(ls)").code, 0);
    fs::remove_all(wrapped);
    Result wrappedBuild = Pack({"build", "--stub", kStub, "--out", out.string(), "--cab", (scratch_ / "wrapped.cab").string()});
    EXPECT_EQ(wrappedBuild.code, 1);
    EXPECT_NE(wrappedBuild.output.find("wrapped.cab: damaged cabinet: the cabinet holds no file"), std::string::npos)
        << wrappedBuild.output;
    Result wrappedInspect = Pack({"inspect", PackageOf("wrapped.exe", Read(scratch_ / "wrapped.cab")).string()});
    EXPECT_EQ(wrappedInspect.code, 1);
    EXPECT_NE(wrappedInspect.output.find("damaged cabinet: the cabinet holds no file"), std::string::npos) << wrappedInspect.output;
    Write(scratch_ / "huge.cab", "MSCF");
    fs::resize_file(scratch_ / "huge.cab", 0x90000000);  // sparse
    Result huge;
    if (InSmallFileSystem(small, "64m", Quote(kPacker) + " build --stub " + Quote(kStub) + " --out " +
                                            Quote((small / "huge.exe").string()) + " --cab " +
                                            Quote((scratch_ / "huge.cab").string()) + "; echo \"exit $?\"", huge)) {
        EXPECT_NE(huge.output.find("huge.cab is 2415919104 bytes; Windows reads cabinets of at most 2147483647\nexit 1"),
                  std::string::npos) << huge.output;
    }
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
    EXPECT_TRUE(std::regex_match(Pack({"--version"}).output,
                                 std::regex("kesto-pack " KESTO_VERSION " \\(commit ([0-9a-f]{40}(\\+changes)?|unknown)\\)\n")))
        << Pack({"--version"}).output;
    EXPECT_EQ(Pack({"frobnicate"}).code, 2);
    // --compress and --output: the long names of -z and -o.
    EXPECT_EQ(Pack({"--compress", "-s", kStub, "--output", package.string(), tree.string()}).code, 0);
    EXPECT_NE(Pack({"inspect", package.string()}).output.find(", MSZIP"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The command line, inspect --json, warnings and progress

// The options a --help lists: the names before the first blank of each
// "  -s,--stub STUB  ..." line.
std::set<std::string> HelpOptions(const std::string& help) {
    std::set<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 3, "  -") != 0) continue;
        std::istringstream first(line.substr(2, line.find(' ', 2) - 2));
        for (std::string name; std::getline(first, name, ',');) names.insert(name);
    }
    return names;
}

// The options the manual page names in the tags of one subsection.
std::set<std::string> ManualOptions(const std::string& page, const std::string& subsection) {
    std::set<std::string> names;
    const size_t start = page.find(".SS \"" + subsection + "\"");
    if (start == std::string::npos) return names;
    const std::string section = page.substr(start, page.find("\n.S", start + 1) - start);  // to the next .SS or .SH
    const std::regex tag("\\.TP\n([^\n]*)"), option("\\\\-(\\\\-)?[a-z]+");
    for (std::sregex_iterator it(section.begin(), section.end(), tag), end; it != end; ++it) {
        const std::string line = (*it)[1];
        for (std::sregex_iterator at(line.begin(), line.end(), option); at != end; ++at)
            names.insert(std::regex_replace(at->str(), std::regex("\\\\-"), "-"));
    }
    return names;
}

// The options the first column of the guide's table of build options names.
std::set<std::string> GuideOptions(const std::string& guide) {
    std::set<std::string> names;
    const std::string header = "| option | what it does |\n|---|---|\n";
    std::istringstream lines(guide.substr(guide.find(header) + header.size()));
    const std::regex option("`(-[-a-z]+)");
    for (std::string line; std::getline(lines, line) && line.compare(0, 3, "| `") == 0;)
        for (std::sregex_iterator at(line.begin(), line.begin() + line.find(" |", 2), option), end; at != end; ++at)
            names.insert((*at)[1]);
    return names;
}

TEST_F(PackTool, HelpComesFromTheOptionTablesWhichTheManualPageAndTheGuideName) {
    const std::string page = Read(KESTO_MANUAL_PAGE);
    Result usage = Pack({"help"});
    EXPECT_EQ(usage.code, 0);
    EXPECT_EQ(HelpOptions(usage.output), ManualOptions(page, "general options")) << usage.output;
    for (const char* command : {"build", "inspect", "extract", "try"}) {
        Result help = Pack({command, "--help"});
        EXPECT_EQ(help.code, 0);
        EXPECT_EQ(Pack({"help", command}).output, help.output);
        EXPECT_NE(help.output.find(std::string("Usage: kesto-pack ") + command), std::string::npos) << help.output;
        // -h and --help are in every table; the page names them once.
        std::set<std::string> options = HelpOptions(help.output);
        EXPECT_EQ(options.erase("-h") + options.erase("--help"), 2u) << help.output;
        EXPECT_EQ(options, ManualOptions(page, std::string(command) + " options")) << help.output;
        if (command == std::string("build")) {
            EXPECT_EQ(GuideOptions(Read(KESTO_GUIDE)), options);
        }
    }

    // No arguments: the usage on stderr, exit 2. A wrong command line is
    // named, with the help to read.
    Result none = Shell("{ " + Quote(kPacker) + " 2>&1 >/dev/null; }");
    EXPECT_EQ(none.code, 2);
    EXPECT_NE(none.output.find("Usage: kesto-pack"), std::string::npos) << none.output;
    Result wrong = Pack({"build", "--frobnicate", "--out", "x.exe", "."});
    EXPECT_EQ(wrong.code, 2);
    EXPECT_NE(wrong.output.find("--frobnicate"), std::string::npos) << wrong.output;
    EXPECT_NE(wrong.output.find("kesto-pack build --help"), std::string::npos) << wrong.output;
}

TEST_F(PackTool, InspectJsonSaysWhatTheTextSaysWithEachFilesSha256) {
    fs::path tree = MakeTree("tree");
    fs::path package = scratch_ / "package.exe";
    ASSERT_EQ(Pack({"build", "--stub", kStub, "--out", package.string(), tree.string()}).code, 0);
    Result text = Pack({"inspect", package.string()});
    ASSERT_EQ(text.code, 0) << text.output;
    Result printed = Shell("{ " + Quote(kPacker) + " inspect --json " + Quote(package.string()) + " 2>/dev/null; }");
    ASSERT_EQ(printed.code, 0) << printed.output;
    const nlohmann::json report = nlohmann::json::parse(printed.output);

    // Each figure as the text puts it.
    const nlohmann::json &layout = report["layout"], &digest = report["digest"], &entry = report["entry"];
    auto n = [](const nlohmann::json& value) { return std::to_string(value.get<uint64_t>()); };
    std::vector<std::string> lines = {
        "package:   " + package.string() + ", " + n(layout["file_size"]) + " bytes",
        "stub:      " + n(layout["stub_image_size"]) + " bytes of image, " + n(layout["padding"]) + " zero bytes of padding",
        "marker:    at offset " + n(layout["marker_offset"]),
        "payload:   from offset " + n(layout["payload_offset"]) + ", " + n(layout["payload_size"]) + " bytes to the end",
        "cabinet:   " + n(layout["cabinet_size"]) + " bytes, " + n(layout["files"]) + " files, " +
            HumanSize(layout["unpacked_size"]) + " unpacked, " + layout["compression"].get<std::string>(),
        "digest:    XXH64 " + digest["value"].get<std::string>() + " of the cabinet's " + n(digest["cabinet_size"]) +
            " bytes: " + digest["state"].get<std::string>(),
        "signature: none",
        "run space: " + n(report["run_space"]["bytes"]) + " bytes (" + HumanSize(report["run_space"]["bytes"]) +
            ") free in the temporary folder",
        "entry: " + entry["name"].get<std::string>() + " (the first " + entry["pattern"].get<std::string>(),
    };
    EXPECT_TRUE(report["signature"].is_null());
    EXPECT_TRUE(entry["certain"].get<bool>());
    for (const auto& warning : report["warnings"]) lines.push_back("kesto-pack: warning: " + warning.get<std::string>());
    ASSERT_EQ(report["files"].size(), Tree(tree).size());
    for (const auto& file : report["files"]) {
        char listed[32];
        std::snprintf(listed, sizeof(listed), "%12llu  ", static_cast<unsigned long long>(file["size"].get<uint64_t>()));
        const std::string name = file["name"];
        lines.push_back(listed + name);
        const fs::path source = tree / std::regex_replace(name, std::regex("\\\\"), "/");
        EXPECT_EQ(file["sha256"], Shell("sha256sum " + Quote(source.string())).output.substr(0, 64)) << name;
    }
    for (const std::string& line : lines) EXPECT_NE(text.output.find(line), std::string::npos) << line << "\n" << text.output;

    // A package that fails the checks prints no JSON, as the text fails.
    Write(scratch_ / "truncated.exe", Read(package).substr(0, fs::file_size(package) - 100));
    Result failed = Shell("{ " + Quote(kPacker) + " inspect --json " + Quote((scratch_ / "truncated.exe").string()) + " 2>/dev/null; }");
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(failed.output, "");
}

TEST_F(PackTool, WarnsAboutAnEmptyEntryNamesTooLongForTheWorkFolderAndTimesOutsideTheCabinet) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.cmd", "");
    fs::last_write_time(tree / "setup.cmd", fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 52));  // 1970s
    // 190 characters, the first that do not fit behind the work folder, and 189.
    const std::string tooLong = std::string(100, 'd') + "\\" + std::string(89, 'f'), fits = std::string(188, 'e');
    Write(tree / std::string(100, 'd') / std::string(89, 'f'), "x");
    Write(tree / fits, "x");
    const std::string out = (scratch_ / "out.exe").string();
    Result built = Pack({"build", "--stub", kStub, "--out", out, tree.string()});
    ASSERT_EQ(built.code, 0) << built.output;
    EXPECT_NE(built.output.find("warning: setup.cmd, which the launcher starts, is an empty file (0 bytes)"), std::string::npos)
        << built.output;
    EXPECT_NE(built.output.find("the path of " + tooLong + " (190 characters) reaches Windows' 260 characters"),
              std::string::npos) << built.output;
    EXPECT_EQ(built.output.find(fits + " ("), std::string::npos) << built.output;
    EXPECT_NE(built.output.find("files whose times lie outside the cabinet's dates (1980-01-01 00:00:00 UTC to "
                                "2107-12-31 23:59:58 UTC) get the nearest: " + (tree / "setup.cmd").string() +
                                " (1980-01-01 00:00:00 UTC)"), std::string::npos) << built.output;
    Result given = Pack({"build", "--stub", kStub, "--mtime", "4354819200", "--out", out, tree.string()});
    EXPECT_NE(given.output.find("the time given (--mtime or SOURCE_DATE_EPOCH), 4354819200, lies outside the cabinet's "
                                "dates (1980-01-01 00:00:00 UTC to 2107-12-31 23:59:58 UTC): every file gets 2107-12-31 "
                                "23:59:58 UTC"), std::string::npos) << given.output;

    // inspect gives the same warnings about the files, in its JSON too.
    const nlohmann::json report = nlohmann::json::parse(Shell("{ " + Quote(kPacker) + " inspect --json " + Quote(out) + " 2>/dev/null; }").output);
    EXPECT_EQ(report["warnings"].size(), 2u);
    for (const auto& warning : report["warnings"])
        EXPECT_NE(built.output.find("kesto-pack: warning: " + warning.get<std::string>()), std::string::npos) << warning;
}

TEST_F(PackTool, BuildEndsWithWhatWasReadBackAndWarnsOnStderrOfAPackageWithoutEntry) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "readme.txt", "no entry here");
    Write(tree / "data" / "setup.cmd", "@exit /b 0\r\n");  // not at the top: no entry
    const std::string package = (scratch_ / "package.exe").string();
    Result stdoutOnly = Shell("{ " + Quote(kPacker) + " build --stub " + Quote(kStub) + " --out " + Quote(package) + " " +
                              Quote(tree.string()) + " 2>/dev/null; }");
    ASSERT_EQ(stdoutOnly.code, 0) << stdoutOnly.output;
    const nlohmann::json report = nlohmann::json::parse(
        Shell("{ " + Quote(kPacker) + " inspect --json " + Quote(package) + " 2>/dev/null; }").output);
    const std::string last = stdoutOnly.output.substr(stdoutOnly.output.rfind('\n', stdoutOnly.output.size() - 2) + 1);
    EXPECT_EQ(last, "read back whole: 2 files of 25 bytes in a cabinet of " +
                        std::to_string(report["layout"]["cabinet_size"].get<uint64_t>()) + " bytes, XXH64 " +
                        report["digest"]["value"].get<std::string>() + "\n");
    EXPECT_EQ(stdoutOnly.output.find("warning"), std::string::npos) << stdoutOnly.output;
    Result both = Pack({"build", "--stub", kStub, "--out", package, tree.string()});
    EXPECT_NE(both.output.find("kesto-pack: warning: the package has no entry: every normal run ends with 0x08760008"),
              std::string::npos) << both.output;
    EXPECT_EQ(Pack({"build", "--stub", kStub, "--entry", "setup.cmd", "--out", package, tree.string()}).code, 1);
}

TEST_F(PackTool, ProgressShowsOnATerminalOnly) {
    fs::path tree = scratch_ / "tree";
    Write(tree / "setup.cmd", "@exit /b 0\r\n");
    WriteRandom(tree / "data.bin", 4 << 20, 5);
    const std::string package = Quote((scratch_ / "package.exe").string());
    const std::string commands = Quote(kPacker) + " build --stub " + Quote(kStub) + " --out " + package + " " +
                                 Quote(tree.string()) + " >/dev/null; " + Quote(kPacker) + " inspect " + package +
                                 " >/dev/null; " + Quote(kPacker) + " extract " + package + " " +
                                 Quote((scratch_ / "unpacked").string()) + " >/dev/null";
    // script gives the commands a terminal.
    Result terminal = Shell("script -qec " + Quote(commands) + " /dev/null");
    for (const char* step : {"kesto-pack: packing ", "kesto-pack: reading back ", "kesto-pack: checking ", "kesto-pack: unpacking "})
        EXPECT_NE(terminal.output.find(std::string(step) + "0 bytes of 4.0 MiB (0%)"), std::string::npos) << step << terminal.output;
    fs::remove_all(scratch_ / "unpacked");
    Result piped = Shell(commands);
    EXPECT_EQ(piped.output, "");
}

}  // namespace

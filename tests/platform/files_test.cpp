// File Manager fork reading: references from paths, forks by reference number, reads at every
// position mode, and the errors for what cannot be done.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const UInt8 *utf8(const std::string &path) {
    return reinterpret_cast<const UInt8 *>(path.c_str());
}

class ForkReading : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("qorvanta-files-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        for (int i = 0; i < 1000; ++i) contents.push_back(char(i * 7 + 3));
        file = (dir / "data.bin").string();
        std::ofstream(file, std::ios::binary)
            .write(contents.data(), std::streamsize(contents.size()));
    }
    void TearDown() override { fs::remove_all(dir); }

    // Opens the data fork of path for reading; fails the test when it does not open.
    FSIORefNum openDataFork(const std::string &path) {
        FSRef ref;
        HFSUniStr255 name;
        FSIORefNum fork = 0;
        EXPECT_EQ(FSPathMakeRef(utf8(path), &ref, nullptr), noErr);
        EXPECT_EQ(FSGetDataForkName(&name), noErr);
        EXPECT_EQ(FSOpenFork(&ref, name.length, name.unicode, fsRdPerm, &fork), noErr);
        EXPECT_NE(fork, 0);
        return fork;
    }
    std::string read(FSIORefNum fork, UInt16 mode, SInt64 offset, ByteCount count,
                     OSErr expected = noErr) {
        std::string out(count, '\0');
        ByteCount actual = 12345;
        EXPECT_EQ(FSReadFork(fork, mode, offset, count, out.data(), &actual), expected);
        out.resize(actual);
        return out;
    }
    std::string slice(size_t from, size_t n) const {
        return std::string(contents.begin() + long(from), contents.begin() + long(from + n));
    }

    fs::path dir;
    std::string file;
    std::vector<char> contents;
};

TEST_F(ForkReading, ReferencesNameWhatExists) {
    FSRef ref;
    Boolean isDirectory = 7;
    EXPECT_EQ(FSPathMakeRef(utf8((dir / "missing.rbf").string()), &ref, &isDirectory), fnfErr);
    EXPECT_EQ(isDirectory, false);
    EXPECT_EQ(FSPathMakeRef(utf8(file + "/below"), &ref, nullptr), dirNFErr);
    EXPECT_EQ(FSPathMakeRef(utf8(""), &ref, nullptr), fnfErr);
    EXPECT_EQ(FSPathMakeRef(nullptr, &ref, nullptr), paramErr);
    EXPECT_EQ(FSPathMakeRef(utf8(file), nullptr, nullptr), paramErr);
    EXPECT_EQ(FSPathMakeRef(utf8(std::string(PATH_MAX + 10, 'a')), &ref, nullptr), bdNamErr);

    ASSERT_EQ(FSPathMakeRef(utf8(dir.string()), &ref, &isDirectory), noErr);
    EXPECT_TRUE(isDirectory);
    // A reference stays valid whatever the current directory does later: it is absolute.
    fs::path previous = fs::current_path();
    fs::current_path(dir);
    ASSERT_EQ(FSPathMakeRef(utf8("./data.bin"), &ref, &isDirectory), noErr);
    fs::current_path(previous);
    EXPECT_FALSE(isDirectory);
    EXPECT_EQ(fs::path(ref.path), fs::canonical(file));
}

TEST_F(ForkReading, WholeFileReadsAsTheDriverReadsABitstream) {
    FSIORefNum fork = openDataFork(file);
    SInt64 size = -1;
    ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, SInt64(contents.size()));
    std::vector<char> buffer(contents.size());
    ByteCount actual = 0;
    ASSERT_EQ(FSReadFork(fork, fsFromStart | noCacheMask, 0, buffer.size(), buffer.data(), &actual),
              noErr);
    EXPECT_EQ(actual, contents.size());
    EXPECT_EQ(buffer, contents);
    EXPECT_EQ(FSCloseFork(fork), noErr);
}

TEST_F(ForkReading, PositionModesMoveTheMark) {
    FSIORefNum fork = openDataFork(file);
    EXPECT_EQ(read(fork, fsAtMark, 999, 10), slice(0, 10)) << "the mark starts at 0";
    EXPECT_EQ(read(fork, fsAtMark, 0, 10), slice(10, 10));
    EXPECT_EQ(read(fork, fsFromStart | pleaseCacheMask, 500, 4), slice(500, 4));
    EXPECT_EQ(read(fork, fsFromMark, 6, 4), slice(510, 4));
    EXPECT_EQ(read(fork, fsFromMark, -14, 4), slice(500, 4));
    EXPECT_EQ(read(fork, fsFromLEOF, -8, 8), slice(992, 8));
    // Reading on past the end gives what there is.
    EXPECT_EQ(read(fork, fsFromStart, 990, 50, eofErr), slice(990, 10));
    EXPECT_EQ(read(fork, fsAtMark, 0, 1, eofErr), "");
    EXPECT_EQ(read(fork, fsFromStart, 2000, 4, eofErr), "");
    EXPECT_EQ(read(fork, fsFromStart, 3, 0), "");
    EXPECT_EQ(read(fork, fsAtMark, 0, 2), slice(3, 2));

    // A position before the start, or a mode that does not exist, reads nothing.
    EXPECT_EQ(read(fork, fsFromStart, -1, 4, posErr), "");
    EXPECT_EQ(read(fork, fsFromLEOF, -1001, 4, posErr), "");
    EXPECT_EQ(read(fork, 0x0100 | fsFromStart, 0, 4, errFSBadPosMode), "");
    EXPECT_EQ(read(fork, fsAtMark, 0, 2), slice(5, 2)) << "failed reads leave the mark alone";
    EXPECT_EQ(FSCloseFork(fork), noErr);
}

TEST_F(ForkReading, EachOpenForkHasItsOwnNumberAndMark) {
    FSIORefNum first = openDataFork(file);
    FSIORefNum second = openDataFork(file);
    EXPECT_NE(first, second);
    EXPECT_EQ(read(first, fsFromStart, 100, 5), slice(100, 5));
    EXPECT_EQ(read(second, fsAtMark, 0, 5), slice(0, 5));
    EXPECT_EQ(read(first, fsAtMark, 0, 5), slice(105, 5));
    EXPECT_EQ(FSCloseFork(first), noErr);
    EXPECT_EQ(read(second, fsAtMark, 0, 5), slice(5, 5));
    EXPECT_EQ(FSCloseFork(second), noErr);
}

TEST_F(ForkReading, ClosedAndUnknownNumbersAreRefused) {
    FSIORefNum fork = openDataFork(file);
    ASSERT_EQ(FSCloseFork(fork), noErr);
    EXPECT_EQ(FSCloseFork(fork), rfNumErr);
    SInt64 size = 77;
    EXPECT_EQ(FSGetForkSize(fork, &size), rfNumErr);
    EXPECT_EQ(size, 0);
    char byte;
    ByteCount actual = 9;
    EXPECT_EQ(FSReadFork(fork, fsFromStart, 0, 1, &byte, &actual), rfNumErr);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(FSReadFork(-3, fsFromStart, 0, 1, &byte, nullptr), rfNumErr);
    EXPECT_EQ(FSCloseFork(0), rfNumErr);
}

TEST_F(ForkReading, OnlyTheDataForkOfAFileOpensForReading) {
    FSRef ref;
    ASSERT_EQ(FSPathMakeRef(utf8(file), &ref, nullptr), noErr);
    FSIORefNum fork = 55;
    const UniChar resourceFork[] = {'R', 'E', 'S', 'O', 'U', 'R', 'C',
                                    'E', '_', 'F', 'O', 'R', 'K'};
    EXPECT_EQ(FSOpenFork(&ref, 13, resourceFork, fsRdPerm, &fork), errFSForkNotFound);
    EXPECT_EQ(fork, 0);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsWrPerm, &fork), permErr);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &fork), permErr);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, 9, &fork), paramErr);
    EXPECT_EQ(FSOpenFork(&ref, 2, nullptr, fsRdPerm, &fork), paramErr);
    EXPECT_EQ(FSOpenFork(nullptr, 0, nullptr, fsRdPerm, &fork), paramErr);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdPerm, nullptr), paramErr);

    FSRef folder;
    ASSERT_EQ(FSPathMakeRef(utf8(dir.string()), &folder, nullptr), noErr);
    EXPECT_EQ(FSOpenFork(&folder, 0, nullptr, fsRdPerm, &fork), notAFileErr);
    EXPECT_EQ(fork, 0);
    // Nor has a device: only regular files hold data forks.
    FSRef device;
    ASSERT_EQ(FSPathMakeRef(utf8("/dev/null"), &device, nullptr), noErr);
    EXPECT_EQ(FSOpenFork(&device, 0, nullptr, fsRdPerm, &fork), notAFileErr);
    EXPECT_EQ(fork, 0);

    // A file removed after its reference was made is no longer found.
    fs::remove(file);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsCurPerm, &fork), fnfErr);
    EXPECT_EQ(FSGetDataForkName(nullptr), paramErr);
}

TEST_F(ForkReading, AnOpenForkOutlivesTheFileName) {
    FSIORefNum fork = openDataFork(file);
    fs::remove(file);
    SInt64 size = 0;
    EXPECT_EQ(FSGetForkSize(fork, &size), noErr);
    EXPECT_EQ(size, 1000);
    EXPECT_EQ(read(fork, fsFromStart, 20, 3), slice(20, 3));
    char *nothing = nullptr;
    EXPECT_EQ(FSReadFork(fork, fsFromStart, 0, 4, nothing, nullptr), paramErr);
    EXPECT_EQ(FSCloseFork(fork), noErr);
}

} // namespace

// The GZIP program against GNU gzip: the same decompressed bytes for real card data, several
// members, trailing bytes, and damaged input; our exit status and the one-line messages.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>

#include "core/platform.h"
#include "support/test_support.h"

namespace {

using orva::test::ReadFileBytes;
using orva::test::TempFolder;
using orva::test::WriteFileBytes;
using Bytes = std::vector<std::uint8_t>;

Bytes Member(const std::string& text) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(text.size() + 128);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

struct Outcome {
    int status = -1;
    Bytes out;
    std::string err;
};

class GzipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v gzip > /dev/null") != 0) {
            GTEST_SKIP() << "GNU gzip is not installed";
        }
    }

    Outcome Execute(const std::string& program, const std::filesystem::path& file) {
        const auto out = folder.Path() / "out";
        const auto err = folder.Path() / "err";
        const std::string line = program + " -dc '" + file.string() + "' > '" + out.string() +
                                 "' 2> '" + err.string() + "'";
        const int raw = std::system(line.c_str());
        Outcome run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFileBytes(out);
        const Bytes errBytes = ReadFileBytes(err);
        run.err.assign(errBytes.begin(), errBytes.end());
        return run;
    }
    Outcome Ours(const std::filesystem::path& file) {
        return Execute("'" + orva::core::ProgramDirectory() + "GZIP'", file);
    }
    Outcome Gnu(const std::filesystem::path& file) { return Execute("gzip", file); }

    std::filesystem::path Write(const std::string& name, const Bytes& bytes) {
        const auto path = folder.Path() / name;
        WriteFileBytes(path, bytes);
        return path;
    }

    TempFolder folder{"orva-gzip"};
};

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(GzipTest, RealCardDataMatchGnuGzip) {
    const auto samples = orva::test::SamplesDir();
    if (!samples) {
        GTEST_SKIP() << "no samples folder";
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(*samples / "eeb_vsd")) {
        if (entry.path().extension() == ".gz") {
            files.push_back(entry.path());
        }
    }
    ASSERT_FALSE(files.empty());
    // The compressed parts of EF.PD (behind its 2-byte length) and EF.VD (VD and protected
    // data, by the offsets in its header; ends inclusive).
    const Bytes pd = ReadFileBytes(*samples / "egk_bin/egkfeuer_sim_EF.PD.bin");
    const std::size_t pdLength = pd[0] * 256u + pd[1];
    files.push_back(Write("PD.GZ", {pd.begin() + 2, pd.begin() + 2 + static_cast<long>(pdLength)}));
    for (const char* name :
         {"egk_bin/egkfeuer_sim_EF.VD.bin", "egk_bin/openhealthcore_G2_1_testcard_EF.VD.bin"}) {
        const Bytes vd = ReadFileBytes(*samples / name);
        const std::size_t start = vd[0] * 256u + vd[1];
        const std::size_t end = vd[6] * 256u + vd[7];
        files.push_back(Write(
            std::filesystem::path(name).stem().string() + ".GZ",
            {vd.begin() + static_cast<long>(start), vd.begin() + static_cast<long>(end) + 1}));
    }
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const Outcome ours = Ours(file);
        const Outcome gnu = Gnu(file);
        ASSERT_EQ(gnu.status, 0);
        EXPECT_EQ(ours.status, 0);
        EXPECT_EQ(ours.out, gnu.out);
        EXPECT_FALSE(ours.out.empty());
        EXPECT_TRUE(ours.err.empty());
    }
}

struct Case {
    const char* name;
    Bytes bytes;
    std::string content;  // what the intact members hold
    bool ok;              // exit status 0, nothing on standard error
};

bool IsPrefix(const Bytes& head, const Bytes& whole) {
    return head.size() <= whole.size() && std::equal(head.begin(), head.end(), whole.begin());
}

TEST_F(GzipTest, MembersTrailingBytesAndDamage) {
    const std::string one = "<Versicherter>erstes Mitglied</Versicherter>\n";
    const std::string two = std::string(5000, 'z') + "zweites Mitglied\n";
    const Bytes first = Member(one);
    const Bytes second = Member(two);
    Bytes badCrc = second;
    badCrc[badCrc.size() - 6] ^= 0xFF;
    const Bytes truncated(second.begin(), second.end() - 20);
    const std::vector<Case> cases = {
        {"OneMember", first, one, true},
        {"TwoMembers", Join({first, second}), one + two, true},
        {"TrailingBytes", Join({first, second, {0x00, 0x00, 0x00}}), one + two, true},
        {"TrailingText", Join({first, {'a', 'b', 'c', 'd'}}), one, true},
        {"TruncatedMember", truncated, two, false},
        {"TruncatedSecondMember", Join({first, truncated}), one + two, false},
        {"ChecksumError", Join({first, badCrc}), one + two, false},
        {"NotGzip", {'<', 'x', 'm', 'l', '>'}, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = Write("case.gz", c.bytes);
        const Outcome ours = Ours(file);
        const Outcome gnu = Gnu(file);
        const Bytes content(c.content.begin(), c.content.end());
        if (c.ok) {
            EXPECT_EQ(ours.out, gnu.out) << "GNU gzip: " << gnu.err;
            EXPECT_EQ(ours.out, content);
            EXPECT_EQ(ours.status, 0);
            EXPECT_TRUE(ours.err.empty()) << ours.err;
        } else {
            // Damaged data: what comes out is true content only. GNU gzip may hold back the
            // tail of a block it could not finish; we give what zlib could decode.
            EXPECT_TRUE(IsPrefix(ours.out, content)) << ours.out.size();
            EXPECT_TRUE(IsPrefix(gnu.out, ours.out)) << gnu.out.size() << " " << ours.out.size();
            EXPECT_NE(ours.status, 0);
            EXPECT_EQ(Lines(ours.err), 1u) << ours.err;
        }
    }
}

TEST_F(GzipTest, MissingOrEmptyFile) {
    for (const auto& file : {folder.Path() / "missing.gz", Write("empty.gz", {})}) {
        SCOPED_TRACE(file.string());
        const Outcome ours = Ours(file);
        EXPECT_NE(ours.status, 0);
        EXPECT_TRUE(ours.out.empty());
        EXPECT_EQ(Lines(ours.err), 1u) << ours.err;
        EXPECT_NE(ours.err.find(file.string()), std::string::npos) << ours.err;
    }
}

TEST_F(GzipTest, WrongUsage) {
    const std::string line = "'" + orva::core::ProgramDirectory() + "GZIP' -d 2> /dev/null";
    const int raw = std::system(line.c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 2);
}

}  // namespace

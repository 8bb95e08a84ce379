// Delivery into the running reference client (Windows): the test starts OrvaClient.exe, waits
// until its window exists, delivers, and compares the bytes the client wrote with --out.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/platform.h"
#include "core/state.h"
#include "record/client_channel.h"
#include "record/compose.h"
#include "record/delivery.h"
#include "record_test_support.h"
#include "support/recording_ui.h"

namespace orva::record {
namespace {

using test::Hex;
using test::ToHex;
namespace fs = std::filesystem;

// A running OrvaClient.exe with its own output folder; closed by WM_CLOSE at the end.
class Client {
  public:
    explicit Client(std::string windowClass) : class_(std::move(windowClass)) {
        const std::string line = "\"" + core::ProgramDirectory() + "OrvaClient.exe\" --out \"" +
                                 out_.Path().string() + "\" --class " + class_;
        std::vector<char> mutableLine(line.begin(), line.end());
        mutableLine.push_back('\0');
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process_)) {
            ADD_FAILURE() << "cannot start " << line;
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            window_ = FindWindowA(class_.c_str(), nullptr);
            if (window_ != nullptr && fs::exists(out_.Path() / "ready")) {
                return;
            }
            if (WaitForSingleObject(process_.hProcess, 50) == WAIT_OBJECT_0) {
                break;
            }
        }
        ADD_FAILURE() << "the client did not get ready";
    }

    ~Client() {
        if (process_.hProcess == nullptr) {
            return;
        }
        if (window_ != nullptr) {
            PostMessageA(window_, WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(process_.hProcess, 15000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the client did not end on WM_CLOSE";
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, 5000);
        } else {
            DWORD code = 1;
            GetExitCodeProcess(process_.hProcess, &code);
            EXPECT_EQ(code, 0u);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The records the client wrote, in order.
    std::vector<std::vector<std::uint8_t>> Records() const {
        std::vector<std::vector<std::uint8_t>> records;
        for (unsigned i = 1;; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "record-%04u.bin", i);
            if (!fs::exists(out_.Path() / name)) {
                return records;
            }
            records.push_back(test::ReadFileBytes(out_.Path() / name));
        }
    }

  private:
    std::string class_;
    test::TempFolder out_{"orva-client"};
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

// KVK data whose record holds a byte 0xFF.
const char* const kKvkData = "80 03 FF 42 43 44 45 8E 01 5A";
const char* const kKvkRecord = "04 4F 4B 56 4B 20 30 31 80 E3 FF 42 43 44 45 8E E1 35 41 04";
const char* const kKvkRecordToClient =
    "04 4F 4B 56 4B 20 30 31 80 E3 1F 42 43 44 45 8E E1 35 41 04";
const char* const kErrorRecordHex = "04 4F 4B 56 4B 20 30 31 2D 04";

class ClientDeliveryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateClientChannel(true)); }
    static void TearDownTestSuite() { ReleaseClientChannel(); }
    void SetUp() override { core::ResetState(); }
    void TearDown() override {
        SetGzipDirectory(std::nullopt);
        core::ResetState();
    }

    // The shared block as another reader sees it.
    static std::vector<std::uint8_t> Block() {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kChannelName);
        if (mapping == nullptr) {
            return {};
        }
        const auto* view =
            static_cast<const std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        std::vector<std::uint8_t> bytes(view, view + kSharedBlockSize);
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return bytes;
    }

    test::RecordingUi ui;
};

TEST_F(ClientDeliveryTest, ClientReadsWParamBytesWithFFReplacedAndTheTailStays) {
    Client client(kClientClass);
    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Kvk));
    const auto records = client.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(ToHex(records[0]), kKvkRecordToClient);
    // The client writes exactly WPARAM bytes: the length of the ErrorRecord.
    EXPECT_EQ(ToHex(records[1]), kErrorRecordHex);
    // Behind the shorter record the block still holds the tail of the longer one.
    const auto block = Block();
    ASSERT_EQ(block.size(), kSharedBlockSize);
    auto expected = Hex(kKvkRecordToClient);
    std::copy(kErrorRecord.begin(), kErrorRecord.end(), expected.begin());
    EXPECT_EQ(ToHex({block.begin(), block.begin() + static_cast<long>(expected.size())}),
              ToHex(expected));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ClientDeliveryTest, OutputFileTakesTheRecordUntouchedAndTheClientGetsNothing) {
    Client client(kClientClass);
    test::TempFolder folder{"orva-file"};
    core::Options().outputFileName = (folder.Path() / "ORVA.TXT").string();
    EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_EQ(ToHex(test::ReadFileBytes(folder.Path() / "ORVA.TXT")), kKvkRecord);
    EXPECT_TRUE(client.Records().empty());
}

TEST_F(ClientDeliveryTest, NoClientSendWithholdsEgkRunsOnly) {
    Client client(kClientClass);
    core::Options().noClientSend = true;
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Egk));
    EXPECT_TRUE(client.Records().empty());
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Kvk));
    ASSERT_EQ(client.Records().size(), 1u);
    EXPECT_EQ(ToHex(client.Records()[0]), kErrorRecordHex);
}

TEST_F(ClientDeliveryTest, FallbackClassIsUsedOnlyWithoutTheFirst) {
    Client comm(kClientFallbackClass);
    EXPECT_TRUE(DeliverErrorRecord(core::CardKind::Kvk));
    ASSERT_EQ(comm.Records().size(), 1u);
    {
        Client telnet(kClientClass);
        EXPECT_TRUE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
        ASSERT_EQ(telnet.Records().size(), 1u);
        EXPECT_EQ(ToHex(telnet.Records()[0]), kKvkRecordToClient);
        EXPECT_EQ(comm.Records().size(), 1u);
    }
}

TEST_F(ClientDeliveryTest, NoClientShowsTheBoxForEveryRecord) {
    ASSERT_EQ(FindWindowA(kClientClass, nullptr), nullptr);
    ASSERT_EQ(FindWindowA(kClientFallbackClass, nullptr), nullptr);
    EXPECT_FALSE(DeliverRecord(BytesOnly(Hex(kKvkData)), core::CardKind::Kvk));
    EXPECT_FALSE(DeliverErrorRecord(core::CardKind::Kvk));
    ASSERT_EQ(ui.boxes.size(), 2u);
    for (const auto& box : ui.boxes) {
        EXPECT_EQ(box.caption, "Fehler");
        EXPECT_EQ(box.text, "Ovira Telnet Client nicht gestartet!");
    }
}

// The eGK record from real card files, decompressed by the real GZIP.exe from a program folder
// and a temporary folder that both hold spaces: into the client, and into the -F file.
class EgkClientDeliveryTest : public ClientDeliveryTest {
  protected:
    void SetUp() override {
        ClientDeliveryTest::SetUp();
        samples = test::SamplesDir();
        if (!samples) {
            GTEST_SKIP() << "no samples folder";
        }
        fs::copy_file(core::ProgramDirectory() + "GZIP.exe", program.Path() / "GZIP.exe");
        SetGzipDirectory(program.WithSeparator());
        core::Options().tempDir = temp.WithSeparator();
        card.version = "000000000000300000000301000003";
        card.iccsn = "80276883110000017222";
        card.stored = {.status = true, .pd = true, .vd = true};

        const auto pd = test::ReadFileBytes(*samples / "egk_bin/egkfeuer_sim_EF.PD.bin");
        const std::size_t pdLength = pd[0] * 256u + pd[1];
        test::WriteFileBytes(temp.Path() / "PD.GZ",
                             {pd.begin() + 2, pd.begin() + 2 + static_cast<long>(pdLength)});
        const auto vd = test::ReadFileBytes(*samples / "egk_bin/egkfeuer_sim_EF.VD.bin");
        const std::size_t vdStart = vd[0] * 256u + vd[1];
        const std::size_t gvdEnd = vd[6] * 256u + vd[7];
        test::WriteFileBytes(temp.Path() / "VD.GZ", {vd.begin() + static_cast<long>(vdStart),
                                                     vd.begin() + static_cast<long>(gvdEnd) + 1});
        test::WriteFileBytes(temp.Path() / "ST.TXT", test::Bytes("020090710144441 5.1.0"));

        // The record worked out from the decompressed documents of the same card.
        test::TempFolder scratch{"orva-expected"};
        const auto xml = [&](const char* name) {
            return test::Text(test::ReadFileBytes(*samples / "egk_xml" / name));
        };
        expected =
            "\x04OKVK 01" +
            test::FlattenText(scratch, "PD.XML", xml("egkfeuer_sim_EF.PD.decompressed.xml")) +
            test::FlattenText(scratch, "VD.XML",
                              xml("egkfeuer_sim_EF.VD_VD.decompressed.xml") +
                                  xml("egkfeuer_sim_EF.VD_GVD.decompressed.xml")) +
            "ST>020090710144441 5.1.0\nVER>000000000000300000000301000003"
            "\nICCSN>80276883110000017222\x04";
        // The data buffer after the VD read: its first two bytes equal the length.
        card.bytes = {0x02, 0x7E};
        card.bytes.resize(0x027E, 0x41);
    }

    std::optional<fs::path> samples;
    test::TempFolder program{"orva program"};
    test::TempFolder temp{"orva temp"};
    std::string expected;
    CardData card;
};

TEST_F(EgkClientDeliveryTest, RealCardRecordReachesTheClientByteForByte) {
    Client client(kClientClass);
    EXPECT_TRUE(DeliverRecord(card, core::CardKind::Egk));
    const auto records = client.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(test::Text(records[0]), expected);
    EXPECT_NE(expected.find("Versicherter>Person>Nachname>Musterkarte-0461\n"), std::string::npos);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(EgkClientDeliveryTest, RealCardRecordInTheOutputFile) {
    core::Options().outputFileName = (temp.Path() / "ORVA.TXT").string();
    EXPECT_TRUE(DeliverRecord(card, core::CardKind::Egk));
    EXPECT_EQ(test::Text(test::ReadFileBytes(temp.Path() / "ORVA.TXT")), expected);
    EXPECT_TRUE(ui.boxes.empty());
}

}  // namespace
}  // namespace orva::record

// Tests of the transmission panel's behaviour: analysis, start, stop, the
// timer's status text and progress, the port counter and the shared
// transmitting count. Transmissions go to a socket of the test's own on
// 127.0.0.1 with announcements off, or stay inside a private network
// namespace.
#include "sender/castdeck/model/transmitmodel.h"

#include "core/net/qvhostaddr.h"
#include "platform/clock.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using castdeck::DeckState;
using castdeck::ParseTarget;
using castdeck::TransmitModel;

std::string SamplePath(const char* name)
{
    const char* root = std::getenv("QV_TEST_SOURCE_DIR");
    return std::string(root != nullptr ? root : ".") + "/samples/" + name;
}

const std::string kM1s = SamplePath("m1s_testsrc.mpg");
const std::string kM2p = SamplePath("m2p_testsrc.mpg");
const std::string kM2t = SamplePath("m2t_testsrc2.ts");

class FakeHost : public castdeck::TransmitPanelHost
{
public:
    std::string TakeDroppedPath() override
    {
        std::string path;
        path.swap(dropped);
        return path;
    }
    void SetDocumentPath(const std::string& path) override { documentPaths.push_back(path); }
    void ShowError(const std::string& text) override { errors.push_back(text); }

    std::string dropped;
    std::vector<std::string> documentPaths;
    std::vector<std::string> errors;
};

// A host whose "first address" is not an address of this machine: a caster
// that kept it as its interface could not bind any more.
std::vector<std::uint32_t> ForeignHostAddresses()
{
    return {inet_addr("192.0.2.77"), inet_addr("10.1.2.3")};
}

class TransmitModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
    }

    std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        const std::string path = (m_dir / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Random bytes free of 0x47 and of pack headers: no stream type fits.
    std::string UnclassifiedFile()
    {
        std::mt19937 random(7);
        std::vector<std::uint8_t> bytes(8192);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random() % 0x40 + 0x50);
        }
        return WriteFile("noise.bin", bytes);
    }

    // Aims the panel at a receiver of the test on loopback, announcements off.
    void AimAtLoopback(TransmitModel& model, const qvtest::UdpSocket& receiver)
    {
        model.SetAddress("127.0.0.1");
        model.SetPort(std::to_string(receiver.LocalPort()));
        model.SetSap(false);
    }

    // Runs the timer until the condition holds (generous bound).
    template <class Condition> bool TickUntil(TransmitModel& model, Condition condition)
    {
        for (int i = 0; i < 600; ++i) {
            model.OnTimer();
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    qvtest::TempDir m_temp{"castdeck_model"};
    std::filesystem::path m_dir;
    DeckState m_state;
    FakeHost m_host;
};

TEST(ParseTargetTest, AcceptsDottedAddressesAndPortsInRange)
{
    const auto target = ParseTarget("225.1.1.1", "2010");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->address, inet_addr("225.1.1.1"));
    EXPECT_EQ(target->port, 2010u);

    const auto padded = ParseTarget("  127.0.0.1 ", " 65535 ");
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->address, inet_addr("127.0.0.1"));
    EXPECT_EQ(padded->port, 65535u);
    EXPECT_TRUE(ParseTarget("0.0.0.0", "1"));
}

TEST(ParseTargetTest, RefusesEverythingElse)
{
    for (const char* address : {"", "225.1.1", "225.1.1.1.1", "256.1.1.1", "225.1.1.1x",
                                "host.example", "255.255.255.255x", "1..2.3", "0x7f.0.0.1"}) {
        EXPECT_FALSE(ParseTarget(address, "2010")) << address;
    }
    for (const char* port : {"", "0", "65536", "99999999999", "12a", "-1", "+5", "20 10"}) {
        EXPECT_FALSE(ParseTarget("225.1.1.1", port)) << port;
    }
}

TEST_F(TransmitModelTest, InitialPanelState)
{
    const QvHostAddressProvider previous = QvSetHostAddressProvider(ForeignHostAddresses);
    TransmitModel model(m_state, m_host);
    QvSetHostAddressProvider(previous);

    EXPECT_EQ(model.StatusText(), "Please select an MPEG file.");
    EXPECT_EQ(model.Address(), "225.1.1.1");
    EXPECT_EQ(model.Port(), "2010");
    EXPECT_EQ(TransmitModel::TtlChoices()[static_cast<std::size_t>(model.TtlSelection())],
              "Region");
    EXPECT_EQ(model.PacketFormats(), (std::vector<std::string>{"RAW", "OPV", "QVS"}));
    EXPECT_EQ(model.PacketFormatSelection(), 2);
    EXPECT_TRUE(model.Rewind());
    EXPECT_TRUE(model.Sap());
    EXPECT_FALSE(model.StartEnabled());
    EXPECT_TRUE(model.InputsEnabled());
    EXPECT_EQ(model.StartButtonText(), "Start Transmission");
    EXPECT_EQ(model.StreamType(), -1);
    EXPECT_EQ(model.Transmitter(), nullptr);
    // A sorted list: the addresses sort before "Any", which stays selected.
    EXPECT_EQ(model.Interfaces(), (std::vector<std::string>{"10.1.2.3", "192.0.2.77", "Any"}));
    EXPECT_EQ(model.Interfaces()[static_cast<std::size_t>(model.InterfaceSelection())], "Any");
}

TEST_F(TransmitModelTest, PortsCountOnAcrossPanelsAndClosedDocuments)
{
    {
        TransmitModel first(m_state, m_host);
        EXPECT_EQ(first.Port(), "2010");
    }
    TransmitModel second(m_state, m_host);
    EXPECT_EQ(second.Port(), "2011");
    TransmitModel third(m_state, m_host);
    EXPECT_EQ(third.Port(), "2012");
}

TEST_F(TransmitModelTest, TransportStreamOffersRawAndOpvWithRawChosen)
{
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM2t);
    EXPECT_EQ(model.MuxText(), "MPEG 2 Transport");
    EXPECT_EQ(model.PacketFormats(), (std::vector<std::string>{"RAW", "OPV"}));
    EXPECT_EQ(model.PacketFormatSelection(), 0);
    EXPECT_GT(model.Bitrate(), 600000u);
    EXPECT_EQ(model.BitrateText(), std::to_string(model.Bitrate()));
    EXPECT_EQ(model.StatusText(), "Press <Start Transmission> button.");
    EXPECT_TRUE(model.StartEnabled());
    ASSERT_NE(model.Transmitter(), nullptr);
    EXPECT_EQ(model.Transmitter()->GetStreamType(), 3);
    EXPECT_EQ(m_host.documentPaths, std::vector<std::string>{kM2t});
}

TEST_F(TransmitModelTest, ProgramStreamsChooseQvs)
{
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM2t);
    const unsigned revision = model.ListRevision();

    model.OnFileChosen(kM1s);
    EXPECT_EQ(model.MuxText(), "MPEG 1 System");
    EXPECT_EQ(model.PacketFormats(), (std::vector<std::string>{"RAW", "OPV", "QVS"}));
    EXPECT_EQ(model.PacketFormatSelection(), 2);
    EXPECT_NE(model.ListRevision(), revision);

    model.OnFileChosen(kM2p);
    EXPECT_EQ(model.MuxText(), "MPEG 2 Program");
    EXPECT_EQ(model.PacketFormatSelection(), 2);
    ASSERT_NE(model.Transmitter(), nullptr);
    EXPECT_EQ(model.Transmitter()->GetStreamType(), 2);
    EXPECT_EQ(model.Transmitter()->GetFilePath(), kM2p);
}

TEST_F(TransmitModelTest, UnclassifiedFileEnablesStartWhichRefusesIt)
{
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM1s);
    ASSERT_FALSE(model.BitrateText().empty());

    model.OnFileChosen(UnclassifiedFile());
    EXPECT_EQ(model.StreamType(), 4);
    EXPECT_EQ(model.MuxText(), "");
    EXPECT_EQ(model.BitrateText(), ""); // not the bit rate of the previous file
    EXPECT_EQ(model.Transmitter(), nullptr);
    EXPECT_TRUE(model.StartEnabled());
    EXPECT_EQ(model.StatusText(), "Press <Start Transmission> button.");

    model.OnStartStop();
    EXPECT_FALSE(model.IsTransmitting());
    EXPECT_EQ(model.StatusText(), "Not a valid MPEG Stream!");
    EXPECT_EQ(m_host.errors, std::vector<std::string>{"Failed to start."});
    EXPECT_EQ(model.StartButtonText(), "Start Transmission");
    EXPECT_TRUE(model.InputsEnabled());
    EXPECT_EQ(m_state.transmitting, 0);

    // The status field shows it on the next tick.
    EXPECT_NE(model.StatusField(), "Not a valid MPEG Stream!");
    model.OnTimer();
    EXPECT_EQ(model.StatusField(), "Not a valid MPEG Stream!");
}

TEST_F(TransmitModelTest, MissingFileCannotBeStarted)
{
    TransmitModel model(m_state, m_host);
    model.SetPath((m_dir / "missing.mpg").string());
    model.OnPathFocusLost();
    EXPECT_TRUE(model.FileError());
    EXPECT_TRUE(model.StartEnabled());

    EXPECT_FALSE(model.Start());
    EXPECT_EQ(model.StatusText(), "Can't open the specified file!");
    EXPECT_EQ(m_host.errors, std::vector<std::string>{"Failed to start."});
}

TEST_F(TransmitModelTest, BadAddressOrPortIsRefusedBeforeAnythingIsSent)
{
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM1s);
    ASSERT_NE(model.Transmitter(), nullptr);
    const unsigned long defaultAddress = model.Transmitter()->GetAddress();

    const std::vector<std::pair<std::string, std::string>> bad{
        {"225.1.1", "2010"},    {"225.1.1.1.1", "2010"}, {"not an address", "2010"},
        {"225.1.1.1", ""},      {"225.1.1.1", "0"},      {"225.1.1.1", "65536"},
        {"225.1.1.1", "20x10"}, {"300.1.1.1", "2010"},
    };
    for (const auto& [address, port] : bad) {
        m_host.errors.clear();
        model.SetAddress(address);
        model.SetPort(port);
        EXPECT_FALSE(model.Start()) << address << ":" << port;
        EXPECT_FALSE(model.IsTransmitting());
        EXPECT_FALSE(model.Transmitter()->IsRunning());
        EXPECT_EQ(model.StatusText(), "Invalid target address or port!");
        ASSERT_EQ(m_host.errors.size(), 1u);
        EXPECT_NE(m_host.errors[0].find("Invalid target address or port!"), std::string::npos);
        EXPECT_EQ(model.StartButtonText(), "Start Transmission");
        EXPECT_TRUE(model.InputsEnabled());
        // Never a broadcast or any other address: the destination is untouched.
        EXPECT_EQ(model.Transmitter()->GetAddress(), defaultAddress);
    }
    EXPECT_EQ(m_state.transmitting, 0);
}

TEST_F(TransmitModelTest, StartSendsWithThePanelsSettingsAndStopEndsIt)
{
    qvtest::UdpSocket receiver("127.0.0.1");
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM1s);
    AimAtLoopback(model, receiver);
    model.SelectTtl(3);          // "Site"
    model.SelectPacketFormat(0); // RAW
    model.SetRewind(false);

    ASSERT_TRUE(model.Start());
    EXPECT_TRUE(model.IsTransmitting());
    EXPECT_EQ(m_state.transmitting, 1);
    EXPECT_EQ(model.StatusText(), "Transmissing MPEG 1 System Stream.");
    EXPECT_EQ(model.StartButtonText(), "Stop Transmission");
    EXPECT_FALSE(model.InputsEnabled());
    EXPECT_TRUE(model.StartEnabled());

    XmitMPEG& x = *model.Transmitter();
    EXPECT_EQ(x.GetAddress(), inet_addr("127.0.0.1"));
    EXPECT_EQ(x.GetPort(), receiver.LocalPort());
    EXPECT_EQ(x.GetTTL(), 32);
    EXPECT_EQ(x.GetPacketFormat(), XmitMPEG::kRawFormat);
    EXPECT_FALSE(x.GetHeaderCaster());
    EXPECT_EQ(x.GetRepeatCount(), 1);
    EXPECT_EQ(x.GetSAPCaster(), nullptr);

    const auto datagram = receiver.Receive(std::chrono::seconds(10));
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->payload.size(), XmitMPEG::kPayloadSize); // raw: payload only

    model.OnStartStop();
    EXPECT_FALSE(model.IsTransmitting());
    EXPECT_FALSE(x.IsRunning());
    EXPECT_EQ(model.StatusText(), "Transmission stopped.");
    EXPECT_EQ(model.Progress(), 0);
    EXPECT_EQ(model.StartButtonText(), "Start Transmission");
    EXPECT_TRUE(model.InputsEnabled());
    EXPECT_EQ(m_state.transmitting, 0);
}

TEST_F(TransmitModelTest, QvsChoiceSendsOpvFramingWithHeaderResender)
{
    qvtest::UdpSocket receiver("127.0.0.1");
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM2p);
    AimAtLoopback(model, receiver);
    ASSERT_EQ(model.PacketFormatSelection(), 2);
    ASSERT_TRUE(model.Start());
    EXPECT_EQ(model.Transmitter()->GetPacketFormat(), XmitMPEG::kOpvFormat);
    EXPECT_TRUE(model.Transmitter()->GetHeaderCaster());
    EXPECT_EQ(model.Transmitter()->GetRepeatCount(), XmitMPEG::kEndless);
    EXPECT_EQ(model.Transmitter()->GetPause(), 5000u);
    model.Stop();
}

TEST_F(TransmitModelTest, FinishedTransmissionSaysCompleted)
{
    qvtest::UdpSocket receiver("127.0.0.1");
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM1s);
    AimAtLoopback(model, receiver);
    model.SetRewind(false); // one pass of a two-second file
    ASSERT_TRUE(model.Start());

    ASSERT_TRUE(TickUntil(model, [&] { return !model.IsTransmitting(); }));
    EXPECT_EQ(model.StatusText(), "Transmission Completed.");
    EXPECT_EQ(m_state.transmitting, 0);
    EXPECT_EQ(model.Progress(), 0);
    EXPECT_EQ(model.StartButtonText(), "Start Transmission");
    model.OnTimer();
    EXPECT_EQ(model.StatusField(), "Transmission Completed.");
}

TEST_F(TransmitModelTest, StatusBlinksAndCountsWhileTransmitting)
{
    // The transmitter paces by a fake clock that moves as it sleeps: no real
    // time passes between the ticks.
    qvplat::ManualClock clock(1000);
    qvplat::ScopedClockOverride useClock(clock);
    qvtest::UdpSocket receiver("127.0.0.1");
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM1s);
    AimAtLoopback(model, receiver);
    ASSERT_TRUE(model.Start());
    const std::string started = model.StatusText();

    const std::regex pattern("Transmission started\\. ([* ])\r\n\r\nBytes sent: ([0-9]+)");
    std::vector<char> marks;
    std::string previous = started;
    for (int tick = 0; tick < 6; ++tick) {
        model.OnTimer();
        // The field shows what the tick before composed.
        EXPECT_EQ(model.StatusField(), previous);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(model.StatusText(), match, pattern)) << model.StatusText();
        marks.push_back(match[1].str()[0]);
        EXPECT_GE(model.Progress(), 0);
        EXPECT_LE(model.Progress(), 100);
        previous = model.StatusText();
    }
    // The mark alternates with each tick: ' ', '*', ' ', ...
    for (std::size_t i = 0; i < marks.size(); ++i) {
        EXPECT_EQ(marks[i], i % 2 == 0 ? ' ' : '*') << i;
    }
    // Passes follow each other at once on this clock, and each counts from
    // 0, so a tick is awaited that saw bytes of its pass.
    EXPECT_TRUE(TickUntil(model, [&] {
        return model.StatusText().find("Bytes sent: 0") == std::string::npos &&
               model.Progress() > 0;
    })) << model.StatusText();
    model.Stop();
}

TEST_F(TransmitModelTest, ClosingATransmittingPanelLowersTheCount)
{
    qvtest::UdpSocket receiver("127.0.0.1");
    {
        TransmitModel first(m_state, m_host);
        first.OnFileChosen(kM1s);
        AimAtLoopback(first, receiver);
        ASSERT_TRUE(first.Start());
        TransmitModel second(m_state, m_host);
        second.OnFileChosen(kM2t);
        AimAtLoopback(second, receiver);
        ASSERT_TRUE(second.Start());
        EXPECT_EQ(m_state.transmitting, 2);
    }
    EXPECT_EQ(m_state.transmitting, 0);
}

TEST_F(TransmitModelTest, AnyInterfaceIsSetAgainOnEveryStart)
{
    // The caster keeps the host's first address after a start on any
    // interface; here that address is not local, so a start that kept it
    // could not bind.
    const QvHostAddressProvider previous = QvSetHostAddressProvider(ForeignHostAddresses);
    qvtest::UdpSocket receiver("127.0.0.1");
    {
        TransmitModel model(m_state, m_host);
        model.OnFileChosen(kM1s);
        AimAtLoopback(model, receiver);
        ASSERT_EQ(model.Interfaces()[static_cast<std::size_t>(model.InterfaceSelection())], "Any");
        ASSERT_TRUE(model.Start());
        model.Stop();
        EXPECT_EQ(model.Transmitter()->GetInterface(), inet_addr("192.0.2.77"));
        EXPECT_TRUE(model.Start()) << model.StatusText();
        EXPECT_TRUE(model.IsTransmitting());
        model.Stop();
    }
    QvSetHostAddressProvider(previous);
}

TEST_F(TransmitModelTest, ChosenInterfaceIsHandedToTheTransmitter)
{
    const QvHostAddressProvider previous = QvSetHostAddressProvider(ForeignHostAddresses);
    TransmitModel model(m_state, m_host);
    QvSetHostAddressProvider(previous);
    model.OnFileChosen(kM1s);
    model.SelectInterface(0); // "10.1.2.3": not local, so the start fails
    model.SetAddress("127.0.0.1");
    model.SetSap(false);
    EXPECT_FALSE(model.Start());
    EXPECT_EQ(model.Transmitter()->GetInterface(), inet_addr("10.1.2.3"));
    EXPECT_EQ(model.StatusText(), "Transmission failed to start.");
    EXPECT_EQ(m_host.errors, std::vector<std::string>{"Failed to start"});
    EXPECT_EQ(model.StartButtonText(), "Start Transmission");
    EXPECT_EQ(m_state.transmitting, 0);
}

TEST_F(TransmitModelTest, FilesFromTheFrameAndTheDocument)
{
    TransmitModel model(m_state, m_host);
    // Losing the focus with nothing dropped and nothing typed does nothing.
    model.OnPathFocusLost();
    EXPECT_EQ(model.StatusText(), "Please select an MPEG file.");
    EXPECT_TRUE(m_host.documentPaths.empty());

    // A dropped file is taken once and given to the document.
    m_host.dropped = kM2t;
    model.OnPathFocusLost();
    EXPECT_EQ(model.Path(), kM2t);
    EXPECT_EQ(model.MuxText(), "MPEG 2 Transport");
    EXPECT_EQ(m_host.documentPaths, std::vector<std::string>{kM2t});
    EXPECT_TRUE(m_host.dropped.empty());

    // A typed path is analysed but does not change the document.
    model.SetPath(kM1s);
    model.OnPathFocusLost();
    EXPECT_EQ(model.MuxText(), "MPEG 1 System");
    EXPECT_EQ(m_host.documentPaths.size(), 1u);

    // The document's path is shown and analysed at once.
    model.OnDocumentPath(kM2p);
    EXPECT_EQ(model.Path(), kM2p);
    EXPECT_EQ(model.MuxText(), "MPEG 2 Program");
    EXPECT_TRUE(model.StartEnabled());
}

TEST_F(TransmitModelTest, DocumentPathWaitsWhileTransmitting)
{
    qvtest::UdpSocket receiver("127.0.0.1");
    TransmitModel model(m_state, m_host);
    model.OnFileChosen(kM1s);
    AimAtLoopback(model, receiver);
    ASSERT_TRUE(model.Start());
    XmitMPEG* sending = model.Transmitter();

    model.OnDocumentPath(kM2t);
    model.OnPathFocusLost();
    EXPECT_EQ(model.Path(), kM1s);
    EXPECT_EQ(model.Transmitter(), sending);
    EXPECT_TRUE(sending->IsRunning());

    model.Stop();
    EXPECT_EQ(model.Path(), kM2t);
    EXPECT_EQ(model.MuxText(), "MPEG 2 Transport");
    EXPECT_EQ(model.StatusText(), "Transmission stopped.");
}

class TransmitModelNetnsTest : public qvtest::NetnsTest
{
};

TEST_F(TransmitModelNetnsTest, SapBoxAnnouncesThroughTheTransmittersOwnCaster)
{
    DeckState state;
    FakeHost host;
    qvtest::UdpSocket sap("0.0.0.0", 9875);
    sap.JoinGroup("224.2.127.254");
    TransmitModel model(state, host);
    model.OnFileChosen(kM1s);
    ASSERT_TRUE(model.Sap());
    ASSERT_TRUE(model.Start()) << model.StatusText();
    EXPECT_EQ(model.Transmitter()->GetSAPCaster(), &model.Transmitter()->GetOwnSAPCaster());
    EXPECT_EQ(model.Transmitter()->GetAddress(), inet_addr("225.1.1.1"));
    EXPECT_EQ(model.Transmitter()->GetTTL(), 64); // "Region"
    EXPECT_TRUE(sap.Receive(std::chrono::seconds(10)));
    model.Stop();
}

TEST_F(TransmitModelNetnsTest, EmptyAddressKeepsTheTransmittersDestination)
{
    DeckState state;
    FakeHost host;
    qvtest::UdpSocket group("0.0.0.0", 2010);
    group.JoinGroup("225.1.1.10");
    TransmitModel model(state, host);
    model.OnFileChosen(kM1s);
    model.SetAddress("");
    model.SetPort("not looked at");
    model.SetSap(false);
    ASSERT_TRUE(model.Start()) << model.StatusText();
    EXPECT_EQ(model.Transmitter()->GetAddress(), inet_addr("225.1.1.10"));
    EXPECT_EQ(model.Transmitter()->GetPort(), 2010u);
    EXPECT_TRUE(group.Receive(std::chrono::seconds(10)));
    model.Stop();
}

} // namespace

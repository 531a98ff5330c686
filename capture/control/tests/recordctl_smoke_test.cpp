// The capture control end to end, in the test's own network namespace and
// on a private Xvfb display: qvregsvr registers recordctl, ctlhost hosts
// "RECORDCTL.RecordCtlCtrl.1" and runs a page's script against it, the
// control starts the real recordengine, and the engine records a live
// transmission that this test sends. The screenshot of the status window
// mid-capture is kept under the build tree's Testing/recordctl folder.
#include "capture/channel/qvengineinstance.h"
#include "mpeg/mpeganalysis.h"
#include "platform/registry.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

namespace fs = std::filesystem;

constexpr const char* kGroup = "239.7.7.41";
constexpr std::uint8_t kPackStart[] = {0x00, 0x00, 0x01, 0xBA};

// How many bytes the file holds before the stretch of the stream that runs
// to its end (the stream: the sample sent again and again); the file's size
// when its end is no part of the stream.
std::size_t LeadBeforeStretch(const qvtest::Bytes& file, const qvtest::Bytes& sample)
{
    const std::size_t copies = file.size() / sample.size() + 1;
    qvtest::Bytes stream;
    for (std::size_t i = 0; i < copies + 2; ++i) {
        stream.insert(stream.end(), sample.begin(), sample.end());
    }
    const auto tail =
        file.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(file.size(), 4096));
    // Found after `copies` copies, so that there is room to walk back.
    auto at = std::search(stream.begin() + static_cast<std::ptrdiff_t>(copies * sample.size()),
                          stream.end(), std::boyer_moore_horspool_searcher(tail, file.end()));
    if (at == stream.end()) {
        return file.size();
    }
    auto in = tail;
    while (in != file.begin() && *(in - 1) == *(at - 1)) {
        --in;
        --at;
    }
    return static_cast<std::size_t>(in - file.begin());
}

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class RecordCtlSmoke : public qvtest::NetnsTest
{
protected:
    void TearDown() override
    {
        if (m_xmit) {
            m_xmit->Stop();
        }
        // The engine ends by itself after its capture; wait until it has.
        QvEngineInstance engine;
        engine.Acquire(120000);
        NetnsTest::TearDown();
    }

    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime();
    std::unique_ptr<XmitMPEG> m_xmit;
};

TEST_F(RecordCtlSmoke, CapturesALiveTransmissionForItsDurationThenUntilStopped)
{
    if (IsSkipped()) {
        return;
    }
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
    }
    const fs::path videos = m_env.Root() / "videos";
    fs::create_directories(videos);
    m_env.Set("XDG_VIDEOS_DIR", videos);
    {
        // Both logs, for a failure's report.
        qvplat::RegKey key;
        ASSERT_EQ(key.Create(qvplat::RegRoot::LocalMachine, "SOFTWARE\\Talvex\\RecordCtl"),
                  qvplat::RegResult::Success);
        key.SetValue(qvplat::MakeStringValue("Debug", "1"));
    }
    qvtest::XvfbServer xvfb;
    ASSERT_FALSE(xvfb.Display().empty()) << "Xvfb did not start";
    const std::vector<std::pair<std::string, std::string>> env = {
        {"DISPLAY", xvfb.Display()},
        {"GDK_BACKEND", "x11"},
        {"NO_AT_BRIDGE", "1"},
        {"LSAN_OPTIONS",
         std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS + ":print_suppressions=0"},
    };
    const auto timeout = std::chrono::seconds(300);
    const std::string work = m_env.Root().string();
    const auto reg = qvtest::RunProgram(QVREGSVR_BINARY, {RECORDCTL_PATH}, env, work, timeout);
    ASSERT_EQ(reg.exitCode, 0) << reg.output;

    // The live transmission, announced to the page by its SDP text alone.
    const std::uint16_t port = qvtest::UdpSocket().LocalPort();
    const std::string samplePath = qvtest::SamplePath("m1s_testsrc.mpg");
    m_xmit = MakeXmitMPEG(qvmpeg::kMpeg1System);
    m_xmit->SetFilePath(samplePath);
    m_xmit->SetStreamType(qvmpeg::kMpeg1System);
    m_xmit->SetAddress(inet_addr(kGroup), port);
    m_xmit->SetPacketFormat(XmitMPEG::kOpvFormat);
    m_xmit->SetRepeat(XmitMPEG::kEndless, 200);
    ASSERT_GT(m_xmit->ComputeBitrate(), 0U);
    ASSERT_EQ(m_xmit->Start(), 0);
    const std::string sdp = std::string("v=0\\no=- 4711 1 IN IP4 127.0.0.1\\ns=Live\\nc=IN IP4 ") +
                            kGroup + "/127\\nm=video " + std::to_string(port) + " RTP/AVP 33\\n";

    const fs::path artifacts = RECORDCTL_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const fs::path png = artifacts / "recordctl-capturing.png";
    fs::remove(png);
    const fs::path script = m_env.Root() / "script.txt";
    std::ofstream(script) << "call AddProp SDP \"" << sdp << "\"\n"
                          << "call AddProp Filename first.mpg\n"
                             "call Initialize\n"
                             "set Duration 4\n"
                             "call Start\n"
                             "sleep 2600\n"
                             "screenshot "
                          << png.string()
                          << "\n"
                             "wait-event Completed 1 120000\n"
                             "call AddProp Filename second.mpg\n"
                             "call Initialize\n"
                             "call Start\n"
                             "sleep 2500\n"
                             "call Stop\n"
                             "wait-event Completed 4 120000\n"
                             // A Stop straight after Start is not lost.
                             "call AddProp Filename third.mpg\n"
                             "call Initialize\n"
                             "call Start\n"
                             "call Stop\n"
                             "wait-event Completed 4 120000\n"
                             "quit\n";
    const auto host = qvtest::RunProgram(CTLHOST_UITEST_BINARY,
                                         {"--script", script.string(), "RECORDCTL.RecordCtlCtrl.1"},
                                         env, work, timeout);
    const auto logs = [&] {
        std::string text;
        for (const char* log : {"RecordCtlDebugOcx.log", "RecordCtlDebugEng.log"}) {
            const qvtest::Bytes bytes = qvtest::ReadAll((m_env.Root() / "drive_c" / log).string());
            text += std::string("--- ") + log + "\n" + std::string(bytes.begin(), bytes.end());
        }
        return host.output + text;
    };
    EXPECT_EQ(host.exitCode, 0) << logs();
    EXPECT_EQ(Count(host.output, "call Start() = 0\n"), 3u) << logs();
    EXPECT_EQ(Count(host.output, "event Completed(1)\n"), 1u) << logs();
    EXPECT_EQ(Count(host.output, "call Stop() = 0\n"), 2u) << logs();
    EXPECT_EQ(Count(host.output, "event Completed(4)\n"), 2u) << logs();

    const qvtest::Bytes sample = qvtest::ReadAll(samplePath);
    // Each file is what was sent from where the receiver joined the stream,
    // after the start the receiver gives a stream joined mid-way (a pack
    // header and the stream's own headers).
    for (const char* name : {"first.mpg", "second.mpg"}) {
        const qvtest::Bytes file = qvtest::ReadAll((videos / name).string());
        ASSERT_GT(file.size(), 4096u) << name;
        EXPECT_TRUE(std::equal(file.begin(), file.begin() + 4, kPackStart)) << name;
        EXPECT_LE(LeadBeforeStretch(file, sample), 4096u) << name << " differs from what was sent";
    }
    ASSERT_TRUE(fs::exists(png)) << host.output;
    EXPECT_GT(fs::file_size(png), 2000u);
}

} // namespace

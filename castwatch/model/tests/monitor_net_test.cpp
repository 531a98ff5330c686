// The monitor on a real network: in a private network namespace, with the
// transmitter library and ffmpeg's SAP muxer announcing, a private registry
// store and output files in a private directory.
#include "castwatch/model/monitor.h"

#include "core/sap/qvsap.h"
#include "platform/registry.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/process.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

constexpr auto kWait = 30s; // generous bound for announcements and scans
constexpr const char* kFfmpegTitle = "Interop Test Pattern";

std::string Sdp(int id, const std::string& group)
{
    return "v=0\no=- " + std::to_string(id) + " 1 IN IP4 127.0.0.1\ns=storm " + std::to_string(id) +
           "\nc=IN IP4 " + group + "/127\nt=0 0\nm=video 5004 RTP/AVP 32\n";
}

std::string Announcement(const std::string& sdp)
{
    const char header[8] = {0x20, 0, 0x34, 0x12, 127, 0, 0, 1};
    return std::string(header, sizeof header) + sdp + std::string(1, '\0');
}

std::string Contents(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string FileText(const castwatch::ProgramList& list)
{
    std::string text;
    for (const castwatch::ProgramPtr& program : list.programs) {
        text += program->rebuilt;
    }
    return text;
}

// The user-interface thread of a test: the monitor's lists are queued here
// and only the test thread takes them, as the dialog's thread would.
class UiQueue
{
public:
    castwatch::Monitor::Sink Sink()
    {
        return [this](castwatch::ProgramList list) {
            const std::lock_guard guard(m_lock);
            m_lists.push_back(std::move(list));
            m_posted.notify_all();
        };
    }
    // Takes lists until one satisfies `done` and returns it; nothing on
    // timeout.
    std::optional<castwatch::ProgramList>
    WaitFor(const std::function<bool(const castwatch::ProgramList&)>& done,
            std::chrono::milliseconds timeout = kWait)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::unique_lock guard(m_lock);
        for (;;) {
            while (!m_lists.empty()) {
                castwatch::ProgramList list = std::move(m_lists.front());
                m_lists.pop_front();
                m_seen.insert(FileText(list));
                if (done(list)) {
                    return list;
                }
            }
            if (m_posted.wait_until(guard, end) == std::cv_status::timeout && m_lists.empty()) {
                return std::nullopt;
            }
        }
    }
    // Every output text the lists taken so far stand for.
    const std::set<std::string>& Seen() const { return m_seen; }

private:
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<castwatch::ProgramList> m_lists;
    std::set<std::string> m_seen{""};
};

// ffmpeg's SAP muxer announcing a test pattern with a tone under this
// title on 226.0.0.0 port 6318, for 30 s at most.
std::vector<std::string> FfmpegAnnouncer(const std::string& ffmpeg, const std::string& title)
{
    const std::string metadata = "title=" + title;
    return std::vector<std::string>(
        {ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "warning", "-re", "-f", "lavfi", "-i",
         "testsrc=size=160x120:rate=10", "-f", "lavfi", "-i", "sine", "-t", "30", "-c:v",
         "mpeg2video", "-c:a", "mp2", "-metadata", metadata, "-f", "sap",
         "sap://239.5.6.7:5004?announce_addr=226.0.0.0&announce_port=6318"});
}

// Runs a reader of SDP files on one entry of the output file, while its
// stream is on the air, and gives its exit code and output ("" when the
// program is not installed). The readers bound their own waiting; the
// child is killed should it wait longer than kWait all the same.
struct SdpReading
{
    std::optional<int> exitCode;
    std::string output;
};
SdpReading ReadSdpWith(const std::string& tool, const std::vector<std::string>& argv,
                       const std::string& log)
{
    SdpReading reading;
    qvtest::ChildProcess child;
    std::remove(log.c_str());
    if (tool.empty() || !child.Start(argv, log)) {
        return reading;
    }
    reading.exitCode = child.WaitForExit(kWait);
    std::ifstream in(log);
    reading.output.assign(std::istreambuf_iterator<char>(in), {});
    return reading;
}

bool Lists(const castwatch::ProgramList& list, const std::string& text)
{
    for (const castwatch::ProgramPtr& program : list.programs) {
        if (program->rebuilt.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class MonitorNet : public qvtest::NetnsTest
{
protected:
    // Makes the settings key exactly these values.
    static void WriteKey(const std::vector<std::pair<std::string, std::string>>& values)
    {
        std::vector<qvplat::RegValue> list;
        for (const auto& [name, value] : values) {
            list.push_back(qvplat::MakeStringValue(name, value));
        }
        ASSERT_EQ(
            qvplat::ReplaceRegKeyValues(qvplat::RegRoot::LocalMachine, QvSapDb::registryKey, list),
            qvplat::RegResult::Success);
    }
    static std::string KeyText()
    {
        QvPropertyList key;
        key.ReadRegistry(QvSapDb::registryKey, qvplat::RegRoot::LocalMachine);
        return key.GetPropertyString().chars();
    }

    qvtest::SettingsEnv m_env;
    qvtest::TempDir m_dir{"castwatch-monitor"};
    UiQueue m_ui;
};

TEST_F(MonitorNet, FirstStartWritesTheDefaultsAndListensOnBothPairs)
{
    castwatch::Monitor monitor(true, m_ui.Sink());
    ASSERT_EQ(monitor.Start(), 0);
    EXPECT_EQ(KeyText(), "SAPADDRESS0=224.2.127.254 SAPPORT0=9875 SAPADDRESS1=226.0.0.0 "
                         "SAPPORT1=6318 ");
    EXPECT_EQ(monitor.Directory().GetNumListeners(), 2) << "both pairs on the one interface";
    EXPECT_EQ(monitor.OutputFile(), "");
}

TEST_F(MonitorNet, OutputFileIsRewrittenWholeAfterEveryChange)
{
    const std::string ffmpeg = qvtest::FindExecutable("ffmpeg");
    if (ffmpeg.empty()) {
        GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    }
    const fs::path output = m_dir.Path() / "programs.dat";
    WriteKey({{"SAPAddress0", "224.2.127.254"},
              {"SAPPort0", "9875"},
              {"SAPAddress1", "226.0.0.0"},
              {"SAPPort1", "6318"},
              {"SAPDbScanPeriod", "100"},
              {"Filename", output.string()}});
    castwatch::Monitor monitor(true, m_ui.Sink());
    ASSERT_EQ(monitor.Start(), 0);
    EXPECT_EQ(Contents(output), "") << "emptied at start";

    // A reader polling the file for as long as announcements come and go.
    std::atomic<bool> polling{true};
    std::set<std::string> read;
    std::thread reader([&] {
        while (polling) {
            read.insert(Contents(output));
        }
    });

    // The transmitter announces on pair 0, ffmpeg on pair 1.
    XmitMPEG1System transmitter;
    transmitter.SetFilePath(qvtest::SamplePath("m1s_testsrc.mpg"));
    transmitter.SetAddress(inet_addr("239.7.7.7"), 2010);
    transmitter.SetRepeat(XmitMPEG::kEndless, 100);
    transmitter.SetSAPCaster(&transmitter.GetOwnSAPCaster());
    ASSERT_GT(transmitter.ComputeBitrate(), 0U);
    ASSERT_EQ(transmitter.Start(), 0);
    qvtest::ChildProcess announcer;
    const std::string log = m_dir.File("ffmpeg.log");
    ASSERT_TRUE(announcer.Start(FfmpegAnnouncer(ffmpeg, kFfmpegTitle), log));

    EXPECT_TRUE(m_ui.WaitFor([](const castwatch::ProgramList& list) {
        return list.programs.size() == 2 && Lists(list, kFfmpegTitle) &&
               Lists(list, "c=IN IP4 239.7.7.7");
    })) << Contents(log);
    // ffmpeg's deletion when it stops, then the transmitter's.
    announcer.Signal(SIGTERM);
    const std::optional<castwatch::ProgramList> left =
        m_ui.WaitFor([](const castwatch::ProgramList& list) {
            return list.programs.size() == 1 && !Lists(list, kFfmpegTitle);
        });
    ASSERT_TRUE(left);
    EXPECT_TRUE(announcer.WaitForExit(kWait));
    // The transmitter's announcement as the monitor's writer has it.
    const std::string transmitted = FileText(*left);
    EXPECT_NE(transmitted.find("c=IN IP4 239.7.7.7"), std::string::npos) << transmitted;
    EXPECT_EQ(transmitted.find("a=x-"), std::string::npos) << transmitted;
    transmitter.Stop();
    EXPECT_TRUE(
        m_ui.WaitFor([](const castwatch::ProgramList& list) { return list.programs.empty(); }));

    polling = false;
    reader.join();
    monitor.Shutdown();
    EXPECT_EQ(Contents(output), "") << "emptied at the end";
    // Every text the reader saw is one the monitor wrote whole.
    EXPECT_GE(read.size(), 3U);
    for (const std::string& text : read) {
        EXPECT_EQ(m_ui.Seen().count(text), 1U) << "partial or unknown file:\n" << text;
    }
}

// Announcements of standard senders, parsed and written again into the
// output file: each entry names the streams that were announced, so that
// ffprobe and GStreamer's SDP demuxer read it while the stream runs, and
// each t= line keeps its start and its stop time. VLC refuses to run as
// root, so it runs as the user "nobody".
TEST_F(MonitorNet, OutputFileOfStandardAnnouncementsIsReadByStandardParsers)
{
    const fs::path output = m_dir.Path() / "programs.dat";
    const fs::path home = m_dir.Path() / "home";
    fs::create_directories(home);
    fs::permissions(home, fs::perms::all);
    fs::permissions(m_dir.Path(), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    struct Case
    {
        const char* title;
        std::string program;
        std::vector<std::string> argv;
        std::vector<std::pair<std::string, std::string>> env;
        std::string media;   // the media lines the entry must have, in order
        int sections;        // and no other
        const char* streams; // what ffprobe must find, in its compact form
        // GStreamer's SDP demuxer receives RTP only: for raw UDP it sets the
        // stream up but never takes the data for RTP.
        bool rtp = true;
    };
    const std::string ffmpeg = qvtest::FindExecutable("ffmpeg");
    const std::string vlc = qvtest::FindExecutable("cvlc");
    const std::string setpriv = qvtest::FindExecutable("setpriv");
    // The output is kept open across the loops of the short sample: VLC
    // otherwise ends its RTP session (an RTCP BYE) at each one.
    const auto asNobody = [&](const std::string& sout) -> std::vector<std::string> {
        return {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", vlc, "-q",
                qvtest::SamplePath("m2t_testsrc2.ts"), "--loop", "--sout-keep", "--sout", sout};
    };
    const std::string vlcProgram = setpriv.empty() ? "" : vlc;
    const Case cases[] = {
        {"ffmpeg announced", ffmpeg, FfmpegAnnouncer(ffmpeg, "ffmpeg announced"), {},
         "m=video 5004 RTP/AVP 32\nc=IN IP4 239.5.6.7/255\n[\\s\\S]*m=audio 5006 RTP/AVP 14\n"
         "c=IN IP4 239.5.6.7/255\n",
         2,
         "codec_type=video[\\s\\S]*codec_type=audio|codec_type=audio[\\s\\S]*codec_type=video"},
        // For an administratively scoped group VLC announces on
        // 239.255.255.255.
        {"VLC announced", vlcProgram,
         asNobody("#std{access=udp,mux=ts,dst=239.255.12.42:5006,sap,name=VLC announced}"),
         {{"HOME", home.string()}}, "m=video 5006 udp mpeg\n", 1,
         // ffprobe takes the format "mpeg" for payload type 0.
         "codec_type=audio", false},
        {"VLC announced over RTP", vlcProgram,
         asNobody("#rtp{dst=239.255.12.43,port=5008,mux=ts,sap,name=VLC announced over RTP}"),
         {{"HOME", home.string()}}, "m=video 5008 RTP/AVP 33\nb=RR:0\na=rtpmap:33 MP2T/90000\n", 1,
         "codec_name=mpeg2video"},
    };
    const std::string ffprobe = qvtest::FindExecutable("ffprobe");
    const std::string gstLaunch = qvtest::FindExecutable("gst-launch-1.0");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.program.empty()) {
            std::printf("%s: the program is not installed (scripts/setup.sh)\n", c.title);
            continue;
        }
        WriteKey({{"SAPAddress0", "239.255.255.255"},
                  {"SAPPort0", "9875"},
                  {"SAPAddress1", "226.0.0.0"},
                  {"SAPPort1", "6318"},
                  {"SAPDbScanPeriod", "100"},
                  {"SAPEntryLifetime", "600"},
                  {"Filename", output.string()}});
        castwatch::Monitor monitor(true, m_ui.Sink());
        ASSERT_EQ(monitor.Start(), 0);
        qvtest::ChildProcess announcer;
        const std::string log = m_dir.File("announcer.log");
        ASSERT_TRUE(announcer.Start(c.argv, log, c.env));
        const std::string name = std::string("s=") + c.title + "\n";
        EXPECT_TRUE(m_ui.WaitFor([&name](const castwatch::ProgramList& list) {
            return Lists(list, name);
        })) << Contents(log);
        const std::string text = Contents(output);
        EXPECT_NE(text.find(name), std::string::npos) << text;
        EXPECT_TRUE(std::regex_search(text, std::regex(c.media))) << text;
        // While the session stays listed, every reader finds it in the file.
        std::atomic<bool> polling{true};
        int reads = 0;
        int missing = 0;
        std::thread reader([&] {
            for (; polling; ++reads) {
                missing += Contents(output).find(name) == std::string::npos ? 1 : 0;
                std::this_thread::sleep_for(2ms); // a reader's pace, not a wait
            }
        });
        int times = 0;
        int media = 0;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            times += line.starts_with("t=") ? 1 : 0;
            media += line.starts_with("m=") ? 1 : 0;
            EXPECT_TRUE(std::regex_match(line, std::regex(R"([a-z]=\S.*)"))) << text;
            EXPECT_FALSE(line.ends_with(":") || line.ends_with("/") || line.ends_with(" "))
                << "a line with an empty value:\n" << text;
            if (line.starts_with("t=")) {
                EXPECT_TRUE(std::regex_match(line, std::regex(R"(t=\S+ \S+)"))) << text;
            }
        }
        EXPECT_EQ(times, 1) << text;
        EXPECT_EQ(media, c.sections) << text;

        // The file holds this one entry: the standard readers take it as it is.
        const std::string entry = m_dir.File("entry.sdp");
        std::ofstream(entry) << text;
        const SdpReading probed = ReadSdpWith(
            ffprobe,
            {ffprobe, "-hide_banner", "-v", "error", "-protocol_whitelist", "file,udp,rtp",
             "-listen_timeout", "10", "-analyzeduration", "3000000", "-show_entries",
             "stream=codec_name,codec_type", "-of", "compact", entry},
            m_dir.File("ffprobe.log"));
        if (!ffprobe.empty()) {
            EXPECT_EQ(probed.exitCode, 0) << probed.output;
            EXPECT_TRUE(std::regex_search(probed.output, std::regex(c.streams))) << probed.output;
        }
        const auto demux = [&] {
            return ReadSdpWith(gstLaunch,
                               {gstLaunch, "-q", "filesrc", "location=" + entry, "!", "sdpdemux",
                                "timeout=5000000", "name=d", "d.", "!", "fakesink",
                                "num-buffers=20"},
                               m_dir.File("gst.log"));
        };
        if (!gstLaunch.empty() && c.rtp) {
            const SdpReading demuxed = demux();
            EXPECT_EQ(demuxed.exitCode, 0) << demuxed.output;
            EXPECT_EQ(demuxed.output.find("ERROR"), std::string::npos) << demuxed.output;
        }
        polling = false;
        reader.join();
        EXPECT_EQ(missing, 0) << "of " << reads << " reads";
        announcer.Signal(SIGTERM);
        EXPECT_TRUE(announcer.WaitForExit(kWait));
        if (!gstLaunch.empty() && !c.rtp) {
            // With the sender gone the demuxer's own timeout ends it, which
            // it arms only for a stream it has set up.
            const SdpReading demuxed = demux();
            EXPECT_NE(demuxed.output.find("Could not receive any UDP packets"), std::string::npos)
                << demuxed.output;
        }
        monitor.Shutdown();
    }
}

TEST_F(MonitorNet, DesktopMonitorListsButWritesNoFile)
{
    const fs::path output = m_dir.Path() / "programs.dat";
    WriteKey({{"SAPAddress0", "224.2.127.254"},
              {"SAPPort0", "9875"},
              {"SAPDbScanPeriod", "100"},
              {"Filename", output.string()}});
    castwatch::Monitor monitor(false, m_ui.Sink());
    ASSERT_EQ(monitor.Start(), 0);
    qvtest::UdpSocket sender;
    sender.SendTo("224.2.127.254", 9875, Announcement(Sdp(1, "239.1.1.1")));
    EXPECT_TRUE(m_ui.WaitFor([](const castwatch::ProgramList& list) {
        return list.programs.size() == 1 && list.programs[0]->line == "239.1.1.1/5004";
    }));
    monitor.Shutdown();
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(MonitorNet, SetupDuringAnAnnouncementStormReturnsAndKeepsUneditedKeys)
{
    const fs::path first = m_dir.Path() / "first.dat";
    const fs::path second = m_dir.Path() / "second.dat";
    WriteKey({{"SAPAddress0", "224.2.127.254"},
              {"SAPPort0", "9875"},
              {"SAPAddress1", "226.0.0.0"},
              {"SAPPort1", "6318"},
              {"SAPEntryLifetime", "7"},
              {"SAPDbScanPeriod", "20"},
              {"SapDbFile", "c:\\player.dat"},
              {"Filename", first.string()}});
    castwatch::Monitor monitor(true, m_ui.Sink());
    ASSERT_EQ(monitor.Start(), 0);

    std::atomic<bool> storming{true};
    std::thread storm([&] {
        qvtest::UdpSocket sender;
        for (int id = 1; storming; ++id) {
            sender.SendTo("224.2.127.254", 9875, Announcement(Sdp(id, "239.1.1.1")));
            sender.SendTo("226.0.0.0", 6318, Announcement(Sdp(-id, "239.1.1.2")));
        }
    });
    // Each Setup waits for the directory to change first, then stops and
    // restarts it while changes keep coming; the lists are taken only here.
    for (int round = 0; round < 4; ++round) {
        const unsigned generation = monitor.Generation();
        ASSERT_TRUE(m_ui.WaitFor([generation](const castwatch::ProgramList& list) {
            return list.generation == generation && !list.programs.empty();
        }));
        castwatch::SetupModel setup(monitor.Settings());
        if (round == 0) {
            setup.Remove(0); // 224.2.127.254: 226.0.0.0 becomes pair 0
            setup.SetFileName(second.string());
        }
        EXPECT_EQ(monitor.ApplySetup(setup), 0);
        EXPECT_EQ(monitor.Generation(), generation + 1);
    }
    storming = false;
    storm.join();

    EXPECT_EQ(KeyText(), "SAPENTRYLIFETIME=7 SAPDBSCANPERIOD=20 SAPDBFILE=c:\\player.dat "
                         "FILENAME=" +
                             second.string() +
                             " VIEWOUTSIDEUNICASTS=false SAPADDRESS0=226.0.0.0 SAPPORT0=6318 ");
    EXPECT_EQ(Contents(first), "") << "the file named before Setup is left empty";
    EXPECT_EQ(monitor.Directory().GetNumListeners(), 1);
}

} // namespace

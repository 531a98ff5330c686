#include "capture/engine/model/qvengineprogram.h"

#include "core/settings/qvlog.h"
#include "platform/msgbox.h"

#include <utility>

bool QvEngineWatchdog::Expired(std::uint32_t rounds, std::uint64_t receivedBytes)
{
    const bool still = rounds == m_rounds && receivedBytes == m_received;
    m_rounds = rounds;
    m_received = receivedBytes;
    return still;
}

QvEngineProgram::CommandLine QvEngineProgram::ParseCommandLine(const std::vector<std::string>& args)
{
    std::string line;
    for (const std::string& arg : args) {
        line += (line.empty() ? "" : " ") + arg;
    }
    CommandLine parsed;
    parsed.kill = line == kKill;
    parsed.controlLaunch = line.find(kControlLaunch) != std::string::npos;
    return parsed;
}

QvEngineProgram::QvEngineProgram(QvCaptureEngineHost& host, std::atomic<std::uint32_t>& progress,
                                 bool launchedByControl)
    : m_engine(host), m_progress(progress), m_launchedByControl(launchedByControl)
{
    QvPropertyList& settings = m_engine.GetProperties();
    settings.ReadRegistry(kSettingsKey, QvPropertyList::HKEY::LocalMachine);
    if (settings.GetBoolProperty("Debug")) {
        QvSetDebugFile(kDebugLog);
    }
    QvDebugMsg("Veltora Capture Engine Started");
    m_engine.ResetPresence();
    m_engine.GetCapture().SetProgressCounter(&m_progress);
    m_watchdog.Expired(m_progress.load(), 0);
}

QvEngineProgram::~QvEngineProgram()
{
    Close();
}

bool QvEngineProgram::Begin()
{
    return m_engine.StartServing();
}

bool QvEngineProgram::OnStartCapture()
{
    return m_engine.OnStartCapture() == 0;
}

void QvEngineProgram::OnStopCapture()
{
    m_engine.OnStopCapture();
}

bool QvEngineProgram::CaptureEnded()
{
    const QvStatusBlock* status = m_engine.GetCapture().GetStatus();
    return status != nullptr && QvLoad(status->stopReason) != kQvReasonNone;
}

bool QvEngineProgram::WatchdogExpired()
{
    return m_launchedByControl &&
           m_watchdog.Expired(m_progress.load(), m_engine.GetCapture().GetReceivedBytes());
}

bool QvEngineProgram::ConfirmExit() const
{
    return qvplat::MessageBox(kExitQuestion, kTrayTip,
                              qvplat::MB_OKCANCEL | qvplat::MB_ICONQUESTION |
                                  qvplat::MB_SYSTEMMODAL) == qvplat::IDOK;
}

void QvEngineProgram::Close()
{
    if (!std::exchange(m_closed, true)) {
        m_engine.Shutdown();
    }
}

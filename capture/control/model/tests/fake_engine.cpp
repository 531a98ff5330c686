// A stand-in for recordengine in the control's tests. It takes the engine's
// lock, beats the engine's pulse and then, as "fake_engine serve", serves
// the command channel as the engine does without receiving anything:
// command 1 opens the session's status block (a session on port 1 is
// refused with -6), command 2 marks it capturing, command 3 ends the
// capture with reason 4 and signals. As "fake_engine starting" it serves
// likewise but never shows a capture running, as the engine between taking
// a start and its capture's first round. As "fake_engine silent" it never
// shows itself running. It ends on SIGTERM.
#include "capture/channel/qvcommchannel.h"
#include "capture/channel/qvengineinstance.h"
#include "core/sap/qvsappacket.h"

#include <csignal>
#include <ctime>
#include <memory>
#include <string>

namespace {

class FakeEngine final : public QvCommChannel
{
public:
    explicit FakeEngine(bool showsCapture)
        : QvCommChannel(kQvChannelName, kQvChannelDataSize, Side::Serving),
          m_showsCapture(showsCapture)
    {
    }
    ~FakeEngine() override { StopListening(); }

    int HandleCommand(int code, std::span<const std::uint8_t> data) override
    {
        QvStatusBlock* status =
            m_status ? static_cast<QvStatusBlock*>(m_status->GetView()) : nullptr;
        switch (code) {
        case kQvCmdInitialize:
            return Initialize(QvParseInitializeData(data));
        case kQvCmdStart:
            if (status == nullptr) {
                return kQvNotInitialised;
            }
            QvStore(status->stopReason, kQvReasonNone);
            QvStore(status->startTime, std::time(nullptr));
            QvStore(status->state, m_showsCapture ? 1 : 0);
            return 0;
        case kQvCmdStop:
            if (status != nullptr) {
                QvStore(status->state, 0);
                QvStore(status->stopReason, kQvReasonStopped);
                m_status->Signal();
            }
            return 0;
        default:
            return 0;
        }
    }

private:
    int Initialize(const QvInitializeRequest& request)
    {
        std::string address = request.address;
        std::string port = request.port;
        std::string id;
        if (!request.sessionText.empty()) {
            QvSAPPacket packet;
            packet.SetSdpText(request.sessionText.c_str());
            address = packet.GetPropA("Address");
            port = packet.GetPropA("Port");
            id = packet.GetPropA("SesOSesID");
        }
        if (port == "1") {
            return kQvNoFreeSlot;
        }
        m_status = std::make_unique<QvSharedBlock>(
            QvStatusBlockName(address.c_str(), port.c_str(), id.c_str()), sizeof(QvStatusBlock));
        auto* status = static_cast<QvStatusBlock*>(m_status->GetView());
        if (status == nullptr) {
            return -1;
        }
        if (m_status->IsNew()) {
            QvStatusDefaults(*status);
        }
        QvStore(status->attached, 1);
        return 0;
    }

    const bool m_showsCapture;
    std::unique_ptr<QvSharedBlock> m_status;
};

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    QvEngineInstance instance;
    if (instance.Acquire(5000) != QvEngineInstance::Result::Acquired || !instance.StartPulse()) {
        return 1;
    }
    FakeEngine engine(mode != "starting");
    QvSharedBlock presenceBlock(kQvPresenceName, sizeof(QvPresenceBlock));
    auto* presence = static_cast<QvPresenceBlock*>(presenceBlock.GetView());
    if (presence == nullptr) {
        return 1;
    }
    QvPresenceDefaults(*presence);
    if (mode == "serve" || mode == "starting") {
        if (!engine.Listen()) {
            return 1;
        }
        QvStore(presence->running, 1);
        qvplat::WakeSharedWord(reinterpret_cast<const std::uint32_t*>(presence));
    }
    int signal = 0;
    sigwait(&set, &signal);
    engine.StopListening();
    QvStore(presence->running, 0);
    return 0;
}

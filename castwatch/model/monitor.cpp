#include "castwatch/model/monitor.h"

#include "core/settings/qvlog.h"
#include "platform/registry.h"

namespace castwatch {

Monitor::MonitorDirectory::MonitorDirectory(Monitor& owner)
    : QvSapDb(true, QvSAPPacketOptions::Monitor()), m_owner(owner)
{
}

Monitor::MonitorDirectory::~MonitorDirectory()
{
    Stop();
}

void Monitor::MonitorDirectory::OnChange()
{
    DirectorySnapshot snapshot = m_owner.m_builder.Build(*this);
    if (m_owner.m_writesFile && !m_owner.m_fileName.empty()) {
        // A file that cannot be written is skipped; the list still goes.
        WriteOutputFile(OutputFilePath(m_owner.m_fileName), snapshot.fileText);
    }
    if (m_owner.m_sink) {
        m_owner.m_sink({std::move(snapshot.programs), m_owner.Generation()});
    }
}

void Monitor::MonitorDirectory::OnAnnouncement(QvSAPPacket* packet)
{
    m_owner.m_builder.Prepare(packet->GetPayload());
}

Monitor::Monitor(bool writesFile, Sink sink)
    : m_writesFile(writesFile), m_sink(std::move(sink)), m_directory(*this)
{
}

Monitor::~Monitor()
{
    Shutdown();
}

int Monitor::Start()
{
    m_directory.Stop();
    const bool keyRead = QvSapDb::ReadRegistrySettings(m_settings) != 0;
    m_fileName = m_settings.GetProperty(kOutputFileKey).chars();
    EmptyOutputFile();
    m_directory.SetPropertyList(&m_settings);
    if (keyRead && m_settings.GetProperty("SAPPort0").isNull()) {
        return 1;
    }
    return m_directory.Start();
}

int Monitor::ApplySetup(const SetupModel& setup)
{
    m_directory.Stop();
    m_generation.fetch_add(1, std::memory_order_acq_rel);
    setup.Apply(m_settings);
    if (m_settings.WriteRegistry(QvSapDb::registryKey, qvplat::RegRoot::LocalMachine) == 0) {
        QvDebugMsg("castwatch: cannot write the settings key %s", QvSapDb::registryKey);
    }
    if (setup.FileName() != m_fileName) {
        EmptyOutputFile();
        m_fileName = setup.FileName();
    }
    EmptyOutputFile();
    return m_directory.Start();
}

void Monitor::Shutdown()
{
    m_directory.Stop();
    EmptyOutputFile();
}

void Monitor::EmptyOutputFile() const
{
    if (m_writesFile && !m_fileName.empty()) {
        WriteOutputFile(OutputFilePath(m_fileName), {});
    }
}

} // namespace castwatch

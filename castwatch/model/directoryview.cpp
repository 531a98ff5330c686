#include "castwatch/model/directoryview.h"

#include "core/sap/qvsapdb.h"
#include "core/sap/qvsappacket.h"
#include "core/settings/qvlog.h"
#include "platform/file.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

namespace castwatch {

Program DescribeProgram(std::string_view sdp)
{
    Program program;
    program.sdp.assign(sdp);
    QvSAPPacket packet(QvSAPPacketOptions::Monitor());
    packet.SetSdpText(program.sdp.c_str());
    program.line = std::string(packet.GetPropA("Address")) + "/" + packet.GetPropA("Port");
    packet.ConstructPacket();
    program.rebuilt = packet.GetPayload();
    return program;
}

std::vector<ProgramPtr> InListOrder(std::vector<ProgramPtr> programs)
{
    std::stable_sort(programs.begin(), programs.end(),
                     [](const ProgramPtr& a, const ProgramPtr& b) {
                         return strcasecmp(a->line.c_str(), b->line.c_str()) < 0;
                     });
    return programs;
}

void SnapshotBuilder::Prepare(std::string_view sdp)
{
    {
        const std::lock_guard guard(m_lock);
        if (m_known.contains(sdp)) {
            return;
        }
    }
    auto program = std::make_shared<const Program>(DescribeProgram(sdp));
    const std::lock_guard guard(m_lock);
    m_known.try_emplace(program->sdp, Known{program, m_build});
}

DirectorySnapshot SnapshotBuilder::Build(QvSapDb& directory)
{
    const std::lock_guard guard(m_lock);
    ++m_build;
    DirectorySnapshot snapshot;
    snapshot.programs.reserve(static_cast<std::size_t>(directory.NumEntries()));
    std::size_t fileSize = 0;
    for (const char* text = directory.GetFirstItem(); text != nullptr;
         text = directory.GetNextItem()) {
        const std::string_view sdp(text);
        auto known = m_known.find(sdp);
        if (known == m_known.end()) {
            auto program = std::make_shared<const Program>(DescribeProgram(sdp));
            known = m_known.try_emplace(program->sdp, Known{program, m_build}).first;
        }
        known->second.listed = m_build;
        fileSize += known->second.program->rebuilt.size();
        snapshot.programs.push_back(known->second.program);
    }
    // Programs no longer listed are forgotten; those prepared since the
    // last Build wait for the next one.
    std::erase_if(m_known, [this](const auto& entry) { return m_build - entry.second.listed > 1; });
    snapshot.fileText.reserve(fileSize);
    for (const ProgramPtr& program : snapshot.programs) {
        snapshot.fileText += program->rebuilt;
    }
    return snapshot;
}

std::string OutputFilePath(const std::string& name)
{
    return qvplat::MapPath(name);
}

bool WriteOutputFile(const std::string& path, const std::string& text)
{
    if (path.empty()) {
        return false;
    }
    if (!qvplat::ReplaceFileContents(path, text)) {
        QvDebugMsg("castwatch: cannot write %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace castwatch

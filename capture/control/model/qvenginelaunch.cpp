#include "capture/control/model/qvenginelaunch.h"

#include "platform/com/server.h"
#include "platform/spawn.h"

#include <cerrno>
#include <filesystem>
#include <unistd.h>

int QvShellExecuteResult(int error)
{
    switch (error) {
    case 0:
        return 33;
    case ENOENT:
        return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
        return 3;
    case EACCES:
    case EPERM:
        return 5;
    case ENOMEM:
    case EAGAIN:
        return 8;
    default:
        return 0;
    }
}

int QvStartProgram(const std::string& program, const std::vector<std::string>& args)
{
    return QvShellExecuteResult(qvplat::SpawnDetached(program, args));
}

int QvLaunchRecordEngine()
{
    std::string program = kQvEngineProgram;
    const std::string module = qvplat::ServerModulePath();
    if (!module.empty()) {
        const std::filesystem::path beside =
            std::filesystem::path(module).parent_path() / kQvEngineProgram;
        if (::access(beside.c_str(), X_OK) == 0) {
            program = beside.string();
        }
    }
    return QvStartProgram(program, {kQvEngineArgument});
}

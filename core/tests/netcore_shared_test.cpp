// The core is built twice: netcore, the shared library that exports the core
// to the controls that link it, and the static copy that programs compile in
// with its symbols hidden. A process that holds both (a plug-in that compiles
// the core in and loads a control that links netcore) must keep two separate
// states. This test is such a process: it links the static copy and loads
// netcore.
#include "core/settings/qvlog.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using SetFileFn = void (*)(const char*);
using LogFn = void (*)(const char*, ...);

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class NetcoreSharedTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_handle = dlopen(QV_NETCORE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_handle, nullptr) << dlerror();
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
    }

    void TearDown() override
    {
        if (m_handle != nullptr)
            dlclose(m_handle);
        QvCloseLogFiles();
    }

    template <typename Fn> Fn Symbol(const char* name)
    {
        return reinterpret_cast<Fn>(dlsym(m_handle, name));
    }

    void* m_handle = nullptr;
    qvtest::TempDir m_temp{"netcore_shared"};
    std::filesystem::path m_dir;
};

TEST_F(NetcoreSharedTest, ExportsTheLoggingFunctionsUnderPlainNames)
{
    for (const char* name : {"QvSetDebugFile", "QvSetLogFile", "QvDebugOut", "QvDebugMsg",
                             "QvDebugMsgTime", "QvLog", "QvErrorMsg", "QvErrorExit"})
        EXPECT_NE(dlsym(m_handle, name), nullptr) << name;
}

TEST_F(NetcoreSharedTest, TheLibraryAndTheStaticCopyKeepSeparateLogs)
{
    const auto sharedLog = m_dir / "shared.log";
    const auto staticLog = m_dir / "static.log";
    auto sharedSetLogFile = Symbol<SetFileFn>("QvSetLogFile");
    auto sharedLogLine = Symbol<LogFn>("QvLog");
    ASSERT_NE(sharedSetLogFile, nullptr);
    ASSERT_NE(sharedLogLine, nullptr);

    sharedSetLogFile(sharedLog.c_str());
    QvSetLogFile(staticLog.c_str());
    sharedLogLine("from the library");
    QvLog("from the program");

    const std::string shared = ReadAll(sharedLog);
    const std::string own = ReadAll(staticLog);
    EXPECT_NE(shared.find("from the library"), std::string::npos);
    EXPECT_EQ(shared.find("from the program"), std::string::npos);
    EXPECT_NE(own.find("from the program"), std::string::npos);
    EXPECT_EQ(own.find("from the library"), std::string::npos);
}

TEST_F(NetcoreSharedTest, TheStaticCopyExportsNothing)
{
    // The program's own copy of the core stays out of the dynamic symbol
    // table, so a library loaded later cannot bind to it. (netcore itself
    // was loaded locally, so the global scope holds neither copy.)
    void* self = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(dlsym(self, "QvLog"), nullptr);
    dlclose(self);
}

} // namespace

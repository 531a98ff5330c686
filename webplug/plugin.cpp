// The exports and the instance functions of the plug-in: a page's EMBED
// attributes go into a profile file of the instance's own, and the player
// control shown in the host's window reads them from there.
#include "webplug/plugin.h"

#include "webplug/pluginwnd.h"

#include "core/strings/utxmsg.h"

#include "platform/com/creation.h"
#include "platform/ini.h"
#include "platform/msgbox.h"
#include "platform/paths.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include <unistd.h>

namespace {

// The tables as this plug-in declares them, up to their last slot.
constexpr std::size_t kPluginFuncsSize =
    offsetof(NPPluginFuncs, event) + sizeof(NPP_HandleEventProcPtr);
constexpr std::size_t kHostFuncsSize =
    offsetof(NPNetscapeFuncs, reloadplugins) + sizeof(NPN_GenericProcPtr);

constexpr std::int32_t kWriteReadyBytes = 0x0FFFFFFF;
constexpr const char* kLogFileName = "webplug.log";

// Everything runs on the host's user-interface thread.
bool g_comStarted = false;
bool g_logOpened = false;
unsigned g_instanceCount = 0;

QvPluginInstance* RecordOf(NPP instance)
{
    return instance != nullptr ? static_cast<QvPluginInstance*>(instance->pdata) : nullptr;
}

// "qv1nrb-<pid>-<n>.dat" in the Windows directory: one file per instance, so
// a player never reads the attributes of a later instance.
std::string NewProfilePath()
{
    const std::string windows = qvplat::WindowsDirectory();
    if (windows.empty()) {
        return {};
    }
    char name[64];
    std::snprintf(name, sizeof name, "qv1nrb-%d-%u.dat", static_cast<int>(::getpid()),
                  ++g_instanceCount);
    return windows + "/" + name;
}

// Writes the attributes as section "QV" of the instance's profile. A list
// that does not fit one section (4096 bytes) or that the file cannot hold
// leaves the section empty: the player starts without the attributes rather
// than with some of them.
void WriteProfile(QvPluginInstance& record)
{
    const char* path = record.m_profilePath.c_str();
    if (record.m_attributes.WriteProperties(path) == 1) {
        return;
    }
    if (QvPropertyList().WriteProperties(path) == 1) {
        PluginLog("%s: the page's %d attributes do not make a settings section (over 4096 "
                  "bytes, or a name starting with '['); the player starts without them",
                  path, record.m_attributes.GetCount());
    } else {
        qvplat::DeleteIniFile(record.m_profilePath);
        PluginLog("profile \"%s\" cannot be written; the player starts without the page's "
                  "attributes",
                  path);
    }
}

} // namespace

void PluginLog(const char* format, ...)
{
    if (!g_logOpened) {
        g_logOpened = true;
        const std::string windows = qvplat::WindowsDirectory();
        if (!windows.empty()) {
            QvSetLogFile((windows + "/" + kLogFileName).c_str());
        }
    }
    char text[256];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    QvLog("%s", text);
}

// ---- Exports ---------------------------------------------------------------------------

const NPVersionString NP_VersionInfo[] = {
    {"MIMEType", "video/x-opv-live|video/x-opv-vod|video/qv|video/mcast"},
    {"FileExtents", "opv|opv|qvx|mcv"},
    {"FileOpenName", "Veltora Exts (*.opv)|Veltora Exts (*.opv)|Veltora Exts (*.qvx)|"
                     "Veltora Exts (*.mcv)"},
    {"FileDescription", "Veltora Wavelane Plug-In"},
    {"ProductName", "Veltora Wavelane Plug-In"},
    {"FileVersion", "0.0.0.1"},
    {"ProductVersion", "0.0.0.1"},
    {"InternalName", "webplug"},
    {nullptr, nullptr},
};

NPError NP_GetEntryPoints(NPPluginFuncs* pluginFuncs)
{
    if (pluginFuncs == nullptr || pluginFuncs->size < kPluginFuncsSize) {
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    pluginFuncs->version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    pluginFuncs->newp = NPP_New;
    pluginFuncs->destroy = NPP_Destroy;
    pluginFuncs->setwindow = NPP_SetWindow;
    pluginFuncs->newstream = NPP_NewStream;
    pluginFuncs->destroystream = NPP_DestroyStream;
    pluginFuncs->asfile = NPP_StreamAsFile;
    pluginFuncs->writeready = NPP_WriteReady;
    pluginFuncs->write = NPP_Write;
    pluginFuncs->print = NPP_Print;
    pluginFuncs->event = nullptr;
    return NPERR_NO_ERROR;
}

NPError NP_Initialize(NPNetscapeFuncs* hostFuncs)
{
    if (hostFuncs == nullptr) {
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    if ((hostFuncs->version >> 8) > NP_VERSION_MAJOR) {
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    if (hostFuncs->size < kHostFuncsSize) {
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    if (!g_comStarted) {
        if (qvplat::Failed(qvplat::CoInitialize())) {
            qvplat::MessageBox("Ole failed to initialize.", nullptr,
                               qvplat::MB_OK | qvplat::MB_ICONERROR);
            return NPERR_GENERIC_ERROR;
        }
        g_comStarted = true;
    }
    return NPERR_NO_ERROR;
}

NPError NP_Shutdown()
{
    if (g_comStarted) {
        qvplat::CoFreeUnusedLibraries();
        qvplat::CoUninitialize();
        g_comStarted = false;
    }
    QvCloseLogFiles();
    g_logOpened = false;
    return NPERR_NO_ERROR;
}

// ---- Instances -------------------------------------------------------------------------

NPError NPP_New(NPMIMEType, NPP instance, std::uint16_t, std::int16_t argc, char* argn[],
                char* argv[], NPSavedData*)
{
    if (instance == nullptr) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    instance->pdata = nullptr;
    std::unique_ptr<QvPluginInstance> record;
    const auto outOfMemory = [&record] {
        if (record) {
            qvplat::DeleteIniFile(record->m_profilePath);
        }
        return NPERR_OUT_OF_MEMORY_ERROR;
    };
    try {
        record = std::make_unique<QvPluginInstance>();
        // A later attribute of the same name (in any case) replaces an
        // earlier one; unnamed ones are left out.
        for (int i = 0; argn != nullptr && argv != nullptr && i < argc; ++i) {
            if (argn[i] != nullptr) {
                record->m_attributes.AddProperty(argn[i], argv[i] != nullptr ? argv[i] : "");
            }
        }
        record->m_profilePath = NewProfilePath();
        WriteProfile(*record);
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    } catch (const Utxalloc&) {
        return outOfMemory();
    }
    instance->pdata = record.release();
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**)
{
    if (instance == nullptr) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    if (QvPluginInstance* record = RecordOf(instance)) {
        if (CQvPluginWnd* window = std::exchange(record->m_window, nullptr)) {
            window->UnsubclassWindow();
            window->OnPluginDestroy();
            delete window; // and with it the player
        }
        qvplat::DeleteIniFile(record->m_profilePath);
        delete record;
        instance->pdata = nullptr;
    }
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window)
{
    if (window == nullptr) {
        return NPERR_GENERIC_ERROR;
    }
    if (instance == nullptr) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    QvPluginInstance* record = RecordOf(instance);
    if (record == nullptr) {
        return NPERR_GENERIC_ERROR;
    }
    if (window->window == nullptr) {
        return NPERR_NO_ERROR;
    }
    // The first window given stays the instance's window.
    if (record->m_window == nullptr) {
        auto* pluginWindow = new (std::nothrow) CQvPluginWnd(*record);
        if (pluginWindow == nullptr || !pluginWindow->SubclassWindow(window->window)) {
            delete pluginWindow;
            return NPERR_GENERIC_ERROR;
        }
        record->m_window = pluginWindow;
        pluginWindow->CreatePlayer();
    }
    if (wxWindow* shown = record->m_window->GetWindow()) {
        shown->Refresh(true);
        shown->Update();
    }
    return NPERR_NO_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream* stream, NPBool, std::uint16_t* stype)
{
    if (instance == nullptr) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    if (stream == nullptr || stype == nullptr) {
        return NPERR_GENERIC_ERROR;
    }
    stream->pdata = instance->pdata;
    *stype = NP_ASFILE;
    return NPERR_NO_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream*, NPReason)
{
    if (QvPluginInstance* record = RecordOf(instance)) {
        record->OnStreamDestroyed();
    }
    return NPERR_NO_ERROR;
}

void NPP_StreamAsFile(NPP instance, NPStream*, const char* fileName)
{
    if (QvPluginInstance* record = RecordOf(instance)) {
        record->OnStreamAsFile(fileName);
    }
}

std::int32_t NPP_WriteReady(NPP, NPStream*)
{
    return kWriteReadyBytes;
}

std::int32_t NPP_Write(NPP, NPStream*, std::int32_t, std::int32_t len, void*)
{
    return len; // taken and dropped
}

void NPP_Print(NPP instance, NPPrint* print)
{
    if (instance == nullptr || print == nullptr) {
        return;
    }
    if (print->mode == NP_FULL) {
        // The host prints the page itself.
        print->print.fullPrint.pluginPrinted = false;
    } else if (print->mode == NP_EMBED && print->print.embedPrint.platformPrint != nullptr) {
        const NPWindow& place = print->print.embedPrint.window;
        DrawPrintFrame(*print->print.embedPrint.platformPrint, place.x, place.y, place.width,
                       place.height);
    }
}

#pragma once
// The plug-in's side of an instance: the record kept in the instance's
// plug-in data, and the functions the host reaches through the plug-in's
// table. The host calls all of them on its user-interface thread.

#include "webplug/npapi.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"

#include <string>

class CQvPluginWnd;

// One instance of the plug-in on a page.
class QvPluginInstance
{
public:
    QvPluginInstance() = default;
    QvPluginInstance(const QvPluginInstance&) = delete;
    QvPluginInstance& operator=(const QvPluginInstance&) = delete;
    virtual ~QvPluginInstance() = default;

    // Streams the host offers arrive as files and are not used.
    virtual void OnStreamAsFile(const char* /*fileName*/) {}
    virtual void OnStreamDestroyed() {}

    // Puts itself in front of the host's window; made by the first
    // NPP_SetWindow with a window.
    CQvPluginWnd* m_window = nullptr;
    // The page's attributes, names upper-cased.
    QvPropertyList m_attributes;
    // This instance's own profile file, which the player reads.
    std::string m_profilePath;
};

// One line to the plug-in's log file, "webplug.log" in the Windows
// directory, opened the first time there is something to say.
void PluginLog(const char* format, ...) QV_PRINTF_FORMAT(1, 2);

NPError NPP_New(NPMIMEType pluginType, NPP instance, std::uint16_t mode, std::int16_t argc,
                char* argn[], char* argv[], NPSavedData* saved);
NPError NPP_Destroy(NPP instance, NPSavedData** save);
NPError NPP_SetWindow(NPP instance, NPWindow* window);
NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable,
                      std::uint16_t* stype);
NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fileName);
std::int32_t NPP_WriteReady(NPP instance, NPStream* stream);
std::int32_t NPP_Write(NPP instance, NPStream* stream, std::int32_t offset, std::int32_t len,
                       void* buffer);
void NPP_Print(NPP instance, NPPrint* print);

#pragma once
// The browser plug-in interface, as far as this plug-in and its hosts use
// it: the tables of functions the host and the plug-in give each other, the
// records they pass, the result codes, and the plug-in's exports.
//
// No browser loads such plug-ins any more, so the host is ours and defines
// the window: NPWindow::window is the host's wxWindow that the plug-in draws
// into, and an embedded print gives a wxDC.

#include <cstdint>

class wxDC;
class wxWindow;

using NPError = std::int16_t;
using NPReason = std::int16_t;
using NPBool = unsigned char;
using NPMIMEType = char*;

inline constexpr NPError NPERR_NO_ERROR = 0;
inline constexpr NPError NPERR_GENERIC_ERROR = 1;
inline constexpr NPError NPERR_INVALID_INSTANCE_ERROR = 2;
inline constexpr NPError NPERR_INVALID_FUNCTABLE_ERROR = 3;
inline constexpr NPError NPERR_OUT_OF_MEMORY_ERROR = 5;
inline constexpr NPError NPERR_INCOMPATIBLE_VERSION_ERROR = 8;

// The version a table carries: major number in the high byte.
inline constexpr std::uint16_t NP_VERSION_MAJOR = 0;
inline constexpr std::uint16_t NP_VERSION_MINOR = 6;

// How an instance is shown (NPP_New's mode) and printed (NPPrint::mode).
inline constexpr std::uint16_t NP_EMBED = 1;
inline constexpr std::uint16_t NP_FULL = 2;

// How the plug-in wants a stream delivered.
inline constexpr std::uint16_t NP_NORMAL = 1;
inline constexpr std::uint16_t NP_ASFILE = 3;

// One plug-in instance: pdata is the plug-in's, ndata the host's.
struct NPP_t
{
    void* pdata = nullptr;
    void* ndata = nullptr;
};
using NPP = NPP_t*;

struct NPSavedData
{
    std::int32_t len = 0;
    void* buf = nullptr;
};

// Where an instance is shown, in the coordinates of the host's page. The
// records of printing are plain (they share a union), so are their parts.
struct NPWindow
{
    wxWindow* window;
    std::int32_t x;
    std::int32_t y;
    std::uint32_t width;
    std::uint32_t height;
};

struct NPStream
{
    void* pdata = nullptr; // the plug-in's
    void* ndata = nullptr; // the host's
    const char* url = nullptr;
    std::uint32_t end = 0; // length in bytes, 0 when unknown
};

struct NPFullPrint
{
    NPBool pluginPrinted; // false: the host prints the page itself
    NPBool printOne;
    void* platformPrint;
};

struct NPEmbedPrint
{
    NPWindow window;     // the instance's place on the printed page
    wxDC* platformPrint; // the device to draw on
};

struct NPPrint
{
    std::uint16_t mode = NP_EMBED;
    union {
        NPFullPrint fullPrint;
        NPEmbedPrint embedPrint;
    } print{};
};

using NPP_NewProcPtr = NPError (*)(NPMIMEType pluginType, NPP instance, std::uint16_t mode,
                                   std::int16_t argc, char* argn[], char* argv[],
                                   NPSavedData* saved);
using NPP_DestroyProcPtr = NPError (*)(NPP instance, NPSavedData** save);
using NPP_SetWindowProcPtr = NPError (*)(NPP instance, NPWindow* window);
using NPP_NewStreamProcPtr = NPError (*)(NPP instance, NPMIMEType type, NPStream* stream,
                                         NPBool seekable, std::uint16_t* stype);
using NPP_DestroyStreamProcPtr = NPError (*)(NPP instance, NPStream* stream, NPReason reason);
using NPP_StreamAsFileProcPtr = void (*)(NPP instance, NPStream* stream, const char* fileName);
using NPP_WriteReadyProcPtr = std::int32_t (*)(NPP instance, NPStream* stream);
using NPP_WriteProcPtr = std::int32_t (*)(NPP instance, NPStream* stream, std::int32_t offset,
                                          std::int32_t len, void* buffer);
using NPP_PrintProcPtr = void (*)(NPP instance, NPPrint* print);
using NPP_HandleEventProcPtr = std::int16_t (*)(NPP instance, void* event);

// The plug-in's table, filled by NP_GetEntryPoints. The host sets size to
// the size of the table it has room for.
struct NPPluginFuncs
{
    std::uint16_t size = 0;
    std::uint16_t version = 0;
    NPP_NewProcPtr newp = nullptr;
    NPP_DestroyProcPtr destroy = nullptr;
    NPP_SetWindowProcPtr setwindow = nullptr;
    NPP_NewStreamProcPtr newstream = nullptr;
    NPP_DestroyStreamProcPtr destroystream = nullptr;
    NPP_StreamAsFileProcPtr asfile = nullptr;
    NPP_WriteReadyProcPtr writeready = nullptr;
    NPP_WriteProcPtr write = nullptr;
    NPP_PrintProcPtr print = nullptr;
    NPP_HandleEventProcPtr event = nullptr;
};

// The host's services. This plug-in never calls them, so the slots carry
// one untyped signature; what counts is that the table has all of them.
using NPN_GenericProcPtr = void (*)();
struct NPNetscapeFuncs
{
    std::uint16_t size = 0;
    std::uint16_t version = 0;
    NPN_GenericProcPtr geturl = nullptr;
    NPN_GenericProcPtr posturl = nullptr;
    NPN_GenericProcPtr requestread = nullptr;
    NPN_GenericProcPtr newstream = nullptr;
    NPN_GenericProcPtr write = nullptr;
    NPN_GenericProcPtr destroystream = nullptr;
    NPN_GenericProcPtr status = nullptr;
    NPN_GenericProcPtr uagent = nullptr;
    NPN_GenericProcPtr memalloc = nullptr;
    NPN_GenericProcPtr memfree = nullptr;
    NPN_GenericProcPtr memflush = nullptr;
    NPN_GenericProcPtr reloadplugins = nullptr;
};

// One string of the plug-in's version block; the exported table ends with
// a pair of nulls. The host reads "MIMEType", "FileExtents" and
// "FileOpenName" ('|'-separated lists that correspond position by position)
// to learn what the plug-in handles.
struct NPVersionString
{
    const char* key;
    const char* value;
};

// The exports, looked up by name.
using NP_GetEntryPointsFn = NPError (*)(NPPluginFuncs* pluginFuncs);
using NP_InitializeFn = NPError (*)(NPNetscapeFuncs* hostFuncs);
using NP_ShutdownFn = NPError (*)();

#define NP_EXPORT extern "C" __attribute__((visibility("default")))

NP_EXPORT NPError NP_GetEntryPoints(NPPluginFuncs* pluginFuncs);
NP_EXPORT NPError NP_Initialize(NPNetscapeFuncs* hostFuncs);
NP_EXPORT NPError NP_Shutdown();
NP_EXPORT const NPVersionString NP_VersionInfo[];

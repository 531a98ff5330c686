// nphost: a test host for the browser plug-in. It loads the plug-in
// library, runs a script of plug-in calls in a wx frame and prints one line
// of results per command.
//
//   nphost <plug-in library> <script>
//
// One command per line, words separated by blanks; blank lines and lines
// starting with '#' are skipped.
//   entry-points [<size> | null]         NP_GetEntryPoints (size: the whole table)
//   initialize [<size> <version> | null] NP_Initialize (the whole table, version 0x0006)
//   shutdown                             NP_Shutdown
//   new <name> [<attribute>=<value>...]  NPP_New ("\r" and "\n" in values stand for CR, LF)
//   window <name> <x> <y> <width> <height>
//                                        NPP_SetWindow with a panel of the frame there
//                                        (one panel per name, made the first time)
//   stream <name>                        a stream offered, written, given as file, ended
//   print <name>                         embedded print of the window's place into a
//                                        memory DC, counting the grey (0x808080) pixels
//   print-full <name>                    full-page print; the plug-in's printed flag
//   destroy <name>                       NPP_Destroy
// Instances still alive when the script ends are destroyed. Exit status 1
// for a script error, 2 for a bad command line or a library that does not
// load.
#include "webplug/npapi.h"

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

struct Exports
{
    NP_GetEntryPointsFn getEntryPoints = nullptr;
    NP_InitializeFn initialize = nullptr;
    NP_ShutdownFn shutdown = nullptr;
} g_exports;

std::vector<std::vector<std::string>> g_script;

void Print(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Unescape(std::string text)
{
    for (const auto& [escape, c] : {std::pair{"\\r", '\r'}, std::pair{"\\n", '\n'}}) {
        for (std::size_t at; (at = text.find(escape)) != std::string::npos;) {
            text.replace(at, 2, 1, c);
        }
    }
    return text;
}

struct Instance
{
    NPP_t npp;
    wxPanel* panel = nullptr;
    NPWindow window{};
};

class CHostFrame final : public wxFrame
{
public:
    // status receives the exit status.
    explicit CHostFrame(int& status) : wxFrame(nullptr, wxID_ANY, "nphost"), m_status(status)
    {
        SetClientSize(840, 420);
    }

    void RunScript()
    {
        for (std::size_t i = 0; i < g_script.size(); ++i) {
            bool done = false;
            try {
                done = Run(g_script[i]);
            } catch (const std::exception&) {
                // a number that does not read
            }
            if (!done) {
                Print("error: command " + std::to_string(i + 1) + ": " + g_script[i][0]);
                m_status = 1;
                break;
            }
        }
        for (auto& [name, instance] : m_instances) {
            if (instance.npp.pdata != nullptr && m_funcs.destroy != nullptr) {
                m_funcs.destroy(&instance.npp, nullptr);
            }
        }
        if (m_initialized) {
            g_exports.shutdown();
        }
        Close(true);
    }

private:
    bool Run(const std::vector<std::string>& words)
    {
        const std::string& verb = words[0];
        const std::size_t count = words.size() - 1;
        const bool useNull = count == 1 && words[1] == "null";
        if (verb == "entry-points" && count <= 1) {
            NPPluginFuncs funcs;
            funcs.size = static_cast<std::uint16_t>(
                count == 1 && !useNull ? std::stoul(words[1], nullptr, 0) : sizeof funcs);
            const NPError rc = g_exports.getEntryPoints(useNull ? nullptr : &funcs);
            if (rc == NPERR_NO_ERROR) {
                m_funcs = funcs;
            }
            Print(Joined(words) + " = " + std::to_string(rc) +
                  (rc == NPERR_NO_ERROR ? " version " + std::to_string(funcs.version) : ""));
            return true;
        }
        if (verb == "initialize" && (count == 0 || useNull || count == 2)) {
            NPNetscapeFuncs funcs;
            funcs.size = sizeof funcs;
            funcs.version = NP_VERSION_MINOR;
            if (count == 2) {
                funcs.size = static_cast<std::uint16_t>(std::stoul(words[1], nullptr, 0));
                funcs.version = static_cast<std::uint16_t>(std::stoul(words[2], nullptr, 0));
            }
            const NPError rc = g_exports.initialize(useNull ? nullptr : &funcs);
            m_initialized = m_initialized || rc == NPERR_NO_ERROR;
            Print(Joined(words) + " = " + std::to_string(rc));
            return true;
        }
        if (verb == "shutdown" && count == 0) {
            m_initialized = false;
            Print("shutdown = " + std::to_string(g_exports.shutdown()));
            return true;
        }
        if (count == 0 || m_funcs.newp == nullptr) {
            return false;
        }
        Instance& instance = m_instances[words[1]];
        NPP npp = &instance.npp;
        if (verb == "new") {
            std::vector<std::string> names;
            std::vector<std::string> values;
            std::vector<char*> argn;
            std::vector<char*> argv;
            names.reserve(count); // the pointers below stay valid
            values.reserve(count);
            for (std::size_t i = 2; i < words.size(); ++i) {
                const std::size_t equals = words[i].find('=');
                names.push_back(words[i].substr(0, equals));
                values.push_back(
                    equals == std::string::npos ? "" : Unescape(words[i].substr(equals + 1)));
                argn.push_back(names.back().data());
                argv.push_back(values.back().data());
            }
            char mime[] = "video/x-opv-live";
            const NPError rc =
                m_funcs.newp(mime, npp, NP_EMBED, static_cast<std::int16_t>(argn.size()),
                             argn.data(), argv.data(), nullptr);
            Print(Joined(words) + " = " + std::to_string(rc));
        } else if (verb == "window" && count == 5) {
            const int x = std::stoi(words[2]);
            const int y = std::stoi(words[3]);
            const int width = std::stoi(words[4]);
            const int height = std::stoi(words[5]);
            if (instance.panel == nullptr) {
                instance.panel = new wxPanel(this, wxID_ANY, wxPoint(x, y), wxSize(width, height));
            }
            instance.window.window = instance.panel;
            instance.window.x = x;
            instance.window.y = y;
            instance.window.width = static_cast<std::uint32_t>(width);
            instance.window.height = static_cast<std::uint32_t>(height);
            Print(Joined(words) + " = " + std::to_string(m_funcs.setwindow(npp, &instance.window)));
        } else if (verb == "stream" && count == 1) {
            char mime[] = "video/x-opv-vod";
            char data[] = "bytes";
            NPStream stream;
            std::uint16_t type = NP_NORMAL;
            const NPError created = m_funcs.newstream(npp, mime, &stream, false, &type);
            const std::int32_t ready = m_funcs.writeready(npp, &stream);
            const std::int32_t written = m_funcs.write(npp, &stream, 0, 5, data);
            m_funcs.asfile(npp, &stream, "/nonexistent/clip.opv");
            const NPError ended = m_funcs.destroystream(npp, &stream, 0);
            Print("stream " + words[1] + ": new " + std::to_string(created) + ", type " +
                  std::to_string(type) + ", " +
                  (stream.pdata == npp->pdata ? "instance's data" : "other data") +
                  ", write-ready " + std::to_string(ready) + ", write " + std::to_string(written) +
                  ", destroy " + std::to_string(ended));
        } else if (verb == "print" && count == 1) {
            PrintEmbedded(words[1], instance);
        } else if (verb == "print-full" && count == 1) {
            NPPrint print;
            print.mode = NP_FULL;
            print.print.fullPrint = NPFullPrint{true, false, nullptr};
            m_funcs.print(npp, &print);
            Print("print-full " + words[1] + ": printed " +
                  std::to_string(print.print.fullPrint.pluginPrinted));
        } else if (verb == "destroy" && count == 1) {
            Print(Joined(words) + " = " + std::to_string(m_funcs.destroy(npp, nullptr)));
        } else {
            return false;
        }
        return true;
    }

    void PrintEmbedded(const std::string& name, Instance& instance)
    {
        const NPWindow& place = instance.window;
        const int right = place.x + static_cast<int>(place.width) - 1;
        const int bottom = place.y + static_cast<int>(place.height) - 1;
        wxBitmap page(right + 16, bottom + 16, 24);
        {
            wxMemoryDC dc(page);
            dc.SetBackground(*wxWHITE_BRUSH);
            dc.Clear();
            NPPrint print;
            print.mode = NP_EMBED;
            print.print.embedPrint.window = place;
            print.print.embedPrint.platformPrint = &dc;
            m_funcs.print(&instance.npp, &print);
        }
        const wxImage image = page.ConvertToImage();
        int onFrame = 0;
        int elsewhere = 0;
        for (int y = 0; y < image.GetHeight(); ++y) {
            for (int x = 0; x < image.GetWidth(); ++x) {
                const bool inside = x >= place.x && x <= right && y >= place.y && y <= bottom;
                const bool frame =
                    inside && (x == place.x || x == right || y == place.y || y == bottom);
                const bool grey = image.GetRed(x, y) == 0x80 && image.GetGreen(x, y) == 0x80 &&
                                  image.GetBlue(x, y) == 0x80;
                (frame ? onFrame : elsewhere) += grey ? 1 : 0;
            }
        }
        const int frame = 2 * static_cast<int>(place.width + place.height) - 4;
        Print("print " + name + ": grey on the frame " + std::to_string(onFrame) + " of " +
              std::to_string(frame) + ", elsewhere " + std::to_string(elsewhere));
    }

    static std::string Joined(const std::vector<std::string>& words)
    {
        std::string line;
        for (const std::string& word : words) {
            line += (line.empty() ? "" : " ") + word;
        }
        return line;
    }

    NPPluginFuncs m_funcs;
    std::map<std::string, Instance> m_instances;
    bool m_initialized = false;
    int& m_status;
};

class CHostApp final : public wxApp
{
public:
    bool OnInit() override
    {
        auto* frame = new CHostFrame(m_status);
        frame->Show();
        CallAfter([frame] { frame->RunScript(); });
        return true;
    }
    int OnRun() override
    {
        wxApp::OnRun();
        return m_status;
    }

private:
    int m_status = 0;
};

} // namespace

wxIMPLEMENT_APP_NO_MAIN(CHostApp);

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: nphost <plug-in library> <script>\n");
        return 2;
    }
    void* library = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "nphost: %s\n", ::dlerror());
        return 2;
    }
    g_exports.getEntryPoints =
        reinterpret_cast<NP_GetEntryPointsFn>(::dlsym(library, "NP_GetEntryPoints"));
    g_exports.initialize = reinterpret_cast<NP_InitializeFn>(::dlsym(library, "NP_Initialize"));
    g_exports.shutdown = reinterpret_cast<NP_ShutdownFn>(::dlsym(library, "NP_Shutdown"));
    std::ifstream in(argv[2]);
    if (!g_exports.getEntryPoints || !g_exports.initialize || !g_exports.shutdown || !in) {
        std::fprintf(stderr, "nphost: the library lacks the exports or no script\n");
        return 2;
    }
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> command;
        for (std::string word; words >> word;) {
            command.push_back(word);
        }
        if (!command.empty() && command[0][0] != '#') {
            g_script.push_back(std::move(command));
        }
    }
    return wxEntry(argc, argv);
}

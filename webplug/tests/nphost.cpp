// nphost: a test host for the browser plug-in. It loads the plug-in
// library, runs a script of plug-in calls in a wx frame and prints each
// command with what it gave.
//
//   nphost <plug-in library> <script>
//
// One command per line, words separated by blanks:
//   entry-points [<size> | null]          NP_GetEntryPoints (default: the whole table)
//   initialize [<size> <version> | null]  NP_Initialize (default: the whole table, 0x0006)
//   shutdown
//   new <name> [<attribute>=<value>...]   NPP_New; "\r" and "\n" in values stand for CR, LF
//   window <name> <x> <y> <width> <height> NPP_SetWindow with a panel there (one per name)
//   stream <name>                         a stream offered, written, given as file, ended
//   print <name>                          the window's place printed into a memory DC; counts
//                                         the grey (0x808080) pixels on its frame and elsewhere
//   print-full <name>                     full-page print: the plug-in's printed flag
//   destroy <name>
//   wait <ms>                             runs the event loop for that long
//   wait-colours <name> <count> <ms>      runs the event loop until the window shows at least
//                                         that many colours, or for at most that long
//   screenshot <name> <png file>          saves the screen; counts the colours in the window
// Instances left at the end are destroyed. Exit status 1 for a bad script
// command, 2 for a bad command line or library.
#include "webplug/npapi.h"

#include "platform/testsupport/x11/screencapture.h"

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>
#include <wx/timer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

NP_GetEntryPointsFn g_getEntryPoints = nullptr;
NP_InitializeFn g_initialize = nullptr;
NP_ShutdownFn g_shutdown = nullptr;
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
    explicit CHostFrame(int& status) : wxFrame(nullptr, wxID_ANY, "nphost"), m_status(status)
    {
        SetClientSize(840, 420);
    }

    void RunScript()
    {
        for (const std::vector<std::string>& words : g_script) {
            std::string result;
            try {
                result = Run(words);
            } catch (const std::exception&) {
                // a number that does not read
            }
            if (result.empty()) {
                Print("error: " + words[0]);
                m_status = 1;
                break;
            }
            std::string line;
            for (const std::string& word : words) {
                line += word + " ";
            }
            Print(line + result);
        }
        for (auto& [name, instance] : m_instances) {
            if (instance.npp.pdata != nullptr) {
                m_funcs.destroy(&instance.npp, nullptr);
            }
        }
        if (m_initialized) {
            g_shutdown();
        }
        Close(true);
    }

private:
    // What the command gave; "" for a bad command.
    std::string Run(const std::vector<std::string>& words)
    {
        const std::string& verb = words[0];
        const std::size_t count = words.size() - 1;
        const bool null = count == 1 && words[1] == "null";
        const auto number = [&words](std::size_t i) { return std::stoi(words[i], nullptr, 0); };
        if (verb == "entry-points" && count <= 1) {
            NPPluginFuncs funcs;
            funcs.size = static_cast<std::uint16_t>(count == 1 && !null ? number(1) : sizeof funcs);
            const NPError rc = g_getEntryPoints(null ? nullptr : &funcs);
            if (rc == NPERR_NO_ERROR) {
                m_funcs = funcs;
                return "= 0 version " + std::to_string(funcs.version);
            }
            return "= " + std::to_string(rc);
        }
        if (verb == "initialize" && (count == 0 || null || count == 2)) {
            NPNetscapeFuncs funcs;
            funcs.size = static_cast<std::uint16_t>(count == 2 ? number(1) : sizeof funcs);
            funcs.version = static_cast<std::uint16_t>(count == 2 ? number(2) : NP_VERSION_MINOR);
            const NPError rc = g_initialize(null ? nullptr : &funcs);
            m_initialized = m_initialized || rc == NPERR_NO_ERROR;
            return "= " + std::to_string(rc);
        }
        if (verb == "shutdown" && count == 0) {
            m_initialized = false;
            return "= " + std::to_string(g_shutdown());
        }
        if (verb == "wait" && count == 1) {
            RunEventLoop(number(1));
            return "= waited";
        }
        if (count == 0 || m_funcs.newp == nullptr) {
            return {};
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
            return "= " + std::to_string(m_funcs.newp(mime, npp, NP_EMBED,
                                                      static_cast<std::int16_t>(argn.size()),
                                                      argn.data(), argv.data(), nullptr));
        }
        if (verb == "window" && count == 5) {
            const wxRect place(number(2), number(3), number(4), number(5));
            if (instance.panel == nullptr) {
                instance.panel = new wxPanel(this, wxID_ANY, place.GetPosition(), place.GetSize());
            }
            instance.window = {instance.panel, place.x, place.y,
                               static_cast<std::uint32_t>(place.width),
                               static_cast<std::uint32_t>(place.height)};
            return "= " + std::to_string(m_funcs.setwindow(npp, &instance.window));
        }
        if (verb == "stream" && count == 1) {
            char mime[] = "video/x-opv-vod";
            char data[] = "bytes";
            NPStream stream;
            std::uint16_t type = NP_NORMAL;
            const NPError created = m_funcs.newstream(npp, mime, &stream, false, &type);
            const std::int32_t ready = m_funcs.writeready(npp, &stream);
            const std::int32_t written = m_funcs.write(npp, &stream, 0, 5, data);
            m_funcs.asfile(npp, &stream, "/nonexistent/clip.opv");
            const NPError ended = m_funcs.destroystream(npp, &stream, 0);
            return "= new " + std::to_string(created) + ", type " + std::to_string(type) +
                   (stream.pdata == npp->pdata ? ", instance's data" : ", other data") +
                   ", write-ready " + std::to_string(ready) + ", write " + std::to_string(written) +
                   ", destroy " + std::to_string(ended);
        }
        if (verb == "print" && count == 1) {
            return PrintEmbedded(instance);
        }
        if (verb == "print-full" && count == 1) {
            NPPrint print;
            print.mode = NP_FULL;
            print.print.fullPrint = NPFullPrint{true, false, nullptr};
            m_funcs.print(npp, &print);
            return "= printed " + std::to_string(print.print.fullPrint.pluginPrinted);
        }
        if (verb == "wait-colours" && count == 3 && instance.panel != nullptr) {
            return WaitForColours(instance, number(2), number(3));
        }
        if (verb == "screenshot" && count == 2 && instance.panel != nullptr) {
            return "= colours " + Screenshot(instance, words[2]);
        }
        if (verb == "destroy" && count == 1) {
            return "= " + std::to_string(m_funcs.destroy(npp, nullptr));
        }
        return {};
    }

    static void RunEventLoop(int milliseconds)
    {
        wxGUIEventLoop loop;
        wxTimer timer;
        timer.Bind(wxEVT_TIMER, [&loop](wxTimerEvent&) { loop.Exit(); });
        timer.StartOnce(milliseconds);
        loop.Run();
    }

    // The whole screen as the X server shows it: what the player's video
    // sink drew is there too.
    bool CaptureScreen(wxImage& image)
    {
        Update();
        const wxSize size = wxGetDisplaySize();
        std::vector<std::uint8_t> rgb;
        if (!qvtest::CaptureScreenRgb(0, 0, size.x, size.y, rgb)) {
            return false;
        }
        image = wxImage(size.x, size.y, rgb.data(), true).Copy();
        return true;
    }

    // The number of colours on the screen where the instance's window is.
    static std::size_t WindowColours(const Instance& instance, const wxImage& screen)
    {
        const wxRect place = instance.panel->GetScreenRect().Intersect(wxRect(screen.GetSize()));
        std::set<unsigned> colours;
        for (int y = place.y; y <= place.GetBottom(); ++y) {
            for (int x = place.x; x <= place.GetRight(); ++x) {
                colours.insert(unsigned(screen.GetRed(x, y)) << 16 |
                               unsigned(screen.GetGreen(x, y)) << 8 | screen.GetBlue(x, y));
            }
        }
        return colours.size();
    }

    // Looks at the window every 100 ms until it shows `wanted` colours or
    // `milliseconds` have passed; the count last seen either way.
    std::string WaitForColours(const Instance& instance, int wanted, int milliseconds)
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            wxImage screen;
            if (!CaptureScreen(screen)) {
                return "= none";
            }
            const std::size_t colours = WindowColours(instance, screen);
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (colours >= static_cast<std::size_t>(wanted) || left <= 0) {
                return "= colours " + std::to_string(colours);
            }
            RunEventLoop(static_cast<int>(std::min<decltype(left)>(left, 100)));
        }
    }

    // The whole screen into a PNG file; the number of colours in the
    // instance's window, or "none" when the file cannot be written.
    std::string Screenshot(const Instance& instance, const std::string& path)
    {
        wxImage screen;
        if (!CaptureScreen(screen) ||
            !screen.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG)) {
            return "none";
        }
        return std::to_string(WindowColours(instance, screen));
    }

    std::string PrintEmbedded(Instance& instance)
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
            print.print.embedPrint = {place, &dc};
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
        return "= grey on the frame " + std::to_string(onFrame) + " of " + std::to_string(frame) +
               ", elsewhere " + std::to_string(elsewhere);
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
        wxInitAllImageHandlers();
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

// The application class is this file's own, and so is the wxGetApp the
// macro defines, which nothing here calls.
[[maybe_unused]] CHostApp& wxGetApp();
wxIMPLEMENT_APP_NO_MAIN(CHostApp);

int main(int argc, char** argv)
{
    void* library = argc == 3 ? ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : nullptr;
    std::ifstream in(argc == 3 ? argv[2] : "");
    if (library != nullptr) {
        g_getEntryPoints =
            reinterpret_cast<NP_GetEntryPointsFn>(::dlsym(library, "NP_GetEntryPoints"));
        g_initialize = reinterpret_cast<NP_InitializeFn>(::dlsym(library, "NP_Initialize"));
        g_shutdown = reinterpret_cast<NP_ShutdownFn>(::dlsym(library, "NP_Shutdown"));
    }
    if (!g_getEntryPoints || !g_initialize || !g_shutdown || !in) {
        std::fprintf(stderr, "usage: nphost <plug-in library> <script>\n%s\n",
                     library == nullptr && argc == 3 ? ::dlerror() : "");
        return 2;
    }
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> command;
        for (std::string word; words >> word;) {
            command.push_back(word);
        }
        if (!command.empty()) {
            g_script.push_back(std::move(command));
        }
    }
    return wxEntry(argc, argv);
}

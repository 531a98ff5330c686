// A stand-in for the player control in the plug-in's tests, registered
// under the player's class id. It prints what a test needs to see on
// standard output: its creation and end, and each Profile it is given with
// the section "QV" that file holds at that moment.
#include "webplug/pluginwnd.h"

#include "platform/com/server.h"
#include "platform/ini.h"

#include <wx/panel.h>

#include <cstdio>

using namespace qvplat;

namespace {

void Print(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

class CFakePlayer final : public WxComControl
{
public:
    explicit CFakePlayer(IUnknown* outer) : WxComControl(outer, Table(), nullptr)
    {
        Print("player created");
    }
    ~CFakePlayer() override { Print("player destroyed"); }

    static const DispatchTable& Table()
    {
        static const DispatchTable table =
            DispatchTableBuilder<CFakePlayer>(MakeGuid("{C47EED04-0719-4918-85E0-561909CC2982}"),
                                              "_DPlayerCtl")
                .Property(kDispidProfile, "Profile", &CFakePlayer::GetProfile,
                          &CFakePlayer::SetProfile, Persist::Yes)
                .Build();
        return table;
    }

private:
    std::string GetProfile() const { return m_profile; }
    void SetProfile(const std::string& path)
    {
        m_profile = path;
        std::string line = "player Profile=" + path + " QV:";
        const auto entries = ReadIniSection(path, "QV");
        if (!entries) {
            line += " (missing)";
        } else if (entries->empty()) {
            line += " (empty)";
        }
        for (const std::string& entry : entries.value_or(std::vector<std::string>{})) {
            line += " [" + entry + "]";
        }
        Print(line);
    }

    wxWindow* OnCreateWindow(wxWindow* parent, const wxRect& rect, long style,
                             wxWindowID id) override
    {
        auto* panel = new wxPanel(parent, id, rect.GetPosition(), rect.GetSize(), style);
        panel->SetBackgroundColour(wxColour(40, 90, 160));
        return panel;
    }

    std::string m_profile;
};

const ComClassInfo kClasses[] = {
    {.clsid = kClsidPlayerCtl,
     .create = &CreateComInstance<CFakePlayer>,
     .progId = "QVFAKE.Player.1",
     .typeName = "Fake Player",
     .control = true},
};
const ComServerInfo kServer{kClasses, nullptr, {}};

} // namespace

QV_COM_SERVER(kServer)

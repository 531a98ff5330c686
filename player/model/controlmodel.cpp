#include "player/model/controlmodel.h"

#include "player/model/playerids.h"

#include "core/settings/qvlog.h"

#include "platform/paths.h"

#include <algorithm>
#include <cctype>

namespace player {

namespace {

constexpr const char* kDebugFile = "c:\\QvDebug.log";

UtCString Text(const std::string& text)
{
    return UtCString(text.c_str());
}

bool IsPopupStyle(const UtCString& style)
{
    std::string upper(style.chars(), style.length());
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper == "POPUP";
}

} // namespace

ControlModel::ControlModel(const ControllerFactory& makeController) : m_directory(*this)
{
    masks = ToolbarMasks{};
    if (makeController) {
        m_controller = makeController();
    }
    controller = m_controller.get();
    directory = &m_directory;
}

ControlModel::~ControlModel()
{
    controller = nullptr;
    m_controller.reset();
    m_directory.Stop();
    TruncateSapOutput();
    QvDebugMsgTime("Control destructed");
}

// ---- Automation ------------------------------------------------------------------------

void ControlModel::SetPropList(const std::string& text)
{
    properties.AddProperties(Text(text));
}

int ControlModel::AddProp(const std::string& name, const std::string& value)
{
    properties.AddProperty(Text(name), Text(value));
    return 0;
}

std::string ControlModel::FindProp(const std::string& name) const
{
    const UtCString value = properties.GetProperty(Text(name));
    return std::string(value.chars(), value.length());
}

int ControlModel::ClearProp(const std::string& name)
{
    properties.ClearProperty(Text(name));
    return 0;
}

int ControlModel::ClearProps()
{
    properties.ClearProperties();
    const std::string windows = qvplat::WindowsDirectory();
    if (!windows.empty()) {
        properties.ReadProperties(Text(windows + "\\QvCtl.ini"), "QV");
    }
    return 0;
}

void ControlModel::SetVolume(int value)
{
    if (controller != nullptr) {
        controller->SetVolume(value);
    }
}

int ControlModel::GetVolume()
{
    return controller != nullptr ? controller->GetVolume() : -1;
}

void ControlModel::SetPosition(double position)
{
    if (controller != nullptr) {
        controller->SetPosition(position);
    }
}

double ControlModel::GetPosition()
{
    return controller != nullptr ? controller->GetPosition() : -1.0;
}

double ControlModel::GetLength()
{
    return controller != nullptr ? controller->GetLength() : -1.0;
}

int ControlModel::GetStreamState()
{
    return controller != nullptr ? controller->GetStreamState() : 0;
}

// ---- Start-up --------------------------------------------------------------------------

ControlModel::Startup ControlModel::RunStartup()
{
    Startup startup;
    m_startupDone = true;
    masks.present = kStartupPresent;
    masks.shown = kStartupShown;
    masks.enabled = kStartupEnabled;

    ClearProps();

    if (properties.GetBoolProperty("Debug")) {
        QvSetDebugFile(kDebugFile);
        QvDebugMsg("%s", "");
        QvDebugMsg("%s", "");
        QvDebugMsgTime("Session Beginning");
    }

    int limit = 0;
    if (properties.FindProperty("WatchTimerLimit", limit)) {
        m_watchLimit = limit < 1 ? 5 : limit;
        m_watchMinutes = 0;
        startup.watchTimer = true;
    }

    if (!profilePath.empty() && properties.ReadProperties(Text(profilePath), "QV") == 0) {
        // The player goes on with what it has; the reason is logged.
        QvDebugMsgTime("Profile \"%s\": no section QV could be read", profilePath.c_str());
    }
    if (!propListText.empty()) {
        properties.AddProperties(Text(propListText));
    }

    const bool useSapFile = properties.GetBoolProperty("UseSapFile");

    // The directory's settings: ViewOutsideUnicasts from the properties,
    // then the directory's registry key.
    m_directorySettings.ClearProperties();
    UtCString unicasts;
    if (properties.FindProperty("ViewOutsideUnicasts", unicasts)) {
        m_directorySettings.AddProperty("ViewOutsideUnicasts", unicasts);
    }
    m_directory.SetPropertyList(&m_directorySettings);
    bool startDirectory = true;
    UtCString sapFile;
    if (m_directorySettings.ReadRegistry(QvSapDb::registryKey, QvPropertyList::HKEY::LocalMachine) !=
        0) {
        sapFile = m_directorySettings.GetProperty("SapDbFile");
        startDirectory = m_directorySettings.Defined("SAPPort0");
    } else {
        m_directorySettings.AddProperty("SAPAddress0", "224.2.127.254");
        m_directorySettings.AddProperty("SAPPort0", "9875");
        m_directorySettings.AddProperty("SAPAddress1", "226.0.0.0");
        m_directorySettings.AddProperty("SAPPort1", "6318");
        m_directorySettings.WriteRegistry(QvSapDb::registryKey, QvPropertyList::HKEY::LocalMachine);
    }
    // The directory's scan thread reads these two: set under its lock.
    SetSapOutput(sapFile, useSapFile);
    if (startDirectory && !m_directory.IsStarted()) {
        const int result = m_directory.Start();
        if (result != 0) {
            QvDebugMsgTime("The SAP directory did not start (%d)", result);
        }
    }
    m_directory.SetPropertyList(nullptr);
    m_directorySettings.ClearProperties();
    if (useSapFile) {
        TruncateSapOutput(); // a file that cannot be made is ignored
    }

    toolbarShown = properties.GetBoolProperty("ToolBar");

    UtCString style;
    startup.popup = properties.FindProperty("WindowStyle", style) && IsPopupStyle(style);
    startup.autoStart = properties.GetBoolProperty("AutoStart");
    return startup;
}

void ControlModel::WatchTick()
{
    if (++m_watchMinutes >= m_watchLimit) {
        m_watchMinutes = 0;
        QvDebugMsgTime("Watch Timer");
    }
}

// ---- Window modes ----------------------------------------------------------------------

ControlModel::WindowChange ControlModel::NextWindowMode()
{
    switch (windowMode) {
    case kEmbedded:
        return WindowChange::Popup;
    case kPopup:
        if (controller != nullptr && controller->IsInitialized()) {
            controller->SetDisplayMode(1);
        }
        windowMode = kFullScreen;
        return WindowChange::Maximize;
    default:
        // Leaving mode 2 puts the video back (EnterWindowMode).
        return WindowChange::Embed;
    }
}

void ControlModel::EnterWindowMode(int mode)
{
    if (windowMode == kFullScreen && controller != nullptr) {
        controller->SetDisplayMode(0);
    }
    windowMode = mode;
}

void ControlModel::StopDirectory()
{
    m_directory.Stop();
}

} // namespace player

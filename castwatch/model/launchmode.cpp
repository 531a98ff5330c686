#include "castwatch/model/launchmode.h"

namespace castwatch {

QvPropertyList CommandLineProperties(int argc, const char* const* argv)
{
    QvPropertyList properties;
    for (int i = 1; i < argc; ++i) {
        properties.AddProperties(argv[i]);
    }
    return properties;
}

LaunchMode ChooseLaunchMode(const QvPropertyList& commandLine)
{
    if (commandLine.PropertyDefined("StartService")) {
        return LaunchMode::Service;
    }
    if (commandLine.PropertyDefined("Hide")) {
        return LaunchMode::Tray;
    }
    if (commandLine.PropertyDefined("-kill")) {
        return LaunchMode::Kill;
    }
    return commandLine.GetCount() > 0 ? LaunchMode::StandardArgs : LaunchMode::Desktop;
}

ModeTraits TraitsOf(LaunchMode mode)
{
    ModeTraits traits;
    switch (mode) {
    case LaunchMode::Service:
        traits.windows = false;
        traits.writesFile = true;
        break;
    case LaunchMode::Tray:
        traits.tray = true;
        traits.writesFile = true;
        traits.singleInstance = true;
        break;
    case LaunchMode::Desktop:
        traits.aboutAtStart = true;
        traits.singleInstance = true;
        break;
    case LaunchMode::Kill:
    case LaunchMode::StandardArgs:
        traits.windows = false;
        break;
    }
    return traits;
}

} // namespace castwatch

#include "player/model/toolbarmasks.h"

#include "player/model/playerids.h"

namespace player {

std::uint32_t ButtonBitOf(int command)
{
    for (const ButtonBit& button : kButtonBits) {
        if (button.command == command) {
            return button.bit;
        }
    }
    return 0;
}

void ToolbarMasks::ApplyAll(ToolbarView* view)
{
    for (const ButtonBit& button : kButtonBits) {
        const bool show = (present & button.bit) != 0 && (shown & button.bit) != 0;
        if (!show) {
            shown &= ~button.bit;
        }
        if (view != nullptr) {
            view->ShowButton(button.command, show);
            view->EnableButton(button.command, (enabled & button.bit) != 0);
        }
    }
}

void ToolbarMasks::Show(std::uint32_t mask, ToolbarView* view)
{
    for (const ButtonBit& button : kButtonBits) {
        if ((mask & button.bit) != 0 && (present & button.bit) != 0) {
            shown |= button.bit;
            if (view != nullptr) {
                view->ShowButton(button.command, true);
            }
        }
    }
}

void ToolbarMasks::Hide(std::uint32_t mask, ToolbarView* view)
{
    for (const ButtonBit& button : kButtonBits) {
        if ((mask & button.bit) != 0 && (present & button.bit) != 0) {
            shown &= ~button.bit;
            if (view != nullptr) {
                view->ShowButton(button.command, false);
            }
        }
    }
}

void ToolbarMasks::Enable(std::uint32_t mask, ToolbarView* view)
{
    for (const ButtonBit& button : kButtonBits) {
        if ((mask & button.bit) != 0 && (present & button.bit) != 0) {
            enabled |= button.bit;
            if (view != nullptr) {
                view->EnableButton(button.command, true);
            }
        }
    }
}

void ToolbarMasks::Disable(std::uint32_t mask, ToolbarView* view)
{
    for (const ButtonBit& button : kButtonBits) {
        if ((mask & button.bit) != 0 && (present & button.bit) != 0) {
            enabled &= ~button.bit;
            if (view != nullptr) {
                view->EnableButton(button.command, false);
            }
        }
    }
}

} // namespace player

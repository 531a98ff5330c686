#pragma once
// The frame's toolbar buttons as three masks (shown, enabled and present,
// one bit per command: playerids.h). The masks live in the player's
// context and survive frame changes; the operations update them and tell a
// toolbar, when there is one, what to show and enable.

#include <cstdint>

namespace player {

// A toolbar as the masks see it.
class ToolbarView
{
public:
    virtual ~ToolbarView() = default;
    virtual void ShowButton(int command, bool show) = 0;
    virtual void EnableButton(int command, bool enable) = 0;
};

struct ToolbarMasks
{
    std::uint32_t shown = 0xFFFFFFFF;
    std::uint32_t enabled = 0xFFFFFFFF;
    std::uint32_t present = 0xFFFFFFFF;

    // Each operation walks the twelve bits in ascending order; view may be
    // null (no toolbar), the masks change all the same.

    // A button is shown when present and shown (else its shown bit is
    // cleared), and enabled by its enabled bit.
    void ApplyAll(ToolbarView* view);
    // Only buttons present: show or hide them, setting or clearing their
    // shown bits.
    void Show(std::uint32_t mask, ToolbarView* view);
    void Hide(std::uint32_t mask, ToolbarView* view);
    // Only buttons present: enable or disable them, setting or clearing their
    // enabled bits.
    void Enable(std::uint32_t mask, ToolbarView* view);
    void Disable(std::uint32_t mask, ToolbarView* view);
};

} // namespace player

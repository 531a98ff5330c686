#pragma once
// A message box as a wx modal dialog, parented to the application's top
// window. Only on the user-interface thread; window programs install it
// through UiMessageBoxes (platform/ui/uimsgbox.h), which brings every box
// there.

namespace qvplat {

int ShowWxMessageDialog(const char* text, const char* caption, unsigned flags);

} // namespace qvplat

#include "playback/qvwnd.h"

QvDisplayEvents::~QvDisplayEvents() = default;
QvWnd::~QvWnd() = default;

#pragma once
// Marks what the shared library netcore exports. The static copy of the core
// is built with hidden visibility and exports nothing, so a process that
// loads both copies keeps two separate states.
#if defined(QV_NETCORE_SHARED)
#define QV_API __attribute__((visibility("default")))
#else
#define QV_API
#endif

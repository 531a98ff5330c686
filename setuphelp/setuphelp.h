#pragma once
// setuphelp: entry points for installation and uninstallation scripts.
//
// Exported by name with C linkage; every string is a narrow, NUL-terminated
// file name or text, and a null pointer counts as "". File names may be
// written the Windows way ("C:\Program Files\Castnet\player.exe"): they are
// mapped onto this system's directories (platform/paths.h).

#include <stdint.h>

#if defined(QV_SETUPHELP_SHARED)
#define SETUPHELP_API __attribute__((visibility("default")))
#else
#define SETUPHELP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Writes a desktop launcher for target at shortcut ("x.lnk" becomes
// "x.desktop"): Exec= the target, Name= the shortcut's stem, Comment= the
// description. The file is replaced in one step. Failures are not reported:
// the result is always 0.
SETUPHELP_API int CreateShortcut(const char* target, const char* shortcut, const char* description);

// Opens file: an executable (a bare name is looked up along PATH) starts
// with params split into arguments the way a shell splits them, without any
// expansion; any other existing file or a URL goes to xdg-open. The program
// runs in directory (when not empty), detached from the caller. show is
// accepted and ignored. Returns a value above 32 once the program runs, or a
// Windows shell error code of 32 or less (2 file not found, 3 directory not
// found, 5 access denied, 8 out of memory, 11 bad format, 31 no program to
// open the file with, 0 other failures).
SETUPHELP_API int DoShellExecute(const char* file, const char* params, const char* directory,
                                 int show);

// Runs program (looked up along PATH) with the arguments {"command", args}
// and waits for it. Returns its exit code (128 + the signal number when a
// signal ended it), or -1 when it cannot be started.
SETUPHELP_API int DoSpawnWait(const char* program, const char* args);

// Starts program like DoSpawnWait, detached, and then ends the calling
// process with exit code 0 (standard streams flushed, exit handlers not run).
// Returns -1, and only then, when the program cannot be started.
SETUPHELP_API int DoSpawnNoWait(const char* program, const char* args);

// Runs the uninstall command file "<InstallRoot>Bin\uninst.lau", where
// InstallRoot is the value of that name under HKEY_LOCAL_MACHINE
// "SOFTWARE\Corvel\Pictavo\Client". Returns 0 after the file ran, -1 when
// the key or value is missing and -11 when the file cannot be opened (each
// failure is shown in a message box). The arguments are ignored.
SETUPHELP_API int UninstInitialize(uint32_t reserved1, uint32_t reserved2, uint32_t reserved3);

// Does nothing and returns 0; the pair of UninstInitialize.
SETUPHELP_API int UninstUnInitialize(uint32_t reserved1, uint32_t reserved2, uint32_t reserved3);

#ifdef __cplusplus
}
#endif

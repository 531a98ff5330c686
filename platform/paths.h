#pragma once
// Well-known directories and the mapping of Windows-style file names.
//
// The system names some files by Windows conventions: "QvCtl.ini" in the
// Windows directory, "c:\QvDebug.log" at the root of drive C, ".\grabtool.ini"
// in the working directory. On this platform those places are ordinary
// directories:
//
//   Windows directory    $QV_WINDOWS_DIR, else <config>/castnet/windows
//   root of drive X      $QV_DRIVE_X_DIR (X upper case, e.g. QV_DRIVE_C_DIR),
//                        else <config>/castnet/drive_x (x lower case)
//   registry store       $QV_REGISTRY_DIR, else <config>/castnet/registry
//   runtime directory    $XDG_RUNTIME_DIR when it names an existing directory
//                        by an absolute path, else <config>/castnet (the place
//                        of lock files and other per-session state)
//
// where <config> is $XDG_CONFIG_HOME when it is an absolute path, else
// $HOME/.config (the home directory of the user database when HOME is unset).
// Each directory is created, with its parents, the first time it is asked
// for. A function returns "" when its directory can be neither found nor
// created.
//
// MapPath turns a file name written either way into a path of this system.
// Every part of the code that opens a file by a Windows-style name uses it,
// so the rules below hold everywhere:
//
//   1. A backslash is always a directory separator ('/' is one too).
//   2. "X:rest" (a drive letter and a colon) lies in the root directory of
//      drive X: "c:\QvDebug.log" -> <drive C>/QvDebug.log. The letter is not
//      case sensitive.
//   3. A name starting with a single backslash ("\temp\x") lies on drive C,
//      the drive of the working directory on the original platform; so does
//      a network name ("\\server\share\x" -> <drive C>/server/share/x).
//   4. In rules 2 and 3, "." and ".." are resolved in the name itself and ".."
//      never climbs above the drive's root, as on Windows: "c:\..\x" is
//      <drive C>/x.
//   5. A name starting with '/' is already a path of this system; only its
//      backslashes change (so "%s\\%s" of WindowsDirectory() and a name works).
//   6. A name with a directory part but no root (".\grabtool.ini", "logs\a")
//      is relative to the working directory.
//   7. A bare name without any directory part ("QvCtl.ini") is relative to
//      bareNameBase: the working directory, or the Windows directory (the rule
//      of the INI profile functions). With the Windows directory as base the
//      result is "" when that directory is not available.
//
// Upper and lower case in names are kept: "QvCtl.ini" and "qvctl.ini" are
// different files here.

#include <string>
#include <string_view>

namespace qvplat {

enum class PathBase {
    WorkingDirectory,
    WindowsDirectory,
};

// The user's configuration directory (see above), not created; "" when
// neither XDG_CONFIG_HOME, HOME nor the user database gives one.
std::string ConfigHome();

// The Windows directory, created on demand; "" when unavailable.
std::string WindowsDirectory();

// The root directory of a drive ('a'..'z' or 'A'..'Z'), created on demand;
// "" for another character or when unavailable.
std::string DriveDirectory(char letter);

// The directory of the registry store files, created on demand; "" when
// unavailable.
std::string RegistryDirectory();

// The runtime directory (see above), the fallback created on demand; "" when
// unavailable.
std::string RuntimeDirectory();

// Maps a Windows-style file name by the rules above. An empty name gives "".
std::string MapPath(std::string_view winPath, PathBase bareNameBase = PathBase::WorkingDirectory);

} // namespace qvplat

#pragma once
// Starting the capture engine program for the capture control.

#include <string>
#include <vector>

inline constexpr const char* kQvEngineProgram = "recordengine";
inline constexpr const char* kQvEngineArgument = "ControlLaunch";

// The result ShellExecute gives for a start that failed with this errno
// (0: it started): above 32 on success, else 2 file not found, 3 path not
// found, 5 access denied, 8 out of memory, 0 anything else.
int QvShellExecuteResult(int error);

// Starts `program` with the arguments in a session of its own (reaped when
// it ends); ShellExecute's result.
int QvStartProgram(const std::string& program, const std::vector<std::string>& args);

// Starts recordengine "ControlLaunch": the one beside the library that holds
// this code when there is one, else the first on PATH.
int QvLaunchRecordEngine();

#pragma once
// Starting other programs. `argv` is always the whole argument vector,
// argv[0] included; results are 0 or the errno of the failure (a program
// that cannot be run included).

#include <string>
#include <vector>

namespace qvplat {

// Starts `program` (a path, or a bare name looked up on PATH) with the
// arguments after argv[0], in a session of its own. A
// thread of this process waits for the child's end, so it never stays
// behind as a zombie. 0 with the child's id in *pid (when given), or the
// errno of the failure (a program that cannot be run included).
int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  int* pid = nullptr);

// Starts `program` (a path, or a bare name looked up on PATH) in a session
// of its own and leaves it: nothing here waits for its end. For a caller
// that hands over to the program and ends (the program is then handed to
// init, which reaps it).
int SpawnInNewSession(const std::string& program, const std::vector<std::string>& argv,
                      int* pid = nullptr);

// Starts `program` (a path, or a bare name looked up on PATH) and waits for
// its end, a signal that interrupts the wait included. 0 with the exit code
// in *exitCode (128 + the signal's number when a signal ended it, as a shell
// reports it).
int SpawnAndWait(const std::string& program, const std::vector<std::string>& argv, int* exitCode);

// The step at which SpawnAndConfirmExec failed.
enum class SpawnStage {
    Fork,      // the pipe, the child or the grandchild could not be made
    Directory, // the working directory could not be entered
    Exec,      // the program could not be run
};

// Starts the executable at `path` (taken as it is, no PATH search) as a
// grandchild of this process, in a session of its own, with every signal at
// its default action and none blocked, in `directory` when it is not empty;
// waits only for the exec's result, never for the program's end. The
// intermediate child ends at once and is reaped here, so the program is never
// a child of ours and leaves no zombie. 0 once the program runs; otherwise
// the errno of the failing step, with the step in *failedStage when given.
int SpawnAndConfirmExec(const std::string& path, const std::vector<std::string>& argv,
                        const std::string& directory, SpawnStage* failedStage = nullptr);

} // namespace qvplat

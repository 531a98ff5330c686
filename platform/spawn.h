#pragma once
// Starting another program that runs on by itself.

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

} // namespace qvplat

// The commands kv2_main.cpp lists that live in modules of their own. Each
// takes the arguments after its name and returns the process exit status.
#ifndef KV2_COMMANDS_H
#define KV2_COMMANDS_H

namespace kv2 {

// The exit statuses every command shares.
enum command_status { Succeeded = 0, Failed = 1, Misused = 2 };

int RunInfo(int ArgumentCount, char **Arguments);
int RunDump(int ArgumentCount, char **Arguments);
int RunMakeSample(int ArgumentCount, char **Arguments);

} // namespace kv2

#endif

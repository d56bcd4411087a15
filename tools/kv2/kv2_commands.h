// Commands of the kv2 tool that live in files of their own. Each takes the
// arguments after its name and returns the exit status: 0 on success, 1
// when the work failed, 2 when the arguments are wrong.
#ifndef KV2_COMMANDS_H
#define KV2_COMMANDS_H

int RunConvert(int ArgumentCount, char **Arguments);
int RunInfo(int ArgumentCount, char **Arguments);
int RunDump(int ArgumentCount, char **Arguments);
int RunMakeSample(int ArgumentCount, char **Arguments);
int RunTexture(int ArgumentCount, char **Arguments);
int RunCompress(int ArgumentCount, char **Arguments);
int RunBasis(int ArgumentCount, char **Arguments);
int RunPlay(int ArgumentCount, char **Arguments);
int RunImport(int ArgumentCount, char **Arguments);

#endif

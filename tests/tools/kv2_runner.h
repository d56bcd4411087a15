// Running the kv2 tool as a user does: output, error lines and exit status.
#ifndef KELVO_KV2_RUNNER_H
#define KELVO_KV2_RUNNER_H

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

std::string TemporaryPath(char const *Name);

namespace {

struct run_result {
    int Status;
    std::string Out;
    std::string Err;
};

inline std::string Quote(std::string const &Text) {
    std::string Quoted = "'";
    for (char Character : Text) {
        Quoted += Character == '\'' ? std::string("'\\''") : std::string(1, Character);
    }
    return Quoted + "'";
}

inline std::string ReadText(std::string const &Path) {
    std::ifstream File(Path, std::ios::binary);
    std::stringstream Content;
    Content << File.rdbuf();
    return Content.str();
}

// Status -1 when the tool did not exit by itself. Shell is run first, in
// the same shell (to set limits, say).
inline run_result RunKv2(std::vector<std::string> const &Arguments, std::string const &Shell = "") {
    std::string Out = TemporaryPath("kv2_stdout");
    std::string Err = TemporaryPath("kv2_stderr");
    std::string Command = Shell + Quote(KELVO_KV2_PATH);
    for (std::string const &Argument : Arguments) {
        Command.append(" ").append(Quote(Argument));
    }
    // Piece by piece: g++ 12 warns falsely about operator+ on string literals here.
    Command.append(" >").append(Quote(Out)).append(" 2>").append(Quote(Err));
    Command.append(" </dev/null");
    int Raw = system(Command.c_str());
    run_result Result = {WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1, ReadText(Out), ReadText(Err)};
    unlink(Out.c_str());
    unlink(Err.c_str());
    return Result;
}

} // namespace

#endif

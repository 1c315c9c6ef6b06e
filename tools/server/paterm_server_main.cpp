// paterm-server: a management server for people and tests. Parses the
// command line, starts the server, and runs the commands given as
// arguments, typed at a prompt, or read one per line from standard input.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "tools/server/brd_wav.h"
#include "tools/server/command_parser.h"
#include "tools/server/server_app.h"
#include "tools/server/server_options.h"

namespace {

using srvproto::Command;
using srvproto::ServerApp;

// Arguments: the first refused or failed command ends the run with 1.
int RunArguments(ServerApp& app, const srvproto::ServerOptions& options) {
    for (const auto& words : options.commands) {
        Command cmd;
        std::string error;
        if (srvproto::ParseWords(words, &cmd, &error) != 0) {
            app.SayError(error);
            return 1;
        }
        const int result = app.Execute(cmd);
        if (result < 0) return 1;
        if (result > 0) break;
    }
    return 0;
}

// Standard input: errors are printed and the next line is read; the exit
// status says whether any line failed.
int RunLines(ServerApp& app, bool prompt) {
    int status = 0;
    std::string line;
    for (;;) {
        if (prompt) app.Prompt();
        if (!std::getline(std::cin, line)) break;
        Command cmd;
        std::string error;
        if (srvproto::ParseCommand(line, &cmd, &error) != 0) {
            app.SayError(error);
            status = 1;
            continue;
        }
        const int result = app.Execute(cmd);
        if (result < 0) status = 1;
        if (result > 0) break;
    }
    if (prompt) std::printf("\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    srvproto::ServerOptions options;
    std::string error;
    if (srvproto::ParseServerOptions(argc, argv, &options, &error) != 0) {
        std::fprintf(stderr, "paterm-server: %s\n%s", error.c_str(), srvproto::ServerUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(srvproto::ServerUsage(), stdout);
        std::fputs(srvproto::CommandHelp(), stdout);
        return 0;
    }
    ServerApp app(options);
    if (!options.brdWav.empty()) {
        auto recorder = std::make_unique<srvproto::BrdWavRecorder>();
        if (recorder->Open(options.brdWav, &error) != 0) {
            app.SayError(error);
            return 1;
        }
        app.SetFrameSink(std::move(recorder));
    }
    if (app.Start() != 0) return 1;
    const int status = options.commands.empty() ? RunLines(app, ::isatty(STDIN_FILENO) == 1)
                                                : RunArguments(app, options);
    app.Stop();
    return status;
}

// Splitting, recognising and mapping the program's shell commands.
#include "board/sim/shell_plan.h"

#include <glob.h>
#include <unistd.h>

#include <cstdlib>

#include "board/sim/path_map.h"

namespace sim {
namespace {

struct HostTool {
    const char* terminalName;
    const char* hostName;
};

constexpr HostTool kHostTools[] = {
    {"/bin/tar", "tar"},     {"/bin/cp", "cp"},       {"/bin/rm", "rm"},
    {"/bin/mkdir", "mkdir"}, {"/bin/chmod", "chmod"}, {"ls", "ls"},
};

constexpr const char* kNandDevice = "/dev/mtd2";

ShellPlan Refuse(std::string reason) {
    ShellPlan plan;
    plan.action = ShellAction::kRefused;
    plan.reason = std::move(reason);
    return plan;
}

ShellPlan NotFound(std::string reason) {
    ShellPlan plan;
    plan.action = ShellAction::kNotFound;
    plan.reason = std::move(reason);
    return plan;
}

bool HasGlob(const std::string& s) { return s.find_first_of("*?[") != std::string::npos; }

// Appends the matches of pattern (a host path), or the pattern itself when
// nothing matches, as a shell does. strip is cut off each match.
void ExpandGlob(const std::string& pattern, size_t strip, std::vector<std::string>* out) {
    glob_t matches{};
    if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
        for (size_t i = 0; i < matches.gl_pathc; ++i) out->push_back(std::string(matches.gl_pathv[i]).substr(strip));
    } else {
        out->push_back(pattern.substr(strip));
    }
    ::globfree(&matches);
}

// Maps one argument of a host tool. False (with *reason) refuses the command.
bool MapArgument(const std::string& root, const std::string& token, std::vector<std::string>* out,
                 std::string* reason) {
    if (HasDotDotComponent(token)) {
        *reason = "'..' in " + token;
        return false;
    }
    if (token[0] == '-') {
        // "-C/etc" or "--directory=/etc" would name a host path the map never sees.
        if (token.find('/') != std::string::npos) {
            *reason = "a path inside option " + token;
            return false;
        }
        out->push_back(token);
        return true;
    }
    if (token[0] != '/') {  // relative to the working directory, the root
        if (HasGlob(token)) ExpandGlob(root + "/" + token, root.size() + 1, out);
        else out->push_back(token);
        return true;
    }
    std::string normal = NormalizeTerminalPath(token);
    std::string mapped = MapUnderRoot(root, normal);
    // "cp x /opt/temp/" copies into the directory: the trailing '/' matters.
    if (token.back() == '/' && normal != "/") mapped += '/';
    if (HasGlob(mapped)) ExpandGlob(mapped, 0, out);
    else out->push_back(mapped);
    return true;
}

// The terminal path a mapped argument names ("" for an option).
std::string TerminalPathOf(const std::string& root, const std::string& arg) {
    if (arg[0] == '-') return "";
    if (arg.compare(0, root.size(), root) == 0 && (arg.size() == root.size() || arg[root.size()] == '/'))
        return NormalizeTerminalPath(arg.size() == root.size() ? "/" : arg.substr(root.size()));
    return NormalizeTerminalPath("/" + arg);  // relative to the root
}

ShellPlan PlanHostTool(const std::string& root, const HostTool& tool, const std::vector<std::string>& tokens) {
    ShellPlan plan;
    plan.action = ShellAction::kHostTool;
    plan.argv.push_back(tool.hostName);
    for (size_t i = 1; i < tokens.size(); ++i) {
        std::string reason;
        if (!MapArgument(root, tokens[i], &plan.argv, &reason)) return Refuse(reason);
    }
    // Checked after mapping, so that globs and relative paths are covered too.
    for (size_t i = 1; i < plan.argv.size(); ++i) {
        std::string terminal = TerminalPathOf(root, plan.argv[i]);
        if (PathIsUnder(terminal, "/sim")) return Refuse(plan.argv[i] + " is the board's own directory");
        if (terminal == "/" && std::string(tool.hostName) == "rm") return Refuse("rm of the whole root");
    }
    return plan;
}

// A file argument of the board's own commands: absolute or relative to the root.
bool MapFile(const std::string& root, const std::string& token, std::string* out, std::string* reason) {
    if (HasDotDotComponent(token)) {
        *reason = "'..' in " + token;
        return false;
    }
    std::string normal = NormalizeTerminalPath(token[0] == '/' ? token : "/" + token);
    if (PathIsUnder(normal, "/sim")) {
        *reason = token + " is the board's own directory";
        return false;
    }
    *out = MapUnderRoot(root, normal);
    return true;
}

ShellPlan PlanWget(const std::string& root, const std::vector<std::string>& tokens) {
    if (::access((root + "/tmp/wget").c_str(), F_OK) != 0) return NotFound("/tmp/wget: not found");
    size_t at = 1;
    if (at < tokens.size() && tokens[at] == "--no-check-certificate") ++at;
    if (tokens.size() != at + 3 || tokens[at + 1] != "-O") return Refuse("unsupported wget arguments");
    const std::string& url = tokens[at];
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return Refuse("only http:// downloads");
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    ShellPlan plan;
    plan.action = ShellAction::kWget;
    plan.urlPath = slash == std::string::npos ? "/" : rest.substr(slash);
    size_t colon = authority.find(':');
    plan.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        std::string port = authority.substr(colon + 1);
        char* end = nullptr;
        long value = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value < 1 || value > 65535) return Refuse("bad port in " + url);
        plan.port = static_cast<uint16_t>(value);
    }
    if (plan.host.empty()) return Refuse("no host in " + url);
    std::string reason;
    if (!MapFile(root, tokens[at + 2], &plan.file, &reason)) return Refuse(reason);
    return plan;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\n' || line[pos] == '\r'))
            ++pos;
        size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\n' && line[pos] != '\r')
            ++pos;
        if (pos > start) tokens.emplace_back(line.substr(start, pos - start));
    }
    return tokens;
}

ShellPlan PlanCommand(const std::string& root, std::string_view line) {
    std::vector<std::string> tokens = SplitCommandLine(line);
    if (tokens.empty()) return NotFound("empty command");
    const std::string& name = tokens[0];
    for (const HostTool& tool : kHostTools)
        if (name == tool.terminalName) return PlanHostTool(root, tool, tokens);

    ShellPlan plan;
    if (tokens.size() == 1 && name == "reboot") {
        plan.action = ShellAction::kReboot;
        return plan;
    }
    if (tokens.size() == 2 && name == "hwclock" && tokens[1] == "-w") {
        plan.action = ShellAction::kHwclockWrite;
        return plan;
    }
    if (tokens.size() == 2 && name == "/usr/sbin/flash_eraseall" && tokens[1] == kNandDevice) {
        plan.action = ShellAction::kFlashErase;
        return plan;
    }
    if (tokens.size() == 4 && name == "/usr/sbin/nandwrite" && tokens[1] == "-p" && tokens[2] == kNandDevice) {
        std::string reason;
        if (!MapFile(root, tokens[3], &plan.file, &reason)) return Refuse(reason);
        plan.action = ShellAction::kNandWrite;
        return plan;
    }
    if (name == "/tmp/wget") return PlanWget(root, tokens);
    return NotFound(name + ": not found");
}

}  // namespace sim

// Splitting, recognising and mapping the program's shell commands, the
// download tool's among them.
#include "board/sim/shell_plan.h"

#include <glob.h>
#include <sys/stat.h>

#include <cctype>

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
constexpr const char* kWgetPath = "/tmp/wget";  // unpacked there by the program at start-up

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

// "http://...", "ftp://...": a URL, never a path.
bool IsUrl(const std::string& token) {
    size_t scheme = token.find("://");
    if (scheme == std::string::npos || scheme == 0 || !std::isalpha(static_cast<unsigned char>(token[0])))
        return false;
    for (size_t i = 1; i < scheme; ++i) {
        unsigned char c = static_cast<unsigned char>(token[i]);
        if (!std::isalnum(c) && c != '+' && c != '.' && c != '-') return false;
    }
    return true;
}

// Maps one argument of a host tool; URLs pass unmapped when urls is set.
// False (with *reason) refuses the command.
bool MapArgument(const std::string& root, const std::string& token, bool urls, std::vector<std::string>* out,
                 std::string* reason) {
    if (HasDotDotComponent(token)) {
        *reason = "'..' in " + token;
        return false;
    }
    if (urls && IsUrl(token)) {
        out->push_back(token);
        return true;
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

// argv: the tool and the arguments the board adds; tokens[1..]: the
// program's arguments, mapped.
ShellPlan PlanTool(const std::string& root, std::vector<std::string> argv, const std::vector<std::string>& tokens,
                   bool urls) {
    ShellPlan plan;
    plan.action = ShellAction::kHostTool;
    plan.argv = std::move(argv);
    const size_t first = plan.argv.size();
    for (size_t i = 1; i < tokens.size(); ++i) {
        std::string reason;
        if (!MapArgument(root, tokens[i], urls, &plan.argv, &reason)) return Refuse(reason);
    }
    // Checked after mapping, so that globs and relative paths are covered too.
    for (size_t i = first; i < plan.argv.size(); ++i) {
        if (urls && IsUrl(plan.argv[i])) continue;
        std::string terminal = TerminalPathOf(root, plan.argv[i]);
        if (PathIsUnder(terminal, "/sim")) return Refuse(plan.argv[i] + " is the board's own directory");
        if (terminal == "/" && plan.argv[0] == "rm") return Refuse("rm of the whole root");
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

// The wget options the terminal's download commands use. Others are
// refused: some run a host command (--use-askpass) or read settings that
// may name host paths (-e, --config), out of the map's sight.
constexpr const char* kWgetOptions[] = {
    "--no-check-certificate", "-O", "--output-document", "-q", "--quiet", "-nv", "--no-verbose",
    "-c",                     "--continue", "-S", "--server-response",
};

bool IsAllowedWgetOption(const std::string& token) {
    for (const char* option : kWgetOptions)
        if (token == option) return true;
    return false;
}

// What the board puts before the program's own arguments: no host
// configuration (proxies!) and no HSTS file, and a bounded wait for a
// dead server; a failed download is not tried again.
std::vector<std::string> WgetFixedArguments(const std::string& root) {
    return {root + kWgetPath, "--no-config", "--no-hsts", "--timeout=" + std::to_string(kDownloadTimeoutS),
            "--tries=1"};
}

ShellPlan PlanWget(const std::string& root, const std::vector<std::string>& tokens) {
    struct stat st;
    const std::string tool = root + kWgetPath;
    if (::lstat(tool.c_str(), &st) != 0) return NotFound(std::string(kWgetPath) + ": not found");
    // A link could lead to any host program: only a file unpacked into the root runs.
    if (!S_ISREG(st.st_mode)) return Refuse(std::string(kWgetPath) + " is no regular file");
    for (size_t i = 1; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.size() > 1 && token[0] == '-' && !IsAllowedWgetOption(token))
            return Refuse("wget option " + token + " is not allowed");
    }
    return PlanTool(root, WgetFixedArguments(root), tokens, true);
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
        if (name == tool.terminalName) return PlanTool(root, {tool.hostName}, tokens, false);

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
    if (name == kWgetPath) return PlanWget(root, tokens);
    return NotFound(name + ": not found");
}

}  // namespace sim

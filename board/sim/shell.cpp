// Carrying out a planned shell command.
#include "board/sim/shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "board/sim/flash.h"
#include "board/sim/http_get.h"
#include "board/sim/unique_fd.h"

namespace sim {
namespace {

std::string DescribeStatus(int status) {
    if (status < 0) return "not started";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

bool WriteFile(const std::string& path, const std::string& data) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd.Get(), data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int Shell::Run(const std::string& line) {
    ShellPlan plan = PlanCommand(root_->dir(), line);
    std::string note;
    int status = Execute(plan, &note);
    std::string entry = "\"" + line + "\" -> " + DescribeStatus(status);
    if (!note.empty()) entry += " (" + note + ")";
    log_->Add(LogKind::kShell, entry);
    if (plan.action == ShellAction::kNotFound) log_->Add(LogKind::kUnmodelled, "shell command \"" + line + "\"");
    if (plan.action == ShellAction::kReboot) reboot_();
    return status;
}

int Shell::Execute(const ShellPlan& plan, std::string* note) {
    std::string error;
    switch (plan.action) {
    case ShellAction::kHostTool: {
        int status = tools_->Run(plan.argv, root_->dir());
        return status < 0 ? ExitStatus(127) : status;
    }
    case ShellAction::kReboot:
        *note = "the board resets";
        return 0;
    case ShellAction::kHwclockWrite:
        clock_->WriteHardware();
        return 0;
    case ShellAction::kFlashErase:
        if (!EraseNand(root_->Host("/dev/mtd2"), &error)) break;
        console_->Append("Erasing /dev/mtd2: done\n");
        return 0;
    case ShellAction::kNandWrite:
        if (!NandWrite(root_->Host("/dev/mtd2"), plan.file, &error)) break;
        console_->Append("Writing data to /dev/mtd2: done\n");
        return 0;
    case ShellAction::kWget:
        return Download(plan, note);
    case ShellAction::kNotFound:
        console_->Append("sh: " + plan.reason + "\n");
        *note = plan.reason;
        return ExitStatus(127);
    case ShellAction::kRefused:
        *note = "refused: " + plan.reason;
        return ExitStatus(1);
    }
    console_->Append(error + "\n");
    *note = error;
    return ExitStatus(1);
}

int Shell::Download(const ShellPlan& plan, std::string* note) {
    std::string url = "http://" + plan.host + ":" + std::to_string(plan.port) + plan.urlPath;
    // As wget -O does, the output file exists (empty) even if the download fails.
    if (!WriteFile(plan.file, "")) {
        *note = "cannot write the output file";
        return ExitStatus(1);
    }
    HttpResult got = HttpGet(plan.host, plan.port, plan.urlPath, kDownloadTimeoutMs, &stopping_);
    if (got.status != 200) {
        *note = url + ": " + (got.error.empty() ? "HTTP " + std::to_string(got.status) : got.error);
        console_->Append("wget: " + *note + "\n");
        return ExitStatus(1);
    }
    if (!WriteFile(plan.file, got.body)) {
        *note = "cannot write the output file";
        return ExitStatus(1);
    }
    *note = url + ": HTTP 200, " + std::to_string(got.body.size()) + " bytes";
    console_->Append("wget: " + *note + "\n");
    return 0;
}

}  // namespace sim

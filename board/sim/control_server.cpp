// Control commands: reading request lines, dispatching, writing replies.
#include "board/sim/control_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "board/sim/unix_socket.h"

namespace sim {
namespace {

constexpr size_t kMaxControlConnections = 16;
constexpr size_t kMaxLogEntriesPerReply = 1000;

Json Ok() { return Json::Object().Set("ok", true); }

Json Error(const std::string& why) { return Json::Object().Set("ok", false).Set("error", why); }

using Command = Json (*)(SimulatedBoard*, const Json&);

Json StatusCommand(SimulatedBoard* board, const Json&) {
    Json reply = StatusJson(board->Status());
    Json out = Ok();
    for (size_t i = 0; i < reply.Keys().size(); ++i) out.Set(reply.Keys()[i], reply.Items()[i]);
    return out;
}

Json LogCommand(SimulatedBoard* board, const Json& request) {
    double from = request.NumberAt("from", 0);
    if (from < 0) return Error("\"from\" must be 0 or more");
    uint64_t next = 0;
    Json entries = Json::Array();
    for (const LogEntry& e : board->LogFrom(static_cast<uint64_t>(from), kMaxLogEntriesPerReply, &next))
        entries.Push(LogEntryJson(e));
    return Ok().Set("entries", std::move(entries)).Set("next", next);
}

Json StallCommand(SimulatedBoard* board, const Json&) {
    board->Stall();
    return Ok();
}

Json ResumeCommand(SimulatedBoard* board, const Json&) {
    board->Resume();
    return Ok();
}

Json StopCommand(SimulatedBoard*, const Json&) { return Ok(); }  // the stop itself follows the reply

Json NetlinkEventCommand(SimulatedBoard* board, const Json& request) {
    double type = request.NumberAt("type", -1);
    double value = request.NumberAt("value", 0);
    double port = request.NumberAt("port", 0);
    if (type < 0 || type > 255 || value < 0 || value > 255) return Error("\"type\" and \"value\" must be 0..255");
    if (port < 0 || port > 4294967295.0) return Error("bad \"port\"");
    if (!board->DeliverEvent(static_cast<uint32_t>(port), static_cast<uint8_t>(type), static_cast<uint8_t>(value)))
        return Error("no netlink socket bound to that port");
    return Ok();
}

struct CommandEntry {
    const char* name;
    Command run;
};

constexpr CommandEntry kCommands[] = {
    {"status", StatusCommand},          {"log", LogCommand},   {"player.stall", StallCommand},
    {"player.resume", ResumeCommand},   {"stop", StopCommand}, {"netlink.event", NetlinkEventCommand},
};

bool WriteLine(int fd, const std::string& text) {
    std::string line = text + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Json StatusJson(const BoardStatus& s) {
    Json watchdog = Json::Object()
                        .Set("opened", s.watchdog.opened)
                        .Set("armed", s.watchdog.armed)
                        .Set("timeout_s", s.watchdog.timeoutS)
                        .Set("reset_after_s", s.watchdog.effectiveTimeoutS)
                        .Set("feeds", s.watchdog.feeds)
                        .Set("last_feed_ms", s.watchdog.lastFeedMs)
                        .Set("stall_requested", s.watchdog.stallRequested)
                        .Set("holding", s.watchdog.holding);
    Json resets = Json::Array();
    for (const ResetRecord& r : s.resets) resets.Push(Json::Object().Set("cause", r.cause).Set("ms", r.ms));
    return Json::Object()
        .Set("uptime_ms", s.uptimeMs)
        .Set("program_starts", s.programStarts)
        .Set("program_running", s.programRunning)
        .Set("program_pid", s.programPid)
        .Set("last_exit", s.lastExit)
        .Set("watchdog", std::move(watchdog))
        .Set("resets", std::move(resets))
        .Set("card_present", s.cardPresent)
        .Set("netlink_port", static_cast<uint64_t>(s.netlinkPort));
}

Json LogEntryJson(const LogEntry& e) {
    return Json::Object()
        .Set("pos", e.position)
        .Set("ms", e.ms)
        .Set("kind", LogKindName(e.kind))
        .Set("detail", e.detail);
}

std::string ControlServer::Handle(const std::string& line, bool* stop) {
    if (stop) *stop = false;
    std::string error;
    std::optional<Json> request = Json::Parse(line, &error);
    if (!request) return Error("bad JSON: " + error).Dump();
    if (request->type() != Json::Type::kObject) return Error("a request is a JSON object").Dump();
    std::string cmd = request->StringAt("cmd");
    for (const CommandEntry& c : kCommands) {
        if (cmd != c.name) continue;
        if (stop) *stop = c.run == StopCommand;
        return c.run(board_, *request).Dump();
    }
    return Error("unknown command \"" + cmd + "\"").Dump();
}

void ControlServer::Serve(int fd) {
    std::string buffer;
    char chunk[4096];
    for (;;) {
        size_t eol;
        while ((eol = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, eol);
            buffer.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            bool stop = false;
            std::string reply = Handle(line, &stop);
            if (!WriteLine(fd, reply) && !stop) return;
            if (stop) {
                board_->log().Add(LogKind::kControl, "stop: power off");
                board_->RequestStop();
            }
        }
        if (buffer.size() > kMaxLine) {
            WriteLine(fd, Error("request line too long").Dump());
            return;
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

bool ControlServer::Start(const std::string& socketPath, std::string* error) {
    UniqueFd listener = ListenUnix(socketPath, SOCK_STREAM | SOCK_CLOEXEC, 8);
    if (!listener) {
        *error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
        return false;
    }
    server_ = std::make_unique<SocketServer>(std::move(listener), [this](int fd) { Serve(fd); },
                                             kMaxControlConnections);
    return server_->Start();
}

void ControlServer::Stop() {
    if (server_) server_->Stop();
}

}  // namespace sim

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

// An event raised through the netlink event module: delivered, or why not.
Json EventReply(int result) {
    Json reply = Ok().Set("delivered", result == 0);
    if (result != 0)
        reply.Set("why", result == -ESRCH    ? "no process registered"
                         : result == -ENODEV ? "netlink module not loaded"
                                             : "no socket bound to the registered process");
    return reply;
}

Json CardInsertCommand(SimulatedBoard* board, const Json&) { return EventReply(board->SetCardPresent(true)); }

Json CardRemoveCommand(SimulatedBoard* board, const Json&) { return EventReply(board->SetCardPresent(false)); }

Json AudioDetectCommand(SimulatedBoard* board, const Json&) { return EventReply(board->RaiseAudioEvent(true)); }

Json AudioLoseCommand(SimulatedBoard* board, const Json&) { return EventReply(board->RaiseAudioEvent(false)); }

Json RfKeyCommand(SimulatedBoard* board, const Json& request) {
    const double code = request.NumberAt("code", -1);
    if (!(code >= 0 && code <= 15) || code != static_cast<int>(code) || !board->PressRfKey(static_cast<int>(code)))
        return Error("\"code\" must be 0..15");
    return Ok();
}

Json DecoderStatsCommand(SimulatedBoard* board, const Json&) {
    const hw::Vs1053::Stats s = board->DecoderStats();
    return Ok()
        .Set("bytes_received", s.sdiBytes)
        .Set("chip_resets", s.hardwareResets)
        .Set("software_resets", s.softwareResets)
        .Set("cancels", s.cancels)
        .Set("decoded_seconds", s.decodedSeconds)
        .Set("wav", s.wavPath)
        .Set("wav_seconds", s.wavSeconds)
        .Set("wav_samples", s.wavSamples)
        .Set("wav_rate", s.wavRate)
        .Set("wav_channels", s.wavChannels)
        .Set("bit_rate", s.bitRate)
        .Set("buffered", s.buffered)
        .Set("dreq", s.dreq)
        .Set("dreq_fault", s.dreqFault)
        .Set("in_reset", s.inReset)
        .Set("overrun_bytes", s.overrunBytes)
        .Set("mode", static_cast<int>(s.mode))
        .Set("clockf", static_cast<int>(s.clockf));
}

Json DreqFaultCommand(SimulatedBoard* board, const Json& request) {
    const Json* on = request.Find("on");
    if (!on || on->type() != Json::Type::kBool) return Error("\"on\" must be true or false");
    board->SetDreqFault(on->AsBool());
    return Ok().Set("dreq_fault", on->AsBool());
}

Json KernelLogCommand(SimulatedBoard* board, const Json& request) {
    const double from = request.NumberAt("from", 0);
    if (from < 0) return Error("\"from\" must be 0 or more");
    uint64_t next = 0;
    Json lines = Json::Array();
    for (const kernel::KernelLogLine& l : board->KernelLog(static_cast<uint64_t>(from), kMaxLogEntriesPerReply, &next))
        lines.Push(Json::Object().Set("seq", l.seq).Set("us", l.usec).Set("level", l.level).Set("text", l.text));
    return Ok().Set("lines", std::move(lines)).Set("next", next).Set("bugs", board->KernelBugs());
}

Json KernelModulesCommand(SimulatedBoard* board, const Json&) {
    Json modules = Json::Array();
    for (const kernel::ModuleInfo& m : board->KernelModules()) {
        Json needs = Json::Array();
        for (const std::string& n : m.needs) needs.Push(n);
        modules.Push(Json::Object()
                         .Set("name", m.name)
                         .Set("loaded", m.loaded)
                         .Set("license", m.license)
                         .Set("description", m.description)
                         .Set("vermagic", m.vermagic)
                         .Set("needs", std::move(needs))
                         .Set("open_files", m.refs));
    }
    return Ok().Set("modules", std::move(modules));
}

struct CommandEntry {
    const char* name;
    Command run;
};

constexpr CommandEntry kCommands[] = {
    {"status", StatusCommand},          {"log", LogCommand},   {"player.stall", StallCommand},
    {"player.resume", ResumeCommand},   {"stop", StopCommand}, {"netlink.event", NetlinkEventCommand},
    {"rf.key", RfKeyCommand},           {"card.insert", CardInsertCommand},
    {"card.remove", CardRemoveCommand}, {"audio.detect", AudioDetectCommand},
    {"audio.lose", AudioLoseCommand},   {"decoder.stats", DecoderStatsCommand},
    {"decoder.dreq_fault", DreqFaultCommand}, {"kernel.log", KernelLogCommand},
    {"kernel.modules", KernelModulesCommand},
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

// The running server: its sockets, the announcer and receiver threads, the
// upgrade file server, and the execution of one parsed command. Every line
// it prints goes through one lock, so lines of different threads never mix.
#ifndef PATERM_TOOLS_SERVER_SERVER_APP_H
#define PATERM_TOOLS_SERVER_SERVER_APP_H

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/server/brd_stream.h"
#include "tools/server/command_parser.h"
#include "tools/server/http_file_server.h"
#include "tools/server/server_options.h"
#include "tools/server/terminal_table.h"

namespace srvproto {

class ServerApp {
public:
    explicit ServerApp(const ServerOptions& options) : opt_(options) {}
    ~ServerApp() { Stop(); }
    ServerApp(const ServerApp&) = delete;
    ServerApp& operator=(const ServerApp&) = delete;

    // Before Start: where valid frames go besides the figures (--brd-wav).
    void SetFrameSink(std::unique_ptr<BrdFrameSink> sink) { sink_ = std::move(sink); }
    // Opens the sockets and starts the threads; 0, or -1 after printing why.
    int Start();
    void Stop();
    // 0 done, 1 quit asked, -1 failed (printed).
    int Execute(const Command& cmd);

    void Say(const std::string& line);
    void SayError(const std::string& text);
    void Prompt();

private:
    int OpenSockets();
    void AnnounceLoop();
    void ReceiveLoop();
    void OnServerPort(const uint8_t* buf, size_t n, uint32_t fromAddr, const std::string& from);
    void OnGroupAnswer(const uint8_t* buf, size_t n, const std::string& from);
    void OnStream(const uint8_t* buf, size_t n, uint32_t fromAddr, int64_t nowMs);
    void StreamTick(int64_t nowMs);
    int SendToTerminal(const Bytes& frame, const std::string& what);
    int SendToGroup(const Bytes& frame, const std::string& what);
    int Announce();
    uint32_t LocalAddressTowardTerminal() const;
    int Upgrade(const Command& cmd);
    int AskVersion();
    int Discover();
    int Login(const Command& cmd);
    int SendGrant(const Command& cmd);
    int Choose(const Command& cmd);
    int Select(const Command& cmd);
    void ListTerminals();
    uint64_t Counted(const uint64_t& counter);
    // Waits until the counter passes seen or timeout; true when it did.
    bool WaitAnswer(const uint64_t& counter, uint64_t seen, uint32_t ms);
    void Sleep(uint32_t ms);

    ServerOptions opt_;
    int sendFd_ = -1, serverFd_ = -1, groupFd_ = -1, streamFd_ = -1;
    std::FILE* streamOut_ = nullptr;
    // Receiver thread only: each terminal's stream has its figures; the file
    // and the sink take the frames of one of them (recorded_, 0 for none yet),
    // so that two streams at once are not mixed into one.
    std::map<uint32_t, BrdStreamStats> streams_;
    uint32_t recorded_ = 0;
    std::unique_ptr<BrdFrameSink> sink_;  // receiver thread only, once started
    HttpFileServer http_;
    std::thread announcer_, receiver_;

    std::mutex printMutex_;
    std::mutex mutex_;  // stopping_, the answer counters
    std::condition_variable changed_;
    bool stopping_ = false;
    uint64_t versions_ = 0, searches_ = 0, logins_ = 0;
    TerminalTable terminals_;  // under mutex_
    std::mutex sendMutex_;  // sendFd_
};

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_SERVER_APP_H

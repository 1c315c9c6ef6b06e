// A small HTTP/1.0 server on a thread of its own that serves one file at
// one path: what the terminal's download of an upgrade package needs.
// GET and HEAD of the path answer 200 with the file read at request time;
// other paths 404, other methods 501, a malformed request 400. One
// connection at a time, each bounded by a time-out.
#ifndef PATERM_TOOLS_SERVER_HTTP_FILE_SERVER_H
#define PATERM_TOOLS_SERVER_HTTP_FILE_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace srvproto {

class HttpFileServer {
public:
    // Called on the server's thread, one line per request.
    using Logger = std::function<void(const std::string&)>;

    HttpFileServer() = default;
    ~HttpFileServer() { Stop(); }
    HttpFileServer(const HttpFileServer&) = delete;
    HttpFileServer& operator=(const HttpFileServer&) = delete;

    // bindAddr host order (0 = any); port 0 picks a free one. 0, or -1 with
    // a message. A running server is stopped first.
    int Start(uint32_t bindAddr, uint16_t port, const std::string& file, const std::string& urlPath, Logger log,
              std::string* error);
    void Stop();
    bool Running() const { return thread_.joinable(); }
    uint16_t Port() const { return port_; }
    // Changes the file and path a running server serves.
    void Serve(const std::string& file, const std::string& urlPath);

private:
    void Loop();
    void Handle(int fd, const std::string& peer);

    std::thread thread_;
    std::atomic<bool> stop_{false};
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;  // file_ and path_
    std::string file_, path_;
    Logger log_;
};

// The request line's parts; false when it is not "METHOD TARGET HTTP/1.x".
bool ParseRequestLine(const std::string& line, std::string* method, std::string* target);

}  // namespace srvproto

#endif  // PATERM_TOOLS_SERVER_HTTP_FILE_SERVER_H

// The listing worker: one thread that takes the latest request, scans each
// folder into a table of its own, asks the length reader for every file and
// writes the listing through a temporary file.
#include "mp3/mp3_listing.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "board/board.h"
#include "localio/code_convert.h"
#include "mp3/mp3_length.h"
#include "mp3/mp3_scan.h"

namespace {

constexpr const char* kListingTempPath = "/tmp/musicInfo.tmp";
constexpr const char* kCardPath = "/mmc";
// GB2312 takes two bytes for a character that UTF-8 writes in three, so 127
// name bytes never need more than this.
constexpr size_t kUtf8NameBuffer = 512;
constexpr size_t kPathBuffer = 2 * kMp3NameBytes + 32;

int DefaultLength(const char* path) { return Mp3GetFileLength(Mp3LengthHandle(), path); }

// The listing being written; false from the writer means stop at once.
struct ListingJob {
    FILE* out;
    const Mp3LengthReader& length;
    const std::function<bool()>& superseded;
};

bool WriteFolder(const ListingJob& job, const Mp3ListingFolder& folder) {
    char dirPath[kPathBuffer];
    snprintf(dirPath, sizeof dirPath, "%s/%02d%s", kCardPath, folder.id, folder.name);
    fprintf(job.out, "{\n\"DirID\":\"%d\",\n\"DirName\":\"%s\",\n\"MP3file\":\n[\n", folder.id,
            Mp3ListingName(folder.name).c_str());
    Mp3Table files{};
    int count = Mp3ScanEntries(dirPath, Mp3ScanKind::kFiles, Mp3ScanNoise::kQuiet, files);
    if (count < 0) {
        printf("open mp3 directory error : %s\n", dirPath);
        count = 0;
    }
    if (count == 0) fputs("{}\n", job.out);
    for (const Mp3IndexEntry& file : files) {
        if (file.valid == 0) continue;
        if (job.superseded()) return false;
        char filePath[sizeof dirPath + kMp3NameBytes + 8];
        snprintf(filePath, sizeof filePath, "%s/%02d%s.mp3", dirPath, file.id, file.name);
        const int seconds = job.length(filePath);
        fprintf(job.out, "{\n\"FileId\":\"%d\",\n\"FileName\":\"%s\",\n\"mp3Len\":\"%d\",\n},\n", file.id,
                Mp3ListingName(file.name).c_str(), seconds);
    }
    fputs("]\n},\n", job.out);
    return true;
}

bool WriteListingText(const ListingJob& job, const Mp3ListingRequest& request) {
    fputs("[\n", job.out);
    if (request.empty()) fputs("{}\n", job.out);
    for (const Mp3ListingFolder& folder : request) {
        if (job.superseded() || !WriteFolder(job, folder)) return false;
    }
    fputs("]\n", job.out);
    return true;
}

// Writes the temporary file and renames it over the listing; a superseded
// or failed listing leaves the old one in place.
void WriteListing(const Mp3ListingRequest& request, const Mp3LengthReader& length,
                  const std::function<bool()>& superseded) {
    const std::string temp = board::Path(kListingTempPath);
    FILE* out = fopen(temp.c_str(), "we");  // no shell command inherits it
    if (out == nullptr) return;
    const bool written = WriteListingText(ListingJob{out, length, superseded}, request) && ferror(out) == 0;
    const bool closed = fclose(out) == 0;
    if (!written || !closed || rename(temp.c_str(), board::Path(kMp3ListingPath).c_str()) != 0)
        remove(temp.c_str());
}

class ListingWorker {
public:
    ListingWorker() = default;
    ~ListingWorker() { Stop(); }
    ListingWorker(const ListingWorker&) = delete;
    ListingWorker& operator=(const ListingWorker&) = delete;

    void Post(Mp3ListingRequest request) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = std::move(request);
        hasPending_ = true;
        generation_.fetch_add(1);
        if (!thread_.joinable() && !StartThread()) {
            // Without a worker there is no listing; the library itself goes on.
            hasPending_ = false;
            puts("Start music listing worker fail!\r");
            return;
        }
        wake_.notify_one();
    }

    void SetLengthReader(Mp3LengthReader reader) {
        std::lock_guard<std::mutex> lock(mutex_);
        reader_ = std::move(reader);
    }

    bool WaitIdle(uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !hasPending_ && !busy_; });
    }

    void Stop() {
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true);
            hasPending_ = false;
            worker = std::move(thread_);
        }
        wake_.notify_one();
        if (worker.joinable()) worker.join();
        idle_.notify_all();
    }

private:
    // Under mutex_.
    bool StartThread() {
        stopping_.store(false);
        try {
            thread_ = std::thread(&ListingWorker::Run, this);
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    void Run() {
        for (;;) {
            Mp3ListingRequest request;
            Mp3LengthReader reader;
            uint32_t generation = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_.load() || hasPending_; });
                if (stopping_.load()) return;
                request = std::move(pending_);
                hasPending_ = false;
                busy_ = true;
                generation = generation_.load();
                reader = reader_ ? reader_ : Mp3LengthReader(DefaultLength);
            }
            const std::function<bool()> superseded = [this, generation] {
                return stopping_.load() || generation_.load() != generation;
            };
            WriteListing(request, reader, superseded);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                busy_ = false;
            }
            idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;  // a request or a stop for the worker
    std::condition_variable idle_;  // the worker has nothing left to do
    // Under mutex_: the latest request not yet taken, the reader for the next
    // one, whether the worker is writing, and the thread itself.
    Mp3ListingRequest pending_;
    bool hasPending_ = false;
    bool busy_ = false;
    Mp3LengthReader reader_;
    std::thread thread_;
    // Read by the worker between files without the lock: a request newer
    // than the one in hand, or a stop, ends the listing in hand. Only
    // compared for change, so 32 bits (no 64-bit atomics on the terminal).
    std::atomic<uint32_t> generation_{0};
    std::atomic<bool> stopping_{false};
};

ListingWorker& Worker() {
    static ListingWorker worker;
    return worker;
}

}  // namespace

// A name as a quoted value: converted to UTF-8, then quotes, backslashes and
// control bytes escaped so that the listing stays well-formed. A name that
// is not GB2312 is listed empty rather than as a fragment of itself.
std::string Mp3ListingName(const char* gb2312) {
    char utf8[kUtf8NameBuffer] = {};
    if (Gb2312ToUtf8(gb2312, strnlen(gb2312, kMp3NameBytes), utf8, sizeof utf8 - 1) != 0) return std::string();
    std::string text;
    for (const char* p = utf8; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            text += escaped;
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text;
}

void Mp3ListingPost(Mp3ListingRequest request) { Worker().Post(std::move(request)); }
void Mp3ListingSetLengthReader(Mp3LengthReader reader) { Worker().SetLengthReader(std::move(reader)); }
bool Mp3ListingWaitIdle(uint32_t timeoutMs) { return Worker().WaitIdle(timeoutMs); }
void Mp3ListingStop(void) { Worker().Stop(); }

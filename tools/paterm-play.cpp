// paterm-play: plays an MP3 file through the decoder device of a running
// simulated board the way the terminal's player feeds it: opens
// /dev/vs10xx, writes the file in 4096-byte blocks (a write returns once
// the decoder chip has taken the block, so this runs in about real time)
// and closes. The board's decoder model writes the audio it decodes to
// DIR/sim/decoder.wav.
//
//   paterm-play [--root DIR] FILE.mp3     (DIR defaults to $PATERM_ROOT)
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "board/board.h"

namespace {

constexpr size_t kBlock = 4096;  // what the player writes, and what the driver takes per call

int Usage() {
    std::fputs("usage: paterm-play [--root DIR] FILE.mp3\n"
               "  plays FILE through /dev/vs10xx of the board running on DIR\n"
               "  (default: $PATERM_ROOT); the audio goes to DIR/sim/decoder.wav\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string root, file;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (arg == "-h" || arg == "--help" || (!arg.empty() && arg[0] == '-') || !file.empty()) {
            return Usage();
        } else {
            file = arg;
        }
    }
    if (file.empty()) return Usage();
    if (!root.empty()) {
        char absolute[PATH_MAX];
        if (!::realpath(root.c_str(), absolute)) {
            std::fprintf(stderr, "paterm-play: no directory %s\n", root.c_str());
            return 1;
        }
        ::setenv("PATERM_ROOT", absolute, 1);  // the board seam finds the board there
    }
    const char* boardRoot = std::getenv("PATERM_ROOT");
    if (!boardRoot || !*boardRoot) {
        std::fputs("paterm-play: give --root DIR or set PATERM_ROOT\n", stderr);
        return 2;
    }

    std::ifstream in(file, std::ios::binary);  // a file of this computer, not of the board
    if (!in) {
        std::fprintf(stderr, "paterm-play: cannot read %s\n", file.c_str());
        return 1;
    }
    const int decoder = board::Open("/dev/vs10xx", O_WRONLY);
    if (decoder < 0) {
        std::fprintf(stderr, "paterm-play: cannot open /dev/vs10xx on the board at %s: %s\n", boardRoot,
                     std::strerror(errno));
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<char> block(kBlock);
    long long bytes = 0, writes = 0;
    int status = 0;
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        for (size_t done = 0; done < got;) {
            const ssize_t n = board::Write(decoder, block.data() + done, got - done);
            if (n <= 0) {
                std::fprintf(stderr, "paterm-play: write to /dev/vs10xx failed: %s\n",
                             n < 0 ? std::strerror(errno) : "nothing taken");
                status = 1;
                break;
            }
            done += static_cast<size_t>(n);
            bytes += n;
            ++writes;
        }
        if (status) break;
    }
    board::Close(decoder);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("paterm-play: %lld bytes in %lld writes, %.1f s; the audio is in %s/sim/decoder.wav\n", bytes, writes,
                seconds, boardRoot);
    return status;
}

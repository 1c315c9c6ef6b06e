// A temporary board root for tests: a fresh directory holding the
// terminal's filesystem, made the seam's root through PATERM_ROOT, removed
// at the end. Each test case runs in its own process, so setting the
// environment here is safe.
#ifndef PATERM_TESTS_SUPPORT_BOARD_ROOT_H
#define PATERM_TESTS_SUPPORT_BOARD_ROOT_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

class TempBoardRoot {
public:
    TempBoardRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "paterm-root-XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) ? pattern : std::string();
        for (const char* sub : {"opt/lpc3250", "tmp", "mmc", "etc/boa", "dev"})
            std::filesystem::create_directories(dir_ + "/" + sub);
        setenv("PATERM_ROOT", dir_.c_str(), 1);
    }
    ~TempBoardRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TempBoardRoot(const TempBoardRoot&) = delete;
    TempBoardRoot& operator=(const TempBoardRoot&) = delete;

    const std::string& dir() const { return dir_; }
    // The host path of a terminal path such as "/opt/lpc3250/chncfg".
    std::string at(const std::string& terminalPath) const { return dir_ + terminalPath; }

    void write(const std::string& terminalPath, const std::vector<uint8_t>& bytes) const {
        std::ofstream out(at(terminalPath), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> read(const std::string& terminalPath) const {
        std::ifstream in(at(terminalPath), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string& terminalPath) const { return std::filesystem::exists(at(terminalPath)); }

private:
    std::string dir_;
};

}  // namespace testsupport

#endif  // PATERM_TESTS_SUPPORT_BOARD_ROOT_H

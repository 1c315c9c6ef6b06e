// The MP3 library on a card in a board root: which entries become folders
// and files (with their messages), the wrap-around selection commands, the
// panel's view of the selection, and the music listing, which a worker
// writes while the manager task goes on.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "localio/ctrl_panel.h"
#include "localio/panel_frame.h"
#include "mp3/mp3_length.h"
#include "mp3/mp3_library.h"
#include "mp3/mp3_listing.h"
#include "tests/support/board_root.h"
#include "tests/support/mp3_fixture.h"

using testsupport::TempBoardRoot;

namespace {

constexpr uint32_t kListingWaitMs = 30000;
const std::string kEmptyListing = "[\n{}\n]\n";

// Silent frames that libmpg123 measures as just over the given seconds.
int FramesFor(int seconds) { return 39 * seconds + 2; }

void AddFolder(const TempBoardRoot& root, const std::string& name) {
    std::filesystem::create_directories(root.at("/mmc/" + name));
}
void AddFile(const TempBoardRoot& root, const std::string& path, int seconds) {
    testsupport::WriteSilentMp3(root.at("/mmc/" + path), FramesFor(seconds));
}

std::string ListedFile(int id, const std::string& name, int seconds) {
    return "{\n\"FileId\":\"" + std::to_string(id) + "\",\n\"FileName\":\"" + name + "\",\n\"mp3Len\":\"" +
           std::to_string(seconds) + "\",\n},\n";
}
// files: the folder's ListedFile lines, or empty for a folder without any.
std::string ListedFolder(int id, const std::string& name, const std::string& files) {
    return "{\n\"DirID\":\"" + std::to_string(id) + "\",\n\"DirName\":\"" + name + "\",\n\"MP3file\":\n[\n" +
           (files.empty() ? "{}\n" : files) + "]\n},\n";
}

std::string Listing(const TempBoardRoot& root) {
    const std::vector<uint8_t> bytes = root.read(kMp3ListingPath);
    return std::string(bytes.begin(), bytes.end());
}

// The selection as "folder name / file name / path"; -255 for none.
std::string Current() {
    uint8_t number = 0;
    char name[kMp3NameBytes];
    const int dir = Mp3GetCurDir(&number, name) == 0 ? number : -number;
    std::string text = std::to_string(dir) + " " + name + " / ";
    const int file = Mp3GetCurFile(&number, name) == 0 ? number : -number;
    char path[300];
    return text + std::to_string(file) + " " + name + " / " + (Mp3CurFilePath(path, sizeof path) ? path : "-");
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The panel's port as a socket pair; every frame sent, decoded to text:
// "X x,y text" for the folder line, "T text" for the text line, "N" for the
// time field.
class PanelCapture {
public:
    PanelCapture() {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair_) == 0) PanelAttachPort(pair_[0]);
    }
    ~PanelCapture() {
        PanelAttachPort(-1);
        close(pair_[0]);
        close(pair_[1]);
    }
    std::vector<std::string> Frames() {
        std::vector<std::string> frames;
        uint8_t bytes[4096];
        ssize_t n;
        while ((n = recv(pair_[1], bytes, sizeof bytes, MSG_DONTWAIT)) > 0)
            for (ssize_t i = 0; i < n; ++i)
                if (deframer_.Feed(bytes[i]) && deframer_.size() > 0) frames.push_back(Decode());
        return frames;
    }

private:
    std::string Decode() const {
        const std::string f(reinterpret_cast<const char*>(deframer_.frame()), deframer_.size());
        if (f.size() < 6 || f[1] != 0x04) return "?";
        if (f[2] == 0x02) return "N";
        if (f[2] == 0x01) return "T " + std::string(f.substr(4).c_str());  // up to the text's zero
        return "X " + std::to_string(uint8_t(f[4])) + "," + std::to_string(uint8_t(f[5])) + " " + f.substr(6).c_str();
    }
    int pair_[2] = {-1, -1};
    PanelDeframer deframer_;
};

// The text frames only; every text line must follow its time field. (Stopping
// playback may also clear the time field: number frames are not compared.)
std::vector<std::string> TextFrames(const std::vector<std::string>& frames) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i][0] == 'N') continue;
        if (frames[i][0] == 'T' && frames[i] != "T \xC7\xEB\xB2\xE5\xC8\xEB\x53\x44\xBF\xA8") {
            EXPECT_TRUE(i > 0 && frames[i - 1][0] == 'N') << "no time field before " << frames[i];
        }
        texts.push_back(frames[i]);
    }
    return texts;
}

}  // namespace

TEST(Mp3Library, CardEntriesSelectionWrapAroundAndListing) {
    TempBoardRoot root;
    Mp3LengthInit();
    for (const char* dir : {"00a", "03x", "03y", "05b", "07e", "11c"}) AddFolder(root, dir);
    AddFolder(root, "06" + std::string(126, 'n'));  // 128 bytes in all
    root.write("/mmc/04plain", {1});
    AddFile(root, "00a/00first.mp3", 1);
    AddFile(root, "00a/10last.mp3", 2);
    AddFile(root, "00a/05upper.MP3", 1);
    AddFile(root, "00a/12over.mp3", 1);
    std::filesystem::create_symlink("00first.mp3", root.at("/mmc/00a/01link.mp3"));
    AddFile(root, "05b/02Song.mp3", 3);
    AddFile(root, "05b/01Song.MP3", 1);
    AddFile(root, "05b/03say \"hi\"\\.mp3", 1);
    AddFile(root, "05b/04\xB8\xE8\xC7\xFA.mp3", 2);  // GB2312
    AddFile(root, "05b/06\xFF\xFE.mp3", 1);          // not GB2312
    AddFile(root, "05b/08\x01x.mp3", 4);
    AddFile(root, "07e/00" + std::string(122, 'f') + ".mp3", 1);

    testing::internal::CaptureStdout();
    Mp3CardReady();
    ASSERT_TRUE(Mp3ListingWaitIdle(kListingWaitMs));
    const std::string out = testing::internal::GetCapturedStdout();
    // From the root scan and folder 0's scan, once each; the listing's own
    // scans print nothing.
    size_t printed = 0;
    for (const std::string m : {"Index is valid : 3 \n", "Error:  Index is not director : 4 \n",
                                "folder name is too long  ", "Error:  Index is not a file : 1 \n"}) {
        EXPECT_EQ(Count(out, m), 1u) << m << " in:\n" << out;
        printed += m.size();
    }
    EXPECT_EQ(out.size(), printed) << out;

    EXPECT_EQ(Current(), "0 a / 0 first / /mmc/00a/00first.mp3");
    Mp3NextFile();
    Mp3NextFile();
    EXPECT_EQ(Current(), "0 a / 0 first / /mmc/00a/00first.mp3") << "0, 10 and round to 0";
    Mp3PrevFile();
    EXPECT_EQ(Current(), "0 a / 10 last / /mmc/00a/10last.mp3");
    EXPECT_EQ(Mp3SelectFile(11) + Mp3SelectFile(1) + Mp3SelectFile(5), 0) << "no file 11, a link, an .MP3";
    EXPECT_EQ(Mp3SelectDirFile(5, 2), 1);
    EXPECT_EQ(Mp3SelectFile(4), 1);
    EXPECT_EQ(Mp3SelectDirFile(7, 0), 0) << "folder 7 has nothing to play";
    EXPECT_EQ(Current(), "5 b / 2 Song / /mmc/05b/02Song.mp3") << "back in folder 5, rescanned";
    EXPECT_EQ(Mp3SelectDirFile(1, 0) + Mp3SelectDirFile(11, 0) + Mp3SelectDirFile(5, 11), 0);
    EXPECT_EQ(Mp3SelectDirFile(0, 9), 1) << "the folder changes even without its file 9";
    EXPECT_EQ(Current(), "0 a / 0 first / /mmc/00a/00first.mp3");

    Mp3NextDir();
    const std::string three = Current();
    ASSERT_TRUE(three == "3 x / -255  / -" || three == "3 y / -255  / -") << three;
    Mp3NextFile();
    EXPECT_EQ(Current(), three);
    Mp3NextDir();
    Mp3NextDir();
    EXPECT_EQ(Current(), "7 e / -255  / -");
    Mp3NextDir();
    EXPECT_EQ(Current(), "0 a / 0 first / /mmc/00a/00first.mp3") << "past the last folder to the first";
    Mp3PrevDir();
    EXPECT_EQ(Current(), "7 e / -255  / -");

    const std::string folder5 = ListedFile(2, "Song", 3) + ListedFile(3, "say \\\"hi\\\"\\\\", 1) +
                                ListedFile(4, "\xE6\xAD\x8C\xE6\x9B\xB2", 2) + ListedFile(6, "", 1) +
                                ListedFile(8, "\\u0001x", 4);
    EXPECT_EQ(Listing(root), "[\n" + ListedFolder(0, "a", ListedFile(0, "first", 1) + ListedFile(10, "last", 2)) +
                                 ListedFolder(3, three.substr(2, 1), "") + ListedFolder(5, "b", folder5) +
                                 ListedFolder(7, "e", "") + "]\n");

    Mp3CardAbsent();
    EXPECT_EQ(Current(), "-255  / -255  / -");
    EXPECT_EQ(Mp3SelectFile(0), 0);
    ASSERT_TRUE(Mp3ListingWaitIdle(kListingWaitMs));
    EXPECT_EQ(Listing(root), kEmptyListing);
    Mp3ListingStop();
}

TEST(Mp3Library, PanelShowsTheSelectionAndNeverAStaleOrMissingOne) {
    TempBoardRoot root;
    PanelCapture panel;
    Mp3ShowCurFile();  // at start-up, before any card event
    Mp3CardAbsent();
    EXPECT_EQ(TextFrames(panel.Frames()), (std::vector<std::string>{"X 0,0 No MP3 Dir", "X 0,0 No MP3 Dir",
                                                                    "T \xC7\xEB\xB2\xE5\xC8\xEB\x53\x44\xBF\xA8"}));

    // Names at the limits: a 125-byte folder name, whose line the panel cuts
    // before a character it cannot hold whole, and a 121-byte title.
    std::string wide;
    for (int i = 0; i < 61; ++i) wide += "\xB0\xA1";
    const std::string folder = "xx" + wide + "y";
    const std::string title = "t" + wide.substr(0, 120);
    AddFolder(root, "01" + folder);
    AddFile(root, "01" + folder + "/00" + title + ".mp3", 1);
    AddFile(root, "01" + folder + "/01Song.mp3", 1);
    AddFolder(root, "02empty");
    Mp3CardReady();
    Mp3NextFile();
    Mp3NextDir();
    Mp3ShowCurFile();
    Mp3PrevDir();
    const std::string folderShown = "xx" + wide.substr(0, 118);  // 120 of the 121 bytes the line takes
    EXPECT_EQ(TextFrames(panel.Frames()),
              (std::vector<std::string>{"X 0,2 " + folderShown, "T " + title + " ", "X 1,2 " + folderShown,
                                        "T Song ", "X 0,0 empty ", "X 0,0 empty ", "X 0,2 " + folderShown,
                                        "T " + title + " "}));

    // The card's folders are gone at the next rescan: no file may stay
    // selected from the old folder's table.
    std::filesystem::remove_all(root.at("/mmc/01" + folder));
    std::filesystem::remove_all(root.at("/mmc/02empty"));
    Mp3CardReady();
    EXPECT_EQ(Current(), "-255  / -255  / -");
    EXPECT_EQ(Mp3SelectFile(1), 0);
    Mp3NextFile();
    Mp3ShowCurFile();
    EXPECT_EQ(TextFrames(panel.Frames()), (std::vector<std::string>{"X 0,0 No MP3 Dir", "X 0,0 No MP3 Dir"}));
    ASSERT_TRUE(Mp3ListingWaitIdle(kListingWaitMs));
    EXPECT_EQ(Listing(root), kEmptyListing);
    Mp3ListingStop();
}

// Lengths of a full card are worked out off the manager task: with the
// length reader held, the card event returns with its selection made, the
// old listing stays whole, and a newer card event supersedes the listing in
// progress; released, the listing of the newer card is written in full.
TEST(Mp3Library, FullCardIsListedOffTheManagerTaskAndTheNewestCardWins) {
    TempBoardRoot root;
    Mp3LengthInit();
    char name[32];
    for (int f = 0; f < kMp3Slots; ++f) {
        snprintf(name, sizeof name, "%02dF%d", f, f);
        const std::string dir = name;
        AddFolder(root, dir);
        for (int n = 0; n < kMp3Slots; ++n) {
            snprintf(name, sizeof name, "/%02dT%d.mp3", n, n);
            AddFile(root, dir + name, (f + n) % 5);
        }
    }
    Mp3CardAbsent();
    ASSERT_TRUE(Mp3ListingWaitIdle(kListingWaitMs));

    // The first length read waits for the test; bounded, so that a listing
    // written in the caller's task fails the test instead of hanging it.
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    std::atomic<bool> timedOut{false};
    std::atomic<bool> onCallerTask{false};
    const std::thread::id caller = std::this_thread::get_id();
    Mp3ListingSetLengthReader([&](const char* path) {
        onCallerTask = onCallerTask || std::this_thread::get_id() == caller;
        if (calls++ == 0) {
            entered.set_value();
            timedOut = released.wait_for(std::chrono::seconds(5)) != std::future_status::ready;
        }
        return Mp3GetFileLength(Mp3LengthHandle(), path);
    });
    // Declared after the reader's state: the worker stops before it goes.
    struct StopWorker {
        ~StopWorker() {
            Mp3ListingStop();
            Mp3ListingSetLengthReader(nullptr);
        }
    } stopWorker;

    Mp3CardReady();
    EXPECT_EQ(Current(), "0 F0 / 0 T0 / /mmc/00F0/00T0.mp3");
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(timedOut) << "the card event waited for the lengths";
    EXPECT_EQ(Listing(root), kEmptyListing) << "readers see the last whole listing";

    std::filesystem::remove_all(root.at("/mmc/10F10"));
    Mp3CardReady();
    release.set_value();
    ASSERT_TRUE(Mp3ListingWaitIdle(kListingWaitMs));
    EXPECT_FALSE(timedOut || onCallerTask);
    EXPECT_EQ(calls, 1 + 10 * kMp3Slots) << "the superseded listing went on past the file in hand";
    std::string expected = "[\n";
    for (int f = 0; f < 10; ++f) {
        std::string files;
        for (int n = 0; n < kMp3Slots; ++n) files += ListedFile(n, "T" + std::to_string(n), (f + n) % 5);
        expected += ListedFolder(f, "F" + std::to_string(f), files);
    }
    EXPECT_EQ(Listing(root), expected + "]\n");
    EXPECT_EQ(Current(), "0 F0 / 0 T0 / /mmc/00F0/00T0.mp3");
}

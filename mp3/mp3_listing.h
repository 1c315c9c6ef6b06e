// The music listing "/tmp/musicInfo": every folder of the card with its
// files and their playing times, as JSON-like text for readers outside the
// program. Working out the times decodes every file's headers, which takes
// long on a full card, so a worker thread of its own writes the listing
// while the player manager task goes on feeding the watchdog.
//
// The worker scans the folders into its own table from a copy of the folder
// numbers and names; the library's tables are never touched. A new request
// supersedes the one being written (checked before every file): the last
// request is always the one that ends up in the file. The file is replaced
// by renaming a finished temporary file over it, so a reader sees either
// the old listing or the new one, never part of one.
#ifndef PATERM_MP3_MP3_LISTING_H
#define PATERM_MP3_MP3_LISTING_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mp3/mp3_library.h"

constexpr const char* kMp3ListingPath = "/tmp/musicInfo";

// One folder to list: its number and its name (GB2312 bytes).
struct Mp3ListingFolder {
    uint8_t id;
    char name[kMp3NameBytes];
};
// No folders: the listing of an empty card.
using Mp3ListingRequest = std::vector<Mp3ListingFolder>;

// Playing time in seconds of the file at a terminal path.
using Mp3LengthReader = std::function<int(const char* path)>;

// A folder or file name (GB2312 bytes, at most kMp3NameBytes) as the listing
// writes it between its quotes.
std::string Mp3ListingName(const char* gb2312);

// Hands a request to the worker (started on first use) and returns at once.
void Mp3ListingPost(Mp3ListingRequest request);

// For tests and shutdown. The reader used from the next request on; empty
// restores the default, Mp3GetFileLength with the handle of Mp3LengthInit.
void Mp3ListingSetLengthReader(Mp3LengthReader reader);
// True once every posted request has been written or superseded; false when
// that has not happened within timeoutMs.
bool Mp3ListingWaitIdle(uint32_t timeoutMs);
// Drops a request not yet started, ends the worker once the file in hand is
// done, and joins it. A later request starts a new worker. Not to be called
// while another thread posts.
void Mp3ListingStop(void);

#endif  // PATERM_MP3_MP3_LISTING_H

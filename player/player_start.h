// The program entry: starts every subsystem in order, then idles.
#ifndef PATERM_PLAYER_PLAYER_START_H
#define PATERM_PLAYER_PLAYER_START_H

[[noreturn]] void PatermMain(void);

#endif  // PATERM_PLAYER_PLAYER_START_H

// The player manager: the player message queue and the task that takes the
// messages one at a time and owns the watchdog.
#ifndef PATERM_PLAYER_PLAYER_MANAGER_H
#define PATERM_PLAYER_PLAYER_MANAGER_H

// Descriptor of "/dev/watchdog"; -1 while the watchdog is disabled.
extern int gPlayerWatchdogFd;

// Creates the player queue, then PlayerManagerTask: 0 or -1.
int PlayerQueueStart(void);
void* PlayerManagerTask(void* unused);

#endif  // PATERM_PLAYER_PLAYER_MANAGER_H

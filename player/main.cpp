// paterm: the terminal's program. It reads no command line and no environment.
#include "player/player_start.h"

int main() { PatermMain(); }

// The terminal's serial ports: opening one through the board seam and
// setting its speed, character format and raw mode. The termios calls act
// on the descriptor itself (on a PC it is a pty the board holds the far
// end of).
#ifndef PATERM_LOCALIO_SERIAL_PORT_H
#define PATERM_LOCALIO_SERIAL_PORT_H

// Opens the port read-write; the descriptor, or -1 after printing
// "Can't Open Serial Port\r".
int OpenSerialPort(const char* device);

// Sets input and output speed when speed is in the speed table; any other
// speed changes nothing.
void SetSerialSpeed(int fd, int speed);

// dataBits 7 or 8, stopBits 1 or 2, parity 'n'/'N', 'o'/'O', 'e'/'E' or
// 's'/'S'; also sets the read timeout to 25 s with no minimum count.
// 0, or -1 when the port refuses or a value is unsupported.
int SetSerialParity(int fd, int dataBits, int stopBits, int parity);

// Raw mode: no echo, no canonical input, no signals, no output processing.
int SetupSerial(int fd);

#endif  // PATERM_LOCALIO_SERIAL_PORT_H

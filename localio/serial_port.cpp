// Serial port set-up: the speed table and the termios steps.
#include "localio/serial_port.h"

#include <fcntl.h>
#include <termios.h>

#include <array>
#include <cstdio>

#include "board/board.h"

namespace {

struct SpeedPair {
    int speed;
    speed_t constant;
};

// The second run of the lower speeds is kept as the port has always had it:
// a match there applies the same setting once more.
constexpr std::array<SpeedPair, 15> kSpeedTable = {{
    {115200, B115200},
    {38400, B38400},
    {19200, B19200},
    {9600, B9600},
    {4800, B4800},
    {2400, B2400},
    {1200, B1200},
    {300, B300},
    {38400, B38400},
    {19200, B19200},
    {9600, B9600},
    {4800, B4800},
    {2400, B2400},
    {1200, B1200},
    {300, B300},
}};

// Parity and the input parity check; false for an unknown parity letter.
bool ApplyParity(termios* options, int parity) {
    switch (parity) {
    case 'n':
    case 'N':
        options->c_cflag &= ~PARENB;
        options->c_iflag &= ~INPCK;
        return true;
    case 'o':
    case 'O':
        options->c_cflag |= (PARODD | PARENB);
        options->c_iflag |= INPCK;
        return true;
    case 'e':
    case 'E':
        options->c_cflag |= PARENB;
        options->c_cflag &= ~PARODD;
        options->c_iflag |= INPCK;
        return true;
    case 's':
    case 'S':
        options->c_cflag &= ~PARENB;
        options->c_cflag &= ~CSTOPB;
        return true;
    default:
        return false;
    }
}

}  // namespace

int OpenSerialPort(const char* device) {
    // Never the process's controlling terminal: a line from the panel must
    // not be able to raise signals.
    const int fd = board::Open(device, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        puts("Can't Open Serial Port\r");
        return -1;
    }
    return fd;
}

void SetSerialSpeed(int fd, int speed) {
    termios options{};
    if (tcgetattr(fd, &options) != 0) return;
    for (const SpeedPair& pair : kSpeedTable) {
        if (pair.speed != speed) continue;
        tcflush(fd, TCIOFLUSH);
        cfsetispeed(&options, pair.constant);
        cfsetospeed(&options, pair.constant);
        if (tcsetattr(fd, TCSANOW, &options) != 0) {
            perror("tcsetattr fd1");
            return;
        }
        tcflush(fd, TCIOFLUSH);
    }
}

int SetSerialParity(int fd, int dataBits, int stopBits, int parity) {
    termios options{};
    if (tcgetattr(fd, &options) != 0) {
        perror("SetupSerial 1");
        return -1;
    }
    options.c_cflag &= ~CSIZE;
    switch (dataBits) {
    case 7:
        options.c_cflag |= CS7;
        break;
    case 8:
        options.c_cflag |= CS8;
        break;
    default:
        fputs("Unsupported data size\n", stderr);
        return -1;
    }
    if (!ApplyParity(&options, parity)) {
        fputs("Unsupported parity\n", stderr);
        return -1;
    }
    switch (stopBits) {
    case 1:
        options.c_cflag &= ~CSTOPB;
        break;
    case 2:
        options.c_cflag |= CSTOPB;
        break;
    default:
        fputs("Unsupported stop bits\n", stderr);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    options.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    options.c_oflag &= ~OPOST;
    options.c_cc[VTIME] = 250;  // tenths of a second
    options.c_cc[VMIN] = 0;
    if (tcsetattr(fd, TCSANOW, &options) != 0) {
        perror("SetupSerial 3");
        return -1;
    }
    return 0;
}

int SetupSerial(int fd) {
    termios options{};
    if (tcgetattr(fd, &options) != 0) {
        perror("SetupSerial 1");
        return -1;
    }
    cfmakeraw(&options);
    if (tcsetattr(fd, TCSANOW, &options) != 0) {
        perror("SetupSerial 2");
        return -1;
    }
    return 0;
}

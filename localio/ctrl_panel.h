// The serial control panel on "/dev/ttyTX0": the port, the receive task
// that turns the panel's frames into player messages, and the send
// operations that drive the panel's indicators and display.
//
// Every frame is one write, so the receive task (hello, acknowledgement)
// and the player manager task (everything else) share the port without a
// lock. Key frames are acted on only once the panel has announced itself
// (panelReady); setting frames at any time.
#ifndef PATERM_LOCALIO_CTRL_PANEL_H
#define PATERM_LOCALIO_CTRL_PANEL_H

#include <cstddef>
#include <cstdint>

// The group list stays open this long after key 11 unless the key closes it.
constexpr uint32_t kPanelGroupListMs = 30000;
// The text payloads are built in this many zeroed bytes; longer text is cut
// at a character boundary to fit.
constexpr size_t kPanelTextBuffer = 128;
constexpr size_t kPanelTextMax = kPanelTextBuffer - 5;    // PanelSendText
constexpr size_t kPanelTextExMax = kPanelTextBuffer - 7;  // PanelSendTextEx

// Opens and sets up the port and starts CtrlPanelSerialRcvTask. 0, or -1
// when the port cannot be opened or set up (no task then runs and every
// send operation sends nothing).
int CtrlPanelInit(void);
// The receive task: sends hello, then decodes frames for ever.
void* CtrlPanelSerialRcvTask(void* argument);

// Makes fd the panel's port for the send operations (CtrlPanelInit does
// this once the port is set up; -1 makes every send a no-op).
void PanelAttachPort(int fd);
// One received frame, unstuffed: dispatched on its command byte.
void PanelParseFrame(const uint8_t* buffer, int32_t length);

// Stuffs payload into one frame and writes it with a single write. Nothing
// is sent for a payload above 255 bytes or without a port.
void PanelSendFrame(const uint8_t* payload, uint32_t length);
void PanelSendHello(void);
void PanelSendAck(void);
void PanelSendLed(uint8_t index, uint8_t state);
void PanelSendSwitch(uint8_t number, uint8_t value);
void PanelSendNumber(uint32_t value);
// text: zero-terminated GB2312 bytes (null sends an empty line).
void PanelSendText(const char* text);
void PanelSendTextEx(uint8_t x, uint8_t y, const char* text);

// How many bytes of text fit in limit without splitting a two-byte
// character (a byte >= 0x80 starts one): the text's length when it fits.
size_t PanelTextFit(const char* text, size_t limit);

// The group-list timer's callback (timer task): closes the group list.
int PanelTimerExpired(void* argument);

#endif  // PATERM_LOCALIO_CTRL_PANEL_H

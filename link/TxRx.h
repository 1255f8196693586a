// The link to the co-processor on SPI0: exchange cycles with retransmission,
// the link thread, the handshake, the settings push and the decoder.
#pragma once
#include <cstdint>

// Four 8-byte transmit slots. Owned by the main thread during start-up and
// by the link thread alone afterwards.
inline constexpr int kSlotPoll = 0;
inline constexpr int kSlotCommand = 8;
inline constexpr int kSlotSettings = 16;
inline constexpr int kSlotCopy = 24;
extern uint8_t SPI_tx[32];
// Bytes 0..7: the latest reply; 8..15: what came in during the first transfer.
extern uint8_t SPI_rx[32];
// The shield code the handshake learnt; written during start-up only.
extern uint8_t shield;

// Configures SPI0; false when the library could not take it (no root rights).
[[nodiscard]] bool SPI_init();
// One exchange cycle (up to ten attempts). A cycle whose last attempt was
// our retransmit request answered by the co-processor's leaves nothing
// pending: the next cycle starts with the poll frame.
void spi_buffer_txrx();
// The link's state as at program start: slots, reply area, shield code and
// the verdict on the last reply (for tests that run one case after another).
void spi_reset_state();
// The link thread's body; never returns.
void* SPI_th(void* arg);
// The handshake at start-up.
void SPI_first_send();
// Loads the setup frame and pushes it.
void spi_send_settings(uint8_t value);
// Delivers the frame waiting in the settings slot: exchange cycle, 100 ms,
// exchange cycle, 100 ms, decode the reply.
void spi_settings_push();
// Decodes the reply area.
void spi_parser();

// The one way call events leave the link: spi_parser hands every call event
// frame (type 1, checksum passed) to this handler, the call state machine,
// which start-up installs before the handshake. None is installed at first;
// a call event decoded then is dropped.
using CallEventHandler = void (*)(const uint8_t* frame);
void spi_on_call_event(CallEventHandler handler);

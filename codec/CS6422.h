// Setting up the shield's CS6422 speakerphone chip at start-up. The program
// cannot reach the chip itself: each register word goes to the co-processor
// in a codec register frame, and the co-processor writes it to the chip.
// Runs on the main thread before the link thread exists, so it is the only
// user of the transmit slots and the exchange cycle meanwhile.
#pragma once
#include <cstdint>

#include "codec/File_RxTx.h"

// The property being applied.
extern FileProperty file_property;

// Loads a codec register frame for `word` into the settings slot (bytes
// 0..5; the exchange cycle adds the checksum when it sends it).
void CS6422_SPIsend(uint16_t word);
// Sets one field and loads its whole register into the settings slot.
// Returns 1, or 0 with nothing changed when no field has that name.
int CS6422_reg_send(const char* name, uint8_t value);
// Applies the "#CS6422" section of the settings file at `path`, pushing each
// register as its property is read. Returns 1 when the section was read to
// its end, 0 when no setup took place (shield without the chip, no file, no
// section). The file is closed on every path.
int CS6422_StartSetup(uint16_t shield_code, const char* path);

// The speakerphone part of start-up, for the shield that carries the chip:
// builds file_settingName as TEQsettings followed by the line driver's
// settings path, then runs CS6422_StartSetup with it.
void CS6422_setup_from_settings();

// Who a reader is, from what it says about itself: the one rule for the
// model and the identity record, used by the driver's device-information
// call, stripectl and the reader service. A small static library of its
// own; its symbols stay hidden in stripedrv.so.
//
// Plain functions on fixed buffers: no heap, no exceptions.
#pragma once

#include <stddef.h>

namespace sdident {

// Buffers for the parts of the identity record, as the device-information
// answer holds them: the serial number is cut to 127 characters, the
// production date has at most 4.
const size_t kSerialBuf = 128;
const size_t kDateChars = 4;
const size_t kDateBuf = kDateChars + 1;

// The reader model: firmware "Ver3..." is a P26A, any other a P26B.
const char *modelFromFirmware(const char *version);

// True when the firmware version does not settle the model by itself, so
// that the identity record is asked for: neither "Ver3..." nor "Ver5.12...".
bool needsIdentityRecord(const char *version);

// Splits an identity record: the serial number is what follows its last
// "|", the production date the first 4 characters after the last "-" of the
// serial number. A separator in the first place does not count. Without
// one, the part stays empty. "01|A7-2506AB" gives A7-2506AB and 2506.
// serial and date receive NUL-terminated texts, cut to their capacities.
void splitIdentityRecord(const char *record, char *serial, size_t serialCap, char *date,
                         size_t dateCap);

} // namespace sdident

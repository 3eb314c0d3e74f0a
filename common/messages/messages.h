// What the library's status codes mean to a person: one English sentence per
// code, for the command line and the reader service alike. (The JSON
// answer of the device-information call has its own fixed texts: they are
// wire format, not these.)
#pragma once

#include <string>

namespace sdmsg {

// A clear English sentence for a result of MS_ReadCard, MS_WriteCard,
// MSR_Reset, OpenCOM, GetVersionInfo or ProbeDeviceId: the negative codes
// and the reader's error bytes that a read passes through (48..57 for
// "0".."9", 20..23 for "A".."D"). Never empty.
std::string codeMessage(int code);

// The same for the calls that query the reader without a card (OpenCOM,
// GetVersionInfo, ProbeDeviceId, MSR_Reset), where -2 means that the reader
// did not answer and -3 can only mean the port.
std::string queryMessage(int code);

// The sentence of a service that knows its reader is not attached (unplugged,
// or not yet found): the -3 it answers then cannot be the reader's status
// "rs" nor a wrong port name, so it says only that.
std::string absentReaderMessage();

// Where to look when a line cannot be opened (a wrong name, a missing
// group, another program): the sentence stripectl adds after such a
// failure, and the Python binding's PortError too.
std::string doctorHint();

// True when codeMessage knows the code (false for values the library never
// returns, which get a generic sentence).
bool isKnownCode(int code);

} // namespace sdmsg

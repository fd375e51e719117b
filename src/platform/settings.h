#pragma once

#include <cstdint>

// Settings in place of the registry key HKLM "Software\Tarvo\Kelmo". A value
// Name is looked up, first hit wins, in the environment variable
// TARVO_KELMO_<Name>, then in the file named by TARVO_KELMO_CONFIG, else
// /etc/tarvo/kelmo.conf (lines "Name = value", names without regard to case,
// lines starting with '#' are comments; DWORDs in decimal or 0x-hex).
namespace zelkit::platform {

// True and the value when the setting exists and reads as a DWORD.
bool readSettingDword(const char* name, uint32_t& value);

// True when the setting exists and fits: the text (at most size - 1
// characters) and byteCount = its length plus the terminator, as the
// registry reports string sizes (an empty value gives 1). A value too long
// for the buffer gives false, with byteCount the size it needs.
bool readSettingString(const char* name, char* buffer, uint32_t size, uint32_t& byteCount);

}  // namespace zelkit::platform
